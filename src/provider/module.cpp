// The _varkit_mib extension module: publishes the provider's binary interface
// in the capsule _varkit_mib._api and gives Python control of the MIB it
// serves: the live tree under /proc/sys (or another root) or the emulated
// MIB (its contents), injected faults and the call log.
//
// Control functions run with the interpreter lock held.  They convert every
// argument to C++ values before taking a provider lock and build Python
// objects only after releasing it, so no Python code (a destructor, the
// collector) ever runs while a provider lock is held.
#include <Python.h>
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_mib/kernel_mib.h"
#include "kernel_mib/provider_api.h"
#include "provider/default_tree.h"
#include "provider/emulated.h"
#include "provider/front.h"
#include "provider/procfs.h"
#include "pyref.h"

namespace {

using varkit::CBuf;
using varkit::PyRef;
using varkit::mib::CallRecord;
using varkit::mib::EmulatedTree;
using varkit::mib::Fault;
using varkit::mib::Front;
using varkit::mib::ProcfsTree;

constexpr const char *kProcSys = "/proc/sys";

// Holds a bytes-like object's buffer for the life of the guard.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView &) = delete;
  BufferView &operator=(const BufferView &) = delete;
  ~BufferView() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }
  // False with TypeError set if obj is not bytes-like.
  bool acquire(PyObject *obj, const char *what) {
    if (PyUnicode_Check(obj) ||
        PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) {
      if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "%s must be a bytes-like object, not %.100s", what,
                     Py_TYPE(obj)->tp_name);
      }
      return false;
    }
    held_ = true;
    return true;
  }
  std::string_view view() const {
    return {static_cast<const char *>(view_.buf),
            static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// A Python int in [lo, hi]; false with TypeError or ValueError set.
bool to_int64(PyObject *obj, const char *what, long long lo, long long hi,
              long long *out) {
  if (!PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.100s", what,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) {
    return false;
  }
  if (overflow != 0 || v < lo || v > hi) {
    PyErr_Format(PyExc_ValueError, "%s out of range: %R", what, obj);
    return false;
  }
  *out = v;
  return true;
}

// An OID given as a sequence of ints, each in the int32 range.
bool to_oid(PyObject *obj, std::vector<int> *out) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "an OID must be a sequence of ints, not %.100s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef seq(PySequence_Fast(obj, "an OID must be a sequence of ints"));
  if (!seq) {
    return false;
  }
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  PyObject **items = PySequence_Fast_ITEMS(seq.get());
  out->clear();
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    long long v;
    if (!to_int64(items[i], "an OID component", INT_MIN, INT_MAX, &v)) {
      return false;
    }
    out->push_back(static_cast<int>(v));
  }
  return true;
}

PyObject *oid_tuple(const std::vector<int> &oid) {
  PyRef t(PyTuple_New(static_cast<Py_ssize_t>(oid.size())));
  if (!t) {
    return nullptr;
  }
  for (size_t i = 0; i < oid.size(); ++i) {
    PyObject *v = PyLong_FromLong(oid[i]);
    if (v == nullptr) {
      return nullptr;
    }
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), v);
  }
  return t.release();
}

