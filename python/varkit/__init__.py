"""varkit: the kernel's named state variables (the sysctl MIB) from Python.

    >>> import varkit
    >>> varkit.get("kern.ostype")
    'FreeBSD'
    >>> [o.name for o in varkit.walk("kern", writable=True)][:2]
    ['kern.maxvnodes', 'kern.maxfiles']

`Sysctl`, `filter` and the CTLTYPE constants are _varkit's own; the
functions below look variables up by name, check what is written against
the variable's type, and decode the kernel's records.
"""

from _varkit import (
    CTLTYPE,
    CTLTYPE_INT,
    CTLTYPE_LONG,
    CTLTYPE_NODE,
    CTLTYPE_OPAQUE,
    CTLTYPE_S64,
    CTLTYPE_STRING,
    CTLTYPE_STRUCT,
    CTLTYPE_U64,
    CTLTYPE_UINT,
    CTLTYPE_ULONG,
    Sysctl,
    filter,
)

from ._api import (
    Decoded,
    NewValue,
    NotAVariableError,
    UnknownNameError,
    decode,
    describe,
    get,
    lookup,
    set,
    walk,
)
from ._records import LoadAvg, Timeval, Value

__all__ = [
    "CTLTYPE",
    "CTLTYPE_INT",
    "CTLTYPE_LONG",
    "CTLTYPE_NODE",
    "CTLTYPE_OPAQUE",
    "CTLTYPE_S64",
    "CTLTYPE_STRING",
    "CTLTYPE_STRUCT",
    "CTLTYPE_U64",
    "CTLTYPE_UINT",
    "CTLTYPE_ULONG",
    "Decoded",
    "LoadAvg",
    "NewValue",
    "NotAVariableError",
    "Sysctl",
    "Timeval",
    "UnknownNameError",
    "Value",
    "decode",
    "describe",
    "filter",
    "get",
    "lookup",
    "set",
    "walk",
]
