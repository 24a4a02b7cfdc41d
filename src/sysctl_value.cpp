// The value and description attributes of Sysctl: reading and decoding a
// value, encoding and writing one, and looking up a description.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernel_mib/kernel_mib.h"
#include "pyref.h"
#include "varkit.h"

namespace varkit {

PyObject *raise_errno(int err) {
  errno = err != 0 ? err : kmib::E_IO;
  return PyErr_SetFromErrno(PyExc_OSError);
}

namespace {

SysctlObject *as_sysctl(PyObject *self) {
  return reinterpret_cast<SysctlObject *>(self);
}

// Element size by type code; only the numeric codes consult it.
constexpr uint64_t ctl_size[16] = {0, 0, 4, 0, 8, 0, 4, 8,
                                   8, 8, 0, 0, 0, 0, 0, 0};

bool is_numeric(uint32_t type) {
  switch (type) {
    case kmib::CTLTYPE_INT:
    case kmib::CTLTYPE_S64:
    case kmib::CTLTYPE_UINT:
    case kmib::CTLTYPE_LONG:
    case kmib::CTLTYPE_ULONG:
    case kmib::CTLTYPE_U64:
      return true;
    default:
      return false;
  }
}

// A refused read that reported no more than was offered says nothing about
// the size needed (the kernel leaves only what it delivered): grow the offer
// by doubling, within these bounds.
constexpr int kMaxAttempts = 32;
constexpr size_t kMinOffer = 64;
constexpr size_t kMaxOffer = size_t{1} << 30;

// The size to offer after a refusal that left `reported` in the size when
// `offered` bytes were offered, or 0 when the read should give up.
size_t next_offer(size_t offered, size_t reported, int attempt) {
  if (attempt >= kMaxAttempts) {
    return 0;
  }
  if (reported > offered) {
    return reported <= kMaxOffer ? reported : 0;
  }
  size_t grown = offered < kMinOffer / 2 ? kMinOffer : offered * 2;
  return grown <= kMaxOffer ? grown : 0;
}

// Stores `result` as the cached value unless another thread got there first
// while the lock was released; returns a new reference to the cached value.
PyObject *cache_value(SysctlObject *self, PyRef result) {
  if (self->value == nullptr) {
    self->value = result.release();
    sysctl_track(self, self->value);
  }
  Py_INCREF(self->value);
  return self->value;
}

template <class T>
T load(const char *p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

PyObject *decode_element(uint32_t type, const char *p) {
  switch (type) {
    case kmib::CTLTYPE_INT:
      return PyLong_FromLong(load<int32_t>(p));
    case kmib::CTLTYPE_UINT:
      return PyLong_FromLong(static_cast<long>(load<uint32_t>(p)));
    case kmib::CTLTYPE_S64:
      return PyLong_FromLongLong(load<int64_t>(p));
    case kmib::CTLTYPE_LONG:
      return PyLong_FromLong(static_cast<long>(load<int64_t>(p)));
    case kmib::CTLTYPE_ULONG:
      return PyLong_FromUnsignedLong(
          static_cast<unsigned long>(load<uint64_t>(p)));
    default:  // CTLTYPE_U64
      return PyLong_FromUnsignedLongLong(load<uint64_t>(p));
  }
}

// One int for exactly one element, a list for more (a trailing partial
// element is dropped).  A reply shorter than one element is given back as
// its bytes, and an empty reply as an empty list: nothing beyond the
// delivered bytes is read.
PyObject *decode_numeric(uint32_t type, const char *buf, size_t size) {
  const size_t elem = ctl_size[type];
  if (size == 0) {
    return PyList_New(0);
  }
  if (size < elem) {
    return PyByteArray_FromStringAndSize(buf, static_cast<Py_ssize_t>(size));
  }
  if (size == elem) {
    return decode_element(type, buf);
  }
  const size_t n = size / elem;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) {
    return nullptr;
  }
  for (size_t i = 0; i < n; i++) {
    PyObject *item = decode_element(type, buf + i * elem);
    if (item == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// The kernel's clock record: five 32-bit ints, hz, tick, a spare field,
// stathz and profhz.
PyObject *decode_clockinfo(const char *buf) {
  struct {
    const char *key;
    size_t offset;
  } const fields[] = {{"hz", 0}, {"tick", 4}, {"profhz", 16}, {"stathz", 12}};
  PyRef dict(PyDict_New());
  if (!dict) {
    return nullptr;
  }
  for (const auto &f : fields) {
    PyRef v(PyLong_FromLong(load<int32_t>(buf + f.offset)));
    if (!v || PyDict_SetItemString(dict.get(), f.key, v.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

constexpr size_t kClockinfoSize = 20;

PyObject *decode_value(uint32_t type, const char *fmt, const char *buf,
                       size_t size) {
  if (is_numeric(type)) {
    return decode_numeric(type, buf, size);
  }
  if (type == kmib::CTLTYPE_STRING) {
    // The buffer holds a NUL right after the delivered bytes: the text ends
    // at the first NUL.
    return PyUnicode_DecodeUTF8(buf, static_cast<Py_ssize_t>(std::strlen(buf)),
                                "surrogateescape");
  }
  if (type == kmib::CTLTYPE_OPAQUE && fmt != nullptr &&
      std::strcmp(fmt, "S,clockinfo") == 0 && size >= kClockinfoSize) {
    return decode_clockinfo(buf);
  }
  return PyByteArray_FromStringAndSize(buf, static_cast<Py_ssize_t>(size));
}

// The buffer of one value read: on the stack while the value is small, from
// malloc beyond that.  Usable without the interpreter lock.
class ReadBuf {
 public:
  ReadBuf() = default;
  ReadBuf(const ReadBuf &) = delete;
  ReadBuf &operator=(const ReadBuf &) = delete;
  ~ReadBuf() { std::free(heap_); }

  char *get() noexcept { return heap_ != nullptr ? heap_ : inline_; }
  // Room for n bytes; what the buffer held need not survive.  False with
  // errno set when malloc fails.
  bool reserve(size_t n) noexcept {
    if (n <= (heap_ != nullptr ? cap_ : sizeof inline_)) {
      return true;
    }
    std::free(heap_);
    heap_ = static_cast<char *>(std::malloc(n));
    cap_ = heap_ != nullptr ? n : 0;
    return heap_ != nullptr;
  }

 private:
  char *heap_ = nullptr;
  size_t cap_ = 0;
  char inline_[256];
};

}  // namespace

PyObject *Sysctl_getvalue(PyObject *self_, void * /*closure*/) {
  SysctlObject *self = as_sysctl(self_);
  if (self->value != nullptr) {
    Py_INCREF(self->value);
    return self->value;
  }
  // One type code decides both the element size and the decoding.
  const uint32_t type = self->type;
  const int *oidv = self->oidv;
  const unsigned int oidlen = self->oidlen;

  ReadBuf buf;
  size_t size = 0;
  bool node = false;
  int err = 0;
  {
    AllowThreads unlocked;
    // Size probe.  Only EISDIR is decided here; any other failure leaves the
    // decision to the fetch.
    if (kmib::sysctl(oidv, oidlen, nullptr, &size, nullptr, 0) < 0 &&
        errno == kmib::E_ISDIR) {
      node = true;
    } else if (!buf.reserve(size + 1)) {
      err = errno;
    } else {
      // The buffer is one byte longer than the offer, so that a NUL can
      // always follow the delivered bytes.
      for (int attempt = 1;; attempt++) {
        const size_t offered = size;
        if (kmib::sysctl(oidv, oidlen, buf.get(), &size, nullptr, 0) == 0) {
          if (size > offered) {
            size = offered;
          }
          break;
        }
        const int e = errno;
        if (e == kmib::E_ISDIR) {
          node = true;
          break;
        }
        if (e != 0 && e != kmib::E_NOMEM) {
          err = e;
          break;
        }
        size = next_offer(offered, size, attempt);
        if (size == 0) {
          err = kmib::E_NOMEM;
          break;
        }
        if (!buf.reserve(size + 1)) {
          err = errno;
          break;
        }
      }
    }
  }
  if (node) {
    return cache_value(self, PyRef::borrow(Py_None));
  }
  if (err != 0) {
    return raise_errno(err);
  }
  buf.get()[size] = '\0';
  PyRef result(decode_value(type, self->fmt, buf.get(), size));
  if (!result) {
    return nullptr;
  }
  return cache_value(self, std::move(result));
}

namespace {

// The encoded form of a value about to be written.
struct Staged {
  union {
    int32_t i32;
    int64_t i64;
  } num{};
  CBuf<char> heap;  // opaque: a private copy of the bytearray
  PyRef text;       // string: the UTF-8 bytes object
  const void *data = nullptr;
  size_t len = 0;
};

int set_overflow() {
  PyErr_SetString(PyExc_OverflowError,
                  "int out of range for this variable's type");
  return -1;
}

int set_invalid_type() {
  PyErr_SetString(PyExc_TypeError, "Invalid type");
  return -1;
}

// Checks the assigned object against the type code and encodes it.
int stage_value(uint32_t type, PyObject *value, Staged &out) {
  switch (type) {
    case kmib::CTLTYPE_INT:
    case kmib::CTLTYPE_UINT:
    case kmib::CTLTYPE_LONG:
    case kmib::CTLTYPE_ULONG:
    case kmib::CTLTYPE_S64:
    case kmib::CTLTYPE_U64: {
      if (!PyLong_CheckExact(value)) {
        return set_invalid_type();
      }
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (v == -1 && PyErr_Occurred()) {
        return -1;
      }
      if (overflow != 0) {
        // The unsigned 64-bit codes also take 2**63 .. 2**64 - 1.
        const bool unsigned64 =
            type == kmib::CTLTYPE_ULONG || type == kmib::CTLTYPE_U64;
        if (overflow < 0 || !unsigned64) {
          return set_overflow();
        }
        unsigned long long u = PyLong_AsUnsignedLongLong(value);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
          PyErr_Clear();
          return set_overflow();
        }
        v = static_cast<long long>(u);
      }
      if (ctl_size[type] == 4) {
        // Host byte order, low 32 bits: 2**32 + 5 writes 5.
        out.num.i32 = static_cast<int32_t>(static_cast<uint32_t>(v));
        out.len = 4;
      } else {
        out.num.i64 = static_cast<int64_t>(v);
        out.len = 8;
      }
      out.data = &out.num;
      return 0;
    }
    case kmib::CTLTYPE_STRING: {
      if (!PyUnicode_CheckExact(value)) {
        return set_invalid_type();
      }
      out.text = PyRef(PyUnicode_AsUTF8String(value));
      if (!out.text) {
        // A character UTF-8 cannot encode, such as a lone surrogate.
        PyErr_Clear();
        return set_invalid_type();
      }
      const char *s = PyBytes_AS_STRING(out.text.get());
      out.data = s;
      out.len = std::strlen(s);  // the text up to its first NUL
      return 0;
    }
    case kmib::CTLTYPE_OPAQUE: {
      if (!PyByteArray_Check(value)) {
        return set_invalid_type();
      }
      // A private copy: the bytearray may change once the lock is released.
      const size_t n = static_cast<size_t>(PyByteArray_GET_SIZE(value));
      if (!out.heap.alloc(n)) {
        PyErr_NoMemory();
        return -1;
      }
      if (n != 0) {
        std::memcpy(out.heap.get(), PyByteArray_AS_STRING(value), n);
      }
      out.data = out.heap.get();
      out.len = n;
      return 0;
    }
    default:
      return set_invalid_type();
  }
}

// Converts the object's `oid` list into `oid`; returns its length or -1.
Py_ssize_t target_oid(SysctlObject *self, int (&oid)[kmib::CTL_MAXNAME]) {
  if (sysctl_oid(self) < 0 && PyErr_Occurred()) {
    return -1;
  }
  PyObject *list = self->oid;
  if (list == nullptr || !PyList_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "Sysctl oid must be a list of ints");
    return -1;
  }
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (n > kmib::CTL_MAXNAME) {
    PyErr_Format(PyExc_TypeError,
                 "Sysctl oid has %zd components, at most %d are allowed", n,
                 kmib::CTL_MAXNAME);
    return -1;
  }
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject *item = PyList_GET_ITEM(list, i);
    if (!PyLong_Check(item)) {
      PyErr_SetString(PyExc_TypeError, "Sysctl oid must be a list of ints");
      return -1;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (v == -1 && PyErr_Occurred()) {
      return -1;
    }
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
      PyErr_SetString(PyExc_OverflowError,
                      "Sysctl oid component out of the 32-bit range");
      return -1;
    }
    oid[i] = static_cast<int>(v);
  }
  return n;
}

}  // namespace

int Sysctl_setvalue(PyObject *self_, PyObject *value, void * /*closure*/) {
  SysctlObject *self = as_sysctl(self_);
  if (self->writable == Py_False) {
    PyErr_SetString(PyExc_TypeError, "Sysctl is not writable");
    return -1;
  }
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "Sysctl value cannot be deleted");
    return -1;
  }
  const uint32_t type = self->type;
  if (type >= kmib::CTLTYPE_INT && type <= kmib::CTLTYPE_U64) {
    Staged staged;
    if (stage_value(type, value, staged) < 0) {
      return -1;
    }
    int oid[kmib::CTL_MAXNAME];
    const Py_ssize_t n = target_oid(self, oid);
    if (n < 0) {
      return -1;
    }
    int rc, err;
    {
      AllowThreads unlocked;
      rc = kmib::sysctl(oid, static_cast<unsigned int>(n), nullptr, nullptr,
                        staged.data, staged.len);
      err = errno;
    }
    if (rc < 0) {
      const char *msg = nullptr;
      if (err == kmib::E_NOMEM) {
        msg = "Type is unknown to this program";
      } else if (err == kmib::E_NOTDIR) {
        msg = "Specification is incomplete";
      } else if (err == kmib::E_OPNOTSUPP) {
        msg = "Value is not available";
      }
      if (msg != nullptr) {
        PyErr_SetString(PyExc_TypeError, msg);
      } else {
        raise_errno(err);
      }
      return -1;
    }
  }
  set_field(self->value, value);
  sysctl_track(self, value);
  return 0;
}

PyObject *Sysctl_getdescr(PyObject *self_, void * /*closure*/) {
  SysctlObject *self = as_sysctl(self_);
  if (self->description != nullptr) {
    Py_INCREF(self->description);
    return self->description;
  }
  int query[kmib::CTL_MAXNAME + 2] = {kmib::CTL_SYSCTL,
                                      kmib::CTL_SYSCTL_OIDDESCR};
  // The layer refuses an OID longer than the kernel's limit; never copy
  // more than the query has room for.
  const unsigned int oidlen = self->oidlen;
  const unsigned int copied =
      oidlen < kmib::CTL_MAXNAME ? oidlen : kmib::CTL_MAXNAME;
  if (copied != 0) {
    std::memcpy(query + 2, self->oidv, copied * sizeof(int));
  }
  const unsigned int qlen = copied + 2;

  CBuf<char> buf;
  size_t size = 0;
  // The first pass is a size probe whatever its outcome; later passes grow
  // the buffer to what the kernel reported.
  for (int attempt = 0;; attempt++) {
    const size_t offered = size;
    const int rc = kmib::sysctl(query, qlen, buf.get(), &size, nullptr, 0);
    if (rc == 0 && buf) {
      if (size > offered) {
        size = offered;
      }
      break;
    }
    if (!buf) {
      // The first pass: take the size it left, whatever its outcome.
    } else if (errno != 0 && errno != kmib::E_NOMEM) {
      return raise_errno(errno);
    } else {
      size = next_offer(offered, size, attempt);
      if (size == 0) {
        return raise_errno(kmib::E_NOMEM);
      }
    }
    if (!buf.resize(size)) {
      return raise_errno(errno);
    }
  }
  // The text ends at its NUL, or at the end of the reply if it has none.
  const char *text = buf.get();
  const void *nul = std::memchr(text, '\0', size);
  const size_t len =
      nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : size;
  PyRef descr(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(len),
                                   "surrogateescape"));
  if (!descr) {
    return nullptr;
  }
  set_field(self->description, descr.get());
  return descr.release();
}

}  // namespace varkit
