// Enumeration: the filter() walk over the MIB and the factory that turns one
// OID into a Sysctl object.
#include <cstring>

#include "kernel_mib/kernel_mib.h"
#include "pyref.h"
#include "varkit.h"

namespace varkit {

namespace {

constexpr size_t kNameMax = 1024;
constexpr size_t kFormatMax = 1024;
// Components of the OID a next query returns: the query itself carries two
// leading ints, so a reply longer than this could not be asked about next.
constexpr int kNextMax = kmib::CTL_MAXNAME - 2;

}  // namespace

PyObject *new_sysctlobj(const int *oid, uint32_t len, uint32_t kind,
                        const char *fmt) {
  // One spare byte beyond the offer keeps the name NUL-terminated whatever
  // the kernel delivers.
  char name[kNameMax + 1];
  std::memset(name, 0, sizeof name);
  int query[kmib::CTL_MAXNAME + 2] = {kmib::CTL_SYSCTL, kmib::CTL_SYSCTL_NAME};
  const uint32_t copied = len < kmib::CTL_MAXNAME ? len : kmib::CTL_MAXNAME;
  std::memcpy(query + 2, oid, copied * sizeof(int));
  size_t size = kNameMax;
  if (kmib::sysctl(query, copied + 2, name, &size, nullptr, 0) < 0) {
    return raise_errno(errno);
  }

  // Built field by field: what Sysctl(name=..., writable=..., tuneable=...)
  // makes, without the argument parsing.  A name that is not UTF-8 raises
  // UnicodeDecodeError.  The oid list is made from oidv on first access.
  PyRef name_str(PyUnicode_FromString(name));
  if (!name_str) {
    return nullptr;
  }
  // The OID and the format string share one block: the OID first, then the
  // format and its NUL.
  const size_t fmt_len = std::strlen(fmt);
  const size_t oid_bytes = len * sizeof(int32_t);
  PyMemBuf<char> block(
      static_cast<char *>(PyMem_Malloc(oid_bytes + fmt_len + 1)));
  if (!block) {
    return raise_errno(kmib::E_NOMEM);
  }
  std::memcpy(block.get(), oid, oid_bytes);
  std::memcpy(block.get() + oid_bytes, fmt, fmt_len + 1);

  PyObject *obj = SysctlType.tp_alloc(&SysctlType, 0);
  if (obj == nullptr) {
    return nullptr;
  }
  // A str and two bools hold no cycle: the object stays out of the cycle
  // collector until a field takes something that could (sysctl_track).
  PyObject_GC_UnTrack(obj);
  auto *self = reinterpret_cast<SysctlObject *>(obj);
  self->name = name_str.release();
  self->writable = Py_NewRef((kind & kmib::CTLFLAG_WR) ? Py_True : Py_False);
  self->tuneable = Py_NewRef((kind & kmib::CTLFLAG_TUN) ? Py_True : Py_False);
  self->fmt = block.get() + oid_bytes;
  self->oidv = reinterpret_cast<int32_t *>(block.release());
  self->oidlen = len;
  self->type = kind & kmib::CTLTYPE;
  return obj;
}

namespace {

// Asks the format query about `oid`: fills the kind word and a NUL-terminated
// copy of the format string.  Returns false with errno set on failure; a
// kind word of 0xFFFFFFFF counts as one.
bool query_format(const int *oid, size_t len, uint32_t &kind,
                  char (&fmt)[kFormatMax]) {
  int query[kmib::CTL_MAXNAME + 2] = {kmib::CTL_SYSCTL,
                                      kmib::CTL_SYSCTL_OIDFMT};
  std::memcpy(query + 2, oid, len * sizeof(int));
  char reply[kFormatMax];
  std::memset(reply, 0, sizeof reply);
  size_t size = sizeof reply;
  if (kmib::sysctl(query, static_cast<unsigned int>(len + 2), reply, &size,
                   nullptr, 0) < 0) {
    return false;
  }
  std::memcpy(&kind, reply, sizeof kind);
  if (kind == kmib::KIND_INVALID) {
    // The call itself succeeded and left errno as it was: report EIO, not
    // whatever an earlier call of this thread left there.
    errno = kmib::E_IO;
    return false;
  }
  // The format string runs to its NUL, and never past the reply.
  if (size > sizeof reply) {
    size = sizeof reply;
  }
  size_t n = 0;
  if (size > sizeof kind) {
    const char *s = reply + sizeof kind;
    const size_t avail = size - sizeof kind;
    const void *nul = std::memchr(s, '\0', avail);
    n = nul ? static_cast<size_t>(static_cast<const char *>(nul) - s) : avail;
    if (n >= kFormatMax) {
      n = kFormatMax - 1;
    }
    std::memcpy(fmt, s, n);
  }
  fmt[n] = '\0';
  return true;
}

// Builds the object for one OID and appends it to the list.
bool append_object(PyObject *list, const int *oid, size_t len, uint32_t kind,
                   const char *fmt) {
  PyRef obj(new_sysctlobj(oid, static_cast<uint32_t>(len), kind, fmt));
  return obj && PyList_Append(list, obj.get()) == 0;
}

}  // namespace

PyObject *sysctl_filter(PyObject * /*module*/, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"mib", "writable", nullptr};
  const char *mib = nullptr;
  PyObject *writable = Py_None;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwds, "|zO", const_cast<char **>(kwlist), &mib, &writable)) {
    return nullptr;
  }
  PyRef list(PyList_New(0));
  if (!list) {
    return nullptr;
  }
  const int walk =
      mib != nullptr ? kmib::CTL_SYSCTL_NEXTNOSKIP : kmib::CTL_SYSCTL_NEXT;

  int prefix[kmib::CTL_MAXNAME];
  size_t prefix_len = 0;
  int next_query[kmib::CTL_MAXNAME] = {kmib::CTL_SYSCTL, walk};
  size_t next_len = 0;  // components after the two leading ints
  uint32_t kind = 0;
  char fmt[kFormatMax];

  if (mib != nullptr && mib[0] != '\0' && mib[0] != '\n') {
    size_t resolved = kmib::CTL_MAXNAME;
    if (kmib::nametomib(mib, prefix, &resolved) < 0) {
      return list.release();  // an unknown name lists nothing
    }
    if (resolved > static_cast<size_t>(kmib::CTL_MAXNAME)) {
      resolved = kmib::CTL_MAXNAME;
    }
    if (!query_format(prefix, resolved, kind, fmt)) {
      return raise_errno(errno);
    }
    if ((kind & kmib::CTLTYPE) != kmib::CTLTYPE_NODE) {
      // A leaf named directly is listed whatever `writable` asks for.
      if (!append_object(list.get(), prefix, resolved, kind, fmt)) {
        return nullptr;
      }
      return list.release();
    }
    if (resolved > static_cast<size_t>(kNextMax)) {
      // Too deep to be asked about next: no variable can lie below it.
      return list.release();
    }
    prefix_len = resolved;
    std::memcpy(next_query + 2, prefix, resolved * sizeof(int));
    next_len = resolved;
  } else {
    next_query[2] = kmib::CTL_KERN;
    next_len = 1;
  }

  int reply[kmib::CTL_MAXNAME];
  for (;;) {
    size_t size = kNextMax * sizeof(int);  // 88 bytes offered
    if (kmib::sysctl(next_query, static_cast<unsigned int>(next_len + 2), reply,
                     &size, nullptr, 0) < 0) {
      if (errno == kmib::E_NOENT) {
        return list.release();  // past the last variable
      }
      return raise_errno(errno);
    }
    size_t n = size / sizeof(int);
    if (n > static_cast<size_t>(kNextMax)) {
      n = kNextMax;
    }
    if (n < prefix_len ||
        std::memcmp(reply, prefix, prefix_len * sizeof(int)) != 0) {
      return list.release();  // the walk has left the subtree
    }
    if (!query_format(reply, n, kind, fmt)) {
      return raise_errno(errno);
    }
    PyObject *w = (kind & kmib::CTLFLAG_WR) ? Py_False : Py_True;
    if (writable != w && !append_object(list.get(), reply, n, kind, fmt)) {
      return nullptr;
    }
    std::memcpy(next_query + 2, reply, n * sizeof(int));
    next_len = n;
  }
}

}  // namespace varkit
