"""varkit's MIB provider on hosts without sysctl(3): the emulated MIB, the
live /proc/sys view, injected faults and the call log."""

import os
from collections.abc import Sequence
from typing import Final

from typing_extensions import Buffer

CTLFLAG_RD: Final[int]
CTLFLAG_WR: Final[int]
CTLFLAG_TUN: Final[int]
CTLFLAG_SKIP: Final[int]
CTLTYPE_NODE: Final[int]
CTLTYPE_INT: Final[int]
CTLTYPE_STRING: Final[int]
CTLTYPE_S64: Final[int]
CTLTYPE_OPAQUE: Final[int]
CTLTYPE_UINT: Final[int]
CTLTYPE_LONG: Final[int]
CTLTYPE_ULONG: Final[int]
CTLTYPE_U64: Final[int]
CTL_SYSCTL_NAME: Final[int]
CTL_SYSCTL_NEXT: Final[int]
CTL_SYSCTL_NAME2OID: Final[int]
CTL_SYSCTL_OIDFMT: Final[int]
CTL_SYSCTL_OIDDESCR: Final[int]
CTL_SYSCTL_NEXTNOSKIP: Final[int]
CTL_MAXNAME: Final[int]

def use_emulated() -> None: ...
def use_procfs(root: str | os.PathLike[str] = "/proc/sys") -> None: ...
def procfs_root() -> str | None: ...
def active() -> str: ...
def reset() -> None: ...
def load_default() -> None: ...
def add(
    name: str | bytes,
    oid: Sequence[int],
    kind: int,
    fmt: str | bytes = "",
    value: Buffer | None = None,
    description: str | bytes | None = None,
) -> None: ...
def set(oid: Sequence[int], value: Buffer) -> None: ...
def get(oid: Sequence[int]) -> bytes | None: ...
def remove(oid: Sequence[int]) -> None: ...
def inject(
    err: int,
    *,
    oid: Sequence[int] | None = None,
    query: int | None = None,
    times: int = 1,
    size: int | None = None,
) -> None: ...
def calls() -> list[tuple[tuple[int, ...], int | None, bytes | None, int]]: ...
def clear_calls() -> None: ...
def set_logging(flag: bool) -> None: ...
def sysctl(
    oid: Sequence[int], oldlen: int | None = None, new: Buffer | None = None
) -> tuple[bytes | None, int]: ...
def nametomib(name: str | bytes) -> list[int]: ...
def _use_openat2(flag: bool) -> bool: ...
