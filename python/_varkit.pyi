"""The kernel's sysctl MIB: Sysctl objects and the filter() walk."""

from typing import Final, NoReturn, TypeAlias

_Value: TypeAlias = int | str | list[int] | dict[str, int] | bytearray | None

CTLTYPE: Final = 15
CTLTYPE_NODE: Final = 1
CTLTYPE_INT: Final = 2
CTLTYPE_STRING: Final = 3
CTLTYPE_OPAQUE: Final = 5
CTLTYPE_STRUCT: Final = 5
CTLTYPE_UINT: Final = 6
CTLTYPE_LONG: Final = 7
CTLTYPE_ULONG: Final = 8
CTLTYPE_S64: Final = 4
CTLTYPE_U64: Final = 9

class Sysctl:
    """One variable of the MIB.

    Objects from filter() carry str names, lists of int OIDs and bool
    flags; the constructor stores whatever it is given, unexamined.
    """

    def __init__(
        self,
        name: str,
        value: _Value = ...,
        description: str = ...,
        writable: bool = ...,
        tuneable: bool = ...,
        oid: list[int] = ...,
        type: int = ...,
    ) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def oid(self) -> list[int]: ...
    @property
    def type(self) -> int: ...
    @property
    def writable(self) -> bool: ...
    @property
    def tuneable(self) -> bool: ...
    @property
    def description(self) -> str: ...
    # Read from the kernel on first access and cached; assigning writes:
    # an int to a numeric variable, a str to a string one, a bytearray to
    # an opaque one.
    value: _Value

def filter(mib: str | None = None, writable: bool | None = None) -> list[Sysctl]:
    """The variables of the MIB, or of the subtree or variable `mib` names."""

def error_out() -> NoReturn: ...
