// Module definition and start-up of _varkit.
#include "kernel_mib/kernel_mib.h"
#include "pyref.h"
#include "varkit.h"

namespace varkit {
namespace {

struct module_state {
  PyObject *error;  // the module's exception class (owned)
};

module_state *get_state(PyObject *module) {
  return static_cast<module_state *>(PyModule_GetState(module));
}

PyObject *error_out(PyObject *module, PyObject * /*ignored*/) {
  module_state *st = get_state(module);
  if (st == nullptr || st->error == nullptr) {
    PyErr_SetString(PyExc_SystemError,
                    "_varkit.error_out: the module's error class has "
                    "already been released");
    return nullptr;
  }
  PyErr_SetString(st->error, "something bad happened");
  return nullptr;
}

int sysctl_traverse(PyObject *module, visitproc visit, void *arg) {
  module_state *st = get_state(module);
  if (st != nullptr && st->error != nullptr) {
    int r = visit(st->error, arg);
    if (r != 0) {
      return r;
    }
  }
  return 0;
}

int sysctl_clear(PyObject *module) {
  module_state *st = get_state(module);
  if (st != nullptr && st->error != nullptr) {
    PyObject *error = st->error;
    st->error = nullptr;
    Py_DECREF(error);
  }
  return 0;
}

PyMethodDef SysctlMethods[] = {
    {"filter",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(sysctl_filter)),
     METH_VARARGS | METH_KEYWORDS, "Sysctl all"},
    {"error_out", error_out, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "_varkit",             // m_name
    nullptr,               // m_doc
    sizeof(module_state),  // m_size
    SysctlMethods,         // m_methods
    nullptr,               // m_slots
    sysctl_traverse,       // m_traverse
    sysctl_clear,          // m_clear
    nullptr,               // m_free
};

struct IntConstant {
  const char *name;
  long value;
};

// Published in this order.  CTLTYPE is the mask over the kind word.
constexpr IntConstant constants[] = {
    {"CTLTYPE", 15},       {"CTLTYPE_NODE", 1},   {"CTLTYPE_INT", 2},
    {"CTLTYPE_STRING", 3}, {"CTLTYPE_OPAQUE", 5}, {"CTLTYPE_STRUCT", 5},
    {"CTLTYPE_UINT", 6},   {"CTLTYPE_LONG", 7},   {"CTLTYPE_ULONG", 8},
    {"CTLTYPE_S64", 4},    {"CTLTYPE_U64", 9},
};

}  // namespace
}  // namespace varkit

PyMODINIT_FUNC PyInit__varkit(void) {
  using namespace varkit;
  if (kmib::bind() < 0) {
    return nullptr;
  }
  SysctlType.tp_new = PyType_GenericNew;
  if (PyType_Ready(&SysctlType) < 0) {
    return nullptr;
  }
  PyRef module(PyModule_Create2(&moduledef, 1013));
  if (!module) {
    return nullptr;
  }
  module_state *st = get_state(module.get());
  st->error = PyErr_NewException("_varkit.Error", nullptr, nullptr);
  if (st->error == nullptr) {
    return nullptr;
  }
  if (PyModule_AddObjectRef(module.get(), "Sysctl",
                            reinterpret_cast<PyObject *>(&SysctlType)) < 0) {
    return nullptr;
  }
  for (const IntConstant &c : constants) {
    if (PyModule_AddIntConstant(module.get(), c.name, c.value) < 0) {
      return nullptr;
    }
  }
  return module.release();
}
