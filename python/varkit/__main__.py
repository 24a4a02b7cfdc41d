"""List the MIB: every variable's name and value."""

import sys

import _varkit


def main() -> int:
    status = 0
    for obj in _varkit.filter():
        try:
            value = obj.value
        except OSError as e:
            print(f"varkit: {obj.name}: {e.strerror}", file=sys.stderr)
            status = 1
            continue
        print(f"{obj.name}: {value}")
    return status


if __name__ == "__main__":
    sys.exit(main())
