// Small owning types for the CPython C API.
//
// PyRef owns one strong reference; CBuf owns one malloc'd buffer.  Both
// release what they hold when they go out of scope, so an early return on a
// failure path never leaks and never releases twice.  A PyRef must only be
// destroyed with the interpreter lock held; a CBuf may be destroyed anywhere.
#ifndef VARKIT_PYREF_H
#define VARKIT_PYREF_H

#include <Python.h>

#include <cstdlib>
#include <utility>

namespace varkit {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (which may be NULL).
  explicit PyRef(PyObject *p) noexcept : p_(p) {}
  // Makes a new reference to a borrowed object.
  static PyRef borrow(PyObject *p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  PyRef(PyRef &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef &operator=(PyRef &&o) noexcept {
    PyObject *old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject *get() const noexcept { return p_; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject *release() noexcept {
    return std::exchange(p_, nullptr);
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject *p_ = nullptr;
};

template <class T>
class CBuf {
 public:
  CBuf() noexcept = default;
  explicit CBuf(T *p) noexcept : p_(p) {}
  CBuf(const CBuf &) = delete;
  CBuf &operator=(const CBuf &) = delete;
  CBuf(CBuf &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~CBuf() { std::free(p_); }

  T *get() const noexcept { return p_; }
  [[nodiscard]] T *release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // malloc(n) into an empty holder; false (errno set) on failure.
  bool alloc(size_t n) noexcept {
    std::free(p_);
    p_ = static_cast<T *>(std::malloc(n ? n : 1));
    return p_ != nullptr;
  }
  // realloc to n bytes.  On failure the old buffer is freed, the holder is
  // left empty and false is returned with errno set.
  bool resize(size_t n) noexcept {
    void *q = std::realloc(p_, n ? n : 1);
    if (q == nullptr) {
      int saved = errno;
      std::free(p_);
      p_ = nullptr;
      errno = saved;
      return false;
    }
    p_ = static_cast<T *>(q);
    return true;
  }

 private:
  T *p_ = nullptr;
};

// Owns one block from PyMem_Malloc (memory the interpreter accounts for).
template <class T>
class PyMemBuf {
 public:
  explicit PyMemBuf(T *p) noexcept : p_(p) {}
  PyMemBuf(const PyMemBuf &) = delete;
  PyMemBuf &operator=(const PyMemBuf &) = delete;
  ~PyMemBuf() { PyMem_Free(p_); }

  T *get() const noexcept { return p_; }
  [[nodiscard]] T *release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  T *p_;
};

// Replaces an owned field with a new reference, releasing the old one only
// after the field holds the new object (the release may run arbitrary code).
inline void set_field(PyObject *&field, PyObject *value) noexcept {
  PyObject *old = field;
  Py_XINCREF(value);
  field = value;
  Py_XDECREF(old);
}

// Takes the pending exception (normalised) off the thread, or an empty ref.
inline PyRef take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) {
    PyException_SetTraceback(value, tb);
  }
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return PyRef(value);
#endif
}

// Makes a taken exception the pending one again.
inline void restore_exception(PyRef exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject *value = exc.release();
  PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Releases the interpreter lock for the lifetime of the guard, or until
// restore() is called.  Nothing that touches a Python object may run while
// it is released.
class AllowThreads {
 public:
  AllowThreads() noexcept : save_(PyEval_SaveThread()) {}
  AllowThreads(const AllowThreads &) = delete;
  AllowThreads &operator=(const AllowThreads &) = delete;
  ~AllowThreads() { restore(); }
  void restore() noexcept {
    if (save_ != nullptr) {
      PyEval_RestoreThread(std::exchange(save_, nullptr));
    }
  }

 private:
  PyThreadState *save_;
};

}  // namespace varkit

#endif
