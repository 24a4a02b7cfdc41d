// The Sysctl type: its record, tables, constructor, teardown and repr.
#include <cstddef>
#include <cstdlib>

#include "pyref.h"
#include "varkit.h"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_UINT T_UINT
#define Py_READONLY READONLY
#endif

namespace varkit {
namespace {

SysctlObject *as_sysctl(PyObject *self) {
  return reinterpret_cast<SysctlObject *>(self);
}

int Sysctl_init(PyObject *self_, PyObject *args, PyObject *kwds) {
  SysctlObject *self = as_sysctl(self_);
  static const char *kwlist[] = {"name",     "value", "description", "writable",
                                 "tuneable", "oid",   "type",        nullptr};
  PyObject *name = nullptr, *value = nullptr, *description = nullptr;
  PyObject *writable = nullptr, *tuneable = nullptr, *oid = nullptr;
  // "I" stores the low 32 bits straight into the record, so a call that the
  // parser refuses late (an unknown keyword) has already changed `type`.
  if (!PyArg_ParseTupleAndKeywords(
          args, kwds, "O|OOOOOI", const_cast<char **>(kwlist), &name, &value,
          &description, &writable, &tuneable, &oid, &self->type)) {
    return -1;
  }
  struct {
    PyObject *given;
    PyObject *&field;
  } fields[] = {
      {name, self->name},
      {value, self->value},
      {description, self->description},
      {writable, self->writable},
      {tuneable, self->tuneable},
      {oid, self->oid},
  };
  for (auto &f : fields) {
    if (f.given != nullptr) {
      set_field(f.field, f.given);
      sysctl_track(self, f.given);
    }
  }
  return 0;
}

// The fields take any object, so a Sysctl can be part of a reference cycle
// (its value, description or oid list holding it): the type takes part in
// the cycle collector.
int Sysctl_traverse(PyObject *self_, visitproc visit, void *arg) {
  SysctlObject *self = as_sysctl(self_);
  Py_VISIT(self->name);
  Py_VISIT(self->value);
  Py_VISIT(self->description);
  Py_VISIT(self->writable);
  Py_VISIT(self->tuneable);
  Py_VISIT(self->oid);
  return 0;
}

// Breaks a cycle.  oidv and fmt stay: the object may still be read through
// its OID by code that reaches it before it goes.
int Sysctl_clear(PyObject *self_) {
  SysctlObject *self = as_sysctl(self_);
  Py_CLEAR(self->name);
  Py_CLEAR(self->value);
  Py_CLEAR(self->description);
  Py_CLEAR(self->writable);
  Py_CLEAR(self->tuneable);
  Py_CLEAR(self->oid);
  return 0;
}

void Sysctl_dealloc(PyObject *self_) {
  SysctlObject *self = as_sysctl(self_);
  PyObject_GC_UnTrack(self_);
  // The trashcan defers the teardown of long chains (each object's value
  // the next object) instead of recursing once per link.
  Py_TRASHCAN_BEGIN(self_, Sysctl_dealloc)
      PyMem_Free(self->oidv);  // fmt lives in the same block
  Sysctl_clear(self_);
  Py_TYPE(self_)->tp_free(self_);
  Py_TRASHCAN_END
}

PyObject *Sysctl_repr(PyObject *self_) {
  SysctlObject *self = as_sysctl(self_);
  if (self->name == nullptr) {
    // Made by Sysctl.__new__ and never initialised.
    return PyUnicode_FromString("<Sysctl: (no name)>");
  }
  // Each call owns its format: a name that is not a plain str can run
  // Python code (and so another repr) while it is being formatted.
  PyRef format(PyUnicode_FromString("<Sysctl: %s>"));
  if (!format) {
    return nullptr;
  }
  // Keep the name alive across the formatting, which may replace it.
  PyRef name = PyRef::borrow(self->name);
  return PyUnicode_Format(format.get(), name.get());
}

PyMemberDef Sysctl_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(SysctlObject, name), Py_READONLY, "name"},
    {"writable", Py_T_OBJECT_EX, offsetof(SysctlObject, writable), Py_READONLY,
     "Can be written"},
    {"tuneable", Py_T_OBJECT_EX, offsetof(SysctlObject, tuneable), Py_READONLY,
     "Tuneable"},
    {"type", Py_T_UINT, offsetof(SysctlObject, type), Py_READONLY,
     "Data type of sysctl"},
    {nullptr, 0, 0, 0, nullptr},
};

// oid reads like the read-only member it would be: AttributeError while
// unset, "readonly attribute" on assignment or deletion.
PyObject *Sysctl_getoid(PyObject *self_, void * /*closure*/) {
  SysctlObject *self = as_sysctl(self_);
  if (sysctl_oid(self) < 0) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_AttributeError,
                   "'%.200s' object has no attribute '%s'",
                   Py_TYPE(self_)->tp_name, "oid");
    }
    return nullptr;
  }
  Py_INCREF(self->oid);
  return self->oid;
}

int Sysctl_setoid(PyObject * /*self*/, PyObject * /*value*/,
                  void * /*closure*/) {
  PyErr_SetString(PyExc_AttributeError, "readonly attribute");
  return -1;
}

PyGetSetDef Sysctl_getseters[] = {
    {"oid", Sysctl_getoid, Sysctl_setoid, "OID MIB", nullptr},
    {"value", Sysctl_getvalue, Sysctl_setvalue, "sysctl value", nullptr},
    {"description", Sysctl_getdescr, nullptr, "sysctl description", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void sysctl_track(SysctlObject *self, PyObject *field) {
  PyObject *obj = reinterpret_cast<PyObject *>(self);
  if (field != nullptr && PyObject_IS_GC(field) &&
      !PyObject_GC_IsTracked(obj)) {
    PyObject_GC_Track(obj);
  }
}

int sysctl_oid(SysctlObject *self) {
  if (self->oid != nullptr) {
    return 0;
  }
  if (self->oidv == nullptr) {
    return -1;
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(self->oidlen)));
  if (!list) {
    return -1;
  }
  for (uint32_t i = 0; i < self->oidlen; i++) {
    PyObject *item = PyLong_FromLong(self->oidv[i]);
    if (item == nullptr) {
      return -1;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  // The allocations above may have run a collection, and with it code that
  // reached this object first: the list already there wins.
  if (self->oid == nullptr) {
    self->oid = list.release();
    sysctl_track(self, self->oid);  // a list can come to hold the object
  }
  return 0;
}

// Slots not named here stay empty.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject SysctlType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "Sysctl",
    .tp_basicsize = sizeof(SysctlObject),
    .tp_itemsize = 0,
    .tp_dealloc = Sysctl_dealloc,
    .tp_repr = Sysctl_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Sysctl objects",
    .tp_traverse = Sysctl_traverse,
    .tp_clear = Sysctl_clear,
    .tp_members = Sysctl_members,
    .tp_getset = Sysctl_getseters,
    .tp_init = Sysctl_init,
};
#pragma GCC diagnostic pop

}  // namespace varkit