// str -> UTF-8, or bytes as they are (the kernel's texts are bytes and
// need not be UTF-8), without NUL characters; false with an exception set.
bool to_utf8(PyObject *obj, const char *what, std::string_view *out) {
  Py_ssize_t n;
  const char *s;
  if (PyBytes_Check(obj)) {
    s = PyBytes_AS_STRING(obj);
    n = PyBytes_GET_SIZE(obj);
  } else if (PyUnicode_Check(obj)) {
    s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (s == nullptr) {
      return false;
    }
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be a str or bytes, not %.100s", what,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = std::string_view(s, static_cast<size_t>(n));
  if (out->find('\0') != std::string_view::npos) {
    PyErr_Format(PyExc_ValueError, "%s contains a NUL character", what);
    return false;
  }
  return true;
}

// Raises OSError(err) carrying what the call left behind: `size` (what was
// left in *oldlenp) and `data` (the bytes delivered, or None).
PyObject *raise_os_error(int err, PyObject *data, size_t size) {
  PyRef exc(PyObject_CallFunction(PyExc_OSError, "is", err,
                                  err != 0 ? std::strerror(err) : "Error"));
  if (!exc) {
    return nullptr;
  }
  PyRef py_size(PyLong_FromSize_t(size));
  if (!py_size ||
      PyObject_SetAttrString(exc.get(), "data", data ? data : Py_None) < 0 ||
      PyObject_SetAttrString(exc.get(), "size", py_size.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject *no_node(PyObject *oid) {
  PyErr_Format(PyExc_KeyError, "no node at OID %R", oid);
  return nullptr;
}

void reset_all() {
  EmulatedTree::get().clear();
  Front::get().drop_faults();
  Front::get().clear_calls();
}

// Serves `next`; a /proc/sys view served before lets go of its root.
void serve(varkit::mib::Backend *next) {
  varkit::mib::Backend *prev = Front::get().active();
  Front::get().use(next);
  if (prev != next) {
    if (auto *tree = dynamic_cast<ProcfsTree *>(prev)) {
      tree->detach();
    }
  }
}

PyObject *py_use_emulated(PyObject *, PyObject *) {
  serve(&EmulatedTree::get());
  Py_RETURN_NONE;
}

// The live tree under `path` made ready to serve: 0, or an errno value.
int open_procfs(const char *path, ProcfsTree **out) {
  char *real = realpath(path, nullptr);
  if (real == nullptr) {
    return errno;
  }
  CBuf<char> owned(real);
  ProcfsTree &tree = ProcfsTree::for_root(real);
  if (int err = tree.attach()) {
    return err;
  }
  *out = &tree;
  return 0;
}

PyObject *py_use_procfs(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kwlist[] = {"root", nullptr};
  PyObject *root_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O&:use_procfs",
                                   const_cast<char **>(kwlist),
                                   PyUnicode_FSConverter, &root_obj)) {
    return nullptr;
  }
  PyRef root(root_obj);
  const char *path = root ? PyBytes_AS_STRING(root.get()) : kProcSys;
  ProcfsTree *tree = nullptr;
  int err;
  try {
    varkit::AllowThreads nogil;
    err = open_procfs(path, &tree);
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  if (err != 0) {
    errno = err;
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
  }
  serve(tree);
  Py_RETURN_NONE;
}

PyObject *py_procfs_root(PyObject *, PyObject *) {
  auto *tree = dynamic_cast<ProcfsTree *>(Front::get().active());
  if (tree == nullptr) {
    Py_RETURN_NONE;
  }
  const std::string &root = tree->root();
  return PyUnicode_DecodeFSDefaultAndSize(root.data(),
                                          static_cast<Py_ssize_t>(root.size()));
}

PyObject *py_use_openat2(PyObject *, PyObject *flag) {
  int on = PyObject_IsTrue(flag);
  if (on < 0) {
    return nullptr;
  }
  return PyBool_FromLong(ProcfsTree::use_openat2(on != 0));
}

PyObject *py_active(PyObject *, PyObject *) {
  varkit::mib::Backend *b = Front::get().active();
  if (b == nullptr) {
    Py_RETURN_NONE;
  }
  return PyUnicode_FromString(b->kind());
}

PyObject *py_reset(PyObject *, PyObject *) {
  reset_all();
  Py_RETURN_NONE;
}

PyObject *py_load_default(PyObject *, PyObject *) {
  reset_all();
  std::string err;
  try {
    err = varkit::mib::load_default_tree(EmulatedTree::get());
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  if (!err.empty()) {
    PyErr_Format(PyExc_RuntimeError, "default MIB: %s", err.c_str());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *py_add(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kwlist[] = {"name",  "oid",         "kind", "fmt",
                                 "value", "description", nullptr};
  PyObject *name_obj, *oid_obj, *kind_obj, *fmt_obj = nullptr;
  PyObject *value_obj = Py_None, *descr_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "OOO|OOO:add", const_cast<char **>(kwlist), &name_obj,
          &oid_obj, &kind_obj, &fmt_obj, &value_obj, &descr_obj)) {
    return nullptr;
  }
  std::string_view name, fmt, descr;
  std::vector<int> oid;
  long long kind;
  BufferView value;
  if (!to_utf8(name_obj, "name", &name) || !to_oid(oid_obj, &oid) ||
      !to_int64(kind_obj, "kind", 0, UINT32_MAX, &kind) ||
      (fmt_obj != nullptr && !to_utf8(fmt_obj, "fmt", &fmt)) ||
      (value_obj != Py_None && !value.acquire(value_obj, "value")) ||
      (descr_obj != Py_None && !to_utf8(descr_obj, "description", &descr))) {
    return nullptr;
  }
  std::string err;
  try {
    err = EmulatedTree::get().add(
        name, oid, static_cast<uint32_t>(kind), fmt,
        value_obj != Py_None ? std::optional(value.view()) : std::nullopt,
        descr_obj != Py_None ? std::optional(descr) : std::nullopt);
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  if (!err.empty()) {
    PyErr_Format(PyExc_ValueError, "cannot add %R at %R: %s", name_obj, oid_obj,
                 err.c_str());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *py_set(PyObject *, PyObject *args) {
  PyObject *oid_obj, *value_obj;
  if (!PyArg_ParseTuple(args, "OO:set", &oid_obj, &value_obj)) {
    return nullptr;
  }
  std::vector<int> oid;
  BufferView value;
  if (!to_oid(oid_obj, &oid) || !value.acquire(value_obj, "value")) {
    return nullptr;
  }
  bool found;
  try {
    found = EmulatedTree::get().set(oid, value.view());
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  if (!found) {
    return no_node(oid_obj);
  }
  Py_RETURN_NONE;
}

PyObject *py_get(PyObject *, PyObject *oid_obj) {
  std::vector<int> oid;
  if (!to_oid(oid_obj, &oid)) {
    return nullptr;
  }
  std::optional<std::string> value;
  bool found;
  try {
    found = EmulatedTree::get().get(oid, &value);
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  if (!found) {
    return no_node(oid_obj);
  }
  if (!value) {
    Py_RETURN_NONE;
  }
  return PyBytes_FromStringAndSize(value->data(),
                                   static_cast<Py_ssize_t>(value->size()));
}

PyObject *py_remove(PyObject *, PyObject *oid_obj) {
  std::vector<int> oid;
  if (!to_oid(oid_obj, &oid)) {
    return nullptr;
  }
  if (!EmulatedTree::get().remove(oid)) {
    return no_node(oid_obj);
  }
  Py_RETURN_NONE;
}

PyObject *py_inject(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kwlist[] = {"err",   "oid",  "query",
                                 "times", "size", nullptr};
  PyObject *err_obj, *oid_obj = Py_None, *query_obj = Py_None;
  PyObject *times_obj = nullptr, *size_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "O|$OOOO:inject", const_cast<char **>(kwlist), &err_obj,
          &oid_obj, &query_obj, &times_obj, &size_obj)) {
    return nullptr;
  }
  Fault fault;
  long long v;
  if (!to_int64(err_obj, "err", INT_MIN, INT_MAX, &v)) {
    return nullptr;
  }
  fault.err = static_cast<int>(v);
  if (oid_obj != Py_None) {
    std::vector<int> oid;
    if (!to_oid(oid_obj, &oid)) {
      return nullptr;
    }
    if (oid.size() > static_cast<size_t>(kmib::CTL_MAXNAME)) {
      PyErr_SetString(PyExc_ValueError, "an OID has at most 24 components");
      return nullptr;
    }
    fault.oid = std::move(oid);
  }
  if (query_obj != Py_None) {
    if (!to_int64(query_obj, "query", INT_MIN, INT_MAX, &v)) {
      return nullptr;
    }
    fault.query = static_cast<int>(v);
  }
  if (times_obj != nullptr) {
    if (!to_int64(times_obj, "times", 1, LONG_MAX, &v)) {
      return nullptr;
    }
    fault.times = static_cast<long>(v);
  }
  if (size_obj != Py_None) {
    if (!to_int64(size_obj, "size", 0, LLONG_MAX, &v)) {
      return nullptr;
    }
    fault.size = static_cast<size_t>(v);
  }
  try {
    Front::get().inject(std::move(fault));
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

PyObject *record_tuple(const CallRecord &r) {
  PyRef oid(oid_tuple(r.oid));
  PyRef offered(r.offered ? PyLong_FromSize_t(*r.offered)
                          : PyRef::borrow(Py_None).release());
  PyRef newval(r.newval ? PyBytes_FromStringAndSize(
                              r.newval->data(),
                              static_cast<Py_ssize_t>(r.newval->size()))
                        : PyRef::borrow(Py_None).release());
  PyRef err(PyLong_FromLong(r.err));
  if (!oid || !offered || !newval || !err) {
    return nullptr;
  }
  return PyTuple_Pack(4, oid.get(), offered.get(), newval.get(), err.get());
}

PyObject *py_calls(PyObject *, PyObject *) {
  std::vector<CallRecord> records;
  try {
    records = Front::get().calls();
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) {
    return nullptr;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    PyObject *t = record_tuple(records[i]);
    if (t == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

PyObject *py_clear_calls(PyObject *, PyObject *) {
  Front::get().clear_calls();
  Py_RETURN_NONE;
}

PyObject *py_set_logging(PyObject *, PyObject *flag) {
  int on = PyObject_IsTrue(flag);
  if (on < 0) {
    return nullptr;
  }
  Front::get().set_logging(on != 0);
  Py_RETURN_NONE;
}

PyObject *py_sysctl(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kwlist[] = {"oid", "oldlen", "new", nullptr};
  PyObject *oid_obj, *oldlen_obj = Py_None, *new_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:sysctl",
                                   const_cast<char **>(kwlist), &oid_obj,
                                   &oldlen_obj, &new_obj)) {
    return nullptr;
  }
  std::vector<int> oid;
  if (!to_oid(oid_obj, &oid)) {
    return nullptr;
  }
  if (oid.size() > UINT_MAX) {
    PyErr_SetString(PyExc_ValueError, "OID too long");
    return nullptr;
  }
  bool has_old = oldlen_obj != Py_None;
  long long oldlen = 0;
  if (has_old && !to_int64(oldlen_obj, "oldlen", 0, PY_SSIZE_T_MAX, &oldlen)) {
    return nullptr;
  }
  // Held (not copied) across the call, as os.write() does: an exported
  // buffer cannot be resized meanwhile.
  BufferView newval;
  bool has_new = new_obj != Py_None;
  if (has_new && !newval.acquire(new_obj, "new")) {
    return nullptr;
  }
  // Zero-filled, so what a failed call leaves in it reads as zeros.
  size_t len = static_cast<size_t>(oldlen);
  CBuf<char> buf(has_old
                     ? static_cast<char *>(std::calloc(len > 0 ? len : 1, 1))
                     : nullptr);
  if (has_old && !buf) {
    return PyErr_NoMemory();
  }
  // An empty new value is still a write: newp must not be NULL.
  const char *newp = nullptr;
  size_t newlen = 0;
  if (has_new) {
    newp = newval.view().data() != nullptr ? newval.view().data() : "";
    newlen = newval.view().size();
  }
  int rc, err;
  {
    varkit::AllowThreads nogil;
    rc = Front::get().sysctl(oid.empty() ? nullptr : oid.data(),
                             static_cast<unsigned>(oid.size()),
                             has_old ? buf.get() : nullptr, &len, newp, newlen);
    err = errno;
  }
  PyRef data;
  if (has_old) {
    size_t n = std::min(len, static_cast<size_t>(oldlen));
    data =
        PyRef(PyBytes_FromStringAndSize(buf.get(), static_cast<Py_ssize_t>(n)));
    if (!data) {
      return nullptr;
    }
  }
  if (rc != 0) {
    return raise_os_error(err, data.get(), len);
  }
  PyRef size(PyLong_FromSize_t(len));
  if (!size) {
    return nullptr;
  }
  return PyTuple_Pack(2, data ? data.get() : Py_None, size.get());
}

PyObject *py_nametomib(PyObject *, PyObject *name_obj) {
  std::string_view name;
  if (!to_utf8(name_obj, "name", &name)) {
    return nullptr;
  }
  int mib[kmib::CTL_MAXNAME];
  size_t size = kmib::CTL_MAXNAME;
  int rc, err;
  {
    varkit::AllowThreads nogil;
    rc = Front::get().nametomib(name.data(), mib, &size);
    err = errno;
  }
  if (rc != 0) {
    return raise_os_error(err, nullptr, size);
  }
  std::vector<int> oid(mib, mib + std::min<size_t>(size, kmib::CTL_MAXNAME));
  PyRef list(PyList_New(static_cast<Py_ssize_t>(oid.size())));
  if (!list) {
    return nullptr;
  }
  for (size_t i = 0; i < oid.size(); ++i) {
    PyObject *v = PyLong_FromLong(oid[i]);
    if (v == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

template <class F>
PyCFunction cfunc(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"use_emulated", py_use_emulated, METH_NOARGS,
     "use_emulated(): serve the emulated MIB (its contents are kept)."},
    {"use_procfs", cfunc(py_use_procfs), METH_VARARGS | METH_KEYWORDS,
     "use_procfs(root='/proc/sys'): serve the live tree of kernel variables "
     "under root."},
    {"procfs_root", py_procfs_root, METH_NOARGS,
     "procfs_root() -> str | None: the root of the live tree being served, "
     "None while the emulated MIB is."},
    {"active", py_active, METH_NOARGS,
     "active() -> str: the kind of MIB being served (\"procfs\" or "
     "\"emulated\")."},
    {"reset", py_reset, METH_NOARGS,
     "reset(): empty the emulated MIB, drop all faults, clear the call log."},
    {"load_default", py_load_default, METH_NOARGS,
     "load_default(): reset(), then load the default emulated MIB."},
    {"add", cfunc(py_add), METH_VARARGS | METH_KEYWORDS,
     "add(name, oid, kind, fmt='', value=None, description=None): add a "
     "node."},
    {"set", py_set, METH_VARARGS,
     "set(oid, value): replace the bytes held by the node at oid."},
    {"get", py_get, METH_O,
     "get(oid) -> bytes | None: the bytes held by the node at oid."},
    {"remove", py_remove, METH_O,
     "remove(oid): remove the node at oid and its subtree."},
    {"inject", cfunc(py_inject), METH_VARARGS | METH_KEYWORDS,
     "inject(err, *, oid=None, query=None, times=1, size=None): make the "
     "next matching calls fail."},
    {"calls", py_calls, METH_NOARGS,
     "calls() -> list of (oid, offered, new, err): the calls served "
     "(the newest 100000)."},
    {"clear_calls", py_clear_calls, METH_NOARGS,
     "clear_calls(): empty the call log."},
    {"set_logging", py_set_logging, METH_O,
     "set_logging(flag): switch the call log on or off."},
    {"sysctl", cfunc(py_sysctl), METH_VARARGS | METH_KEYWORDS,
     "sysctl(oid, oldlen=None, new=None) -> (data, size): one raw call."},
    {"nametomib", py_nametomib, METH_O,
     "nametomib(name) -> list of int: the OID of a dotted name."},
    {"_use_openat2", py_use_openat2, METH_O,
     "_use_openat2(flag) -> bool: open files below a procfs root with "
     "openat2(2) (True) or one component at a time (False); returns the "
     "previous setting."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_varkit_mib",
    "The MIB provider of varkit on hosts without sysctl(3): the live tree\n"
    "of kernel variables under /proc/sys, or an emulated kernel MIB, behind\n"
    "the interface published in the capsule _api.",
    -1,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_constant(PyObject *m, const char *name, unsigned long value) {
  PyRef v(PyLong_FromUnsignedLong(value));
  return v && PyModule_AddObjectRef(m, name, v.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__varkit_mib(void) {
  PyRef m(PyModule_Create(&kModule));
  if (!m) {
    return nullptr;
  }
  // The tree is process-wide: a second import keeps what it holds.
  static bool loaded = false;
  if (!loaded) {
    std::string err;
    try {
      err = varkit::mib::load_default_tree(EmulatedTree::get());
    } catch (const std::bad_alloc &) {
      return PyErr_NoMemory();
    }
    if (!err.empty()) {
      PyErr_Format(PyExc_ImportError, "default MIB: %s", err.c_str());
      return nullptr;
    }
    // The live tree when this host has one, else the emulated default.
    ProcfsTree *live = nullptr;
    int rc;
    try {
      rc = open_procfs(kProcSys, &live);
    } catch (const std::bad_alloc &) {
      return PyErr_NoMemory();
    }
    if (rc == 0) {
      serve(live);
    } else {
      serve(&EmulatedTree::get());
    }
    loaded = true;
  }
  PyRef capsule(
      PyCapsule_New(const_cast<varkit_mib_api *>(varkit::mib::api_record()),
                    VARKIT_MIB_CAPSULE, nullptr));
  if (!capsule || PyModule_AddObjectRef(m.get(), "_api", capsule.get()) < 0) {
    return nullptr;
  }
  struct Constant {
    const char *name;
    unsigned long value;
  };
  static const Constant kConstants[] = {
      {"CTLFLAG_RD", kmib::CTLFLAG_RD},
      {"CTLFLAG_WR", kmib::CTLFLAG_WR},
      {"CTLFLAG_TUN", kmib::CTLFLAG_TUN},
      {"CTLFLAG_SKIP", kmib::CTLFLAG_SKIP},
      {"CTLTYPE_NODE", kmib::CTLTYPE_NODE},
      {"CTLTYPE_INT", kmib::CTLTYPE_INT},
      {"CTLTYPE_STRING", kmib::CTLTYPE_STRING},
      {"CTLTYPE_S64", kmib::CTLTYPE_S64},
      {"CTLTYPE_OPAQUE", kmib::CTLTYPE_OPAQUE},
      {"CTLTYPE_UINT", kmib::CTLTYPE_UINT},
      {"CTLTYPE_LONG", kmib::CTLTYPE_LONG},
      {"CTLTYPE_ULONG", kmib::CTLTYPE_ULONG},
      {"CTLTYPE_U64", kmib::CTLTYPE_U64},
      {"CTL_SYSCTL_NAME", kmib::CTL_SYSCTL_NAME},
      {"CTL_SYSCTL_NEXT", kmib::CTL_SYSCTL_NEXT},
      {"CTL_SYSCTL_NAME2OID", kmib::CTL_SYSCTL_NAME2OID},
      {"CTL_SYSCTL_OIDFMT", kmib::CTL_SYSCTL_OIDFMT},
      {"CTL_SYSCTL_OIDDESCR", kmib::CTL_SYSCTL_OIDDESCR},
      {"CTL_SYSCTL_NEXTNOSKIP", kmib::CTL_SYSCTL_NEXTNOSKIP},
      {"CTL_MAXNAME", kmib::CTL_MAXNAME},
  };
  for (const Constant &c : kConstants) {
    if (!add_constant(m.get(), c.name, c.value)) {
      return nullptr;
    }
  }
  return m.release();
}
