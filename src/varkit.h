// What the parts of _varkit share: the Sysctl record and type, the
// accessors that the type's tables name, and the enumeration entry points.
#ifndef VARKIT_VARKIT_H
#define VARKIT_VARKIT_H

#include <Python.h>

#include <cstdint>

namespace varkit {

// The record behind every Sysctl object.  Generic allocation zero-fills it,
// which gives every field its unset value.
struct SysctlObject {
  PyObject_HEAD PyObject *name;  // dotted name, normally a str
  PyObject *value;        // cached value, NULL until given, read or assigned
  PyObject *description;  // cached description, NULL until given or looked up
  PyObject *writable;     // normally a bool
  PyObject *tuneable;     // normally a bool
  PyObject *oid;          // normally a list of ints; the factory leaves it
                          // NULL and sysctl_oid() makes it from oidv
  // Set by the factory, both in one PyMem block that oidv owns: a copy of
  // the OID, then of the format string and its NUL, which fmt points at.
  int32_t *oidv;
  char *fmt;
  uint32_t oidlen;  // components in oidv
  uint32_t type;    // type code
};

extern PyTypeObject SysctlType;

// The type takes part in the cycle collector, but an object whose fields
// can hold no cycle (the factory's: a str and bools) is left untracked, as
// CPython leaves such tuples and dicts.  Call this after storing `field` in
// one of self's fields: an object that can refer back (a list, a dict, any
// instance of a collected type) makes self tracked.
void sysctl_track(SysctlObject *self, PyObject *field);

// Makes sure self->oid is set: a factory-made object gets its list of ints
// from oidv on first use.  Returns 0, or -1 with an exception set (MemoryError)
// or, when the object has neither, with none set.
int sysctl_oid(SysctlObject *self);

// Accessors of the value and description attributes.
PyObject *Sysctl_getvalue(PyObject *self, void *closure);
int Sysctl_setvalue(PyObject *self, PyObject *value, void *closure);
PyObject *Sysctl_getdescr(PyObject *self, void *closure);

// The module function "filter" and the factory it uses.
PyObject *sysctl_filter(PyObject *module, PyObject *args, PyObject *kwds);
PyObject *new_sysctlobj(const int *oid, uint32_t len, uint32_t kind,
                        const char *fmt);

// Raises OSError from errno, reporting EIO when errno is 0 so that a failure
// never reads "Success".  Returns NULL.
PyObject *raise_errno(int err);

}  // namespace varkit

#endif
