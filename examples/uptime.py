"""How long this machine has been up, and how loaded it is.

Reads kern.boottime and vm.loadavg, which FreeBSD's kernel keeps (and so
does varkit's emulated tree: run `python3 -m varkit --emulated -a` to see
it).  Type-checks with mypy --strict.
"""

from __future__ import annotations

import datetime
import sys

import varkit


def uptime() -> datetime.timedelta:
    boot = varkit.decode("kern.boottime")
    if not isinstance(boot, varkit.Timeval):
        raise TypeError(f"kern.boottime is not a timeval: {boot!r}")
    return datetime.datetime.now(datetime.timezone.utc) - boot.to_datetime()


def load() -> varkit.LoadAvg:
    avg = varkit.decode("vm.loadavg")
    if not isinstance(avg, varkit.LoadAvg):
        raise TypeError(f"vm.loadavg is not a loadavg record: {avg!r}")
    return avg


def main() -> int:
    try:
        up, avg = uptime(), load()
        ncpu = varkit.get("hw.ncpu")
    except LookupError as e:
        print(f"uptime: {e}: this MIB is not FreeBSD's", file=sys.stderr)
        return 1
    days, rest = divmod(int(up.total_seconds()), 86400)
    print(
        f"up {days} days, {rest // 3600}:{rest % 3600 // 60:02d}, "
        f"{ncpu} CPUs, load averages: " + ", ".join(f"{x:.2f}" for x in avg)
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
