// A MIB backend: one kind of tree served behind sysctl(3) and
// sysctlnametomib(3).
//
// The front layer (front.h) checks the OID's length, applies injected faults
// and keeps the call log; a backend only answers calls.  Backends live for
// the life of the process and are called without the interpreter lock from
// any number of threads, so every member must be thread-safe and none may
// touch a Python object.
#ifndef VARKIT_PROVIDER_BACKEND_H
#define VARKIT_PROVIDER_BACKEND_H

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace varkit::mib {

class Backend {
 public:
  virtual ~Backend() = default;

  // What active() reports while this backend serves.
  virtual const char *kind() const noexcept = 0;

  // One sysctl(3) call.  The front layer has made sure that name is not NULL
  // and that 2 <= namelen <= CTL_MAXNAME.  Returns 0 or an errno value.
  virtual int call(const int *name, unsigned int namelen, void *oldp,
                   size_t *oldlenp, const void *newp,
                   size_t newlen) noexcept = 0;

  // sysctlnametomib(3): *sizep is the capacity of mibp in components on
  // entry and the OID's length on return.  Returns 0 or an errno value.
  virtual int nametomib(std::string_view name, int *mibp,
                        size_t *sizep) noexcept = 0;

  // Told of a call made on this thread that the front layer answered itself
  // (an injected fault, a bad OID length), so that a backend that keeps
  // per-thread state between consecutive calls can drop it.
  virtual void forget() noexcept {}
};

// Copies a reply out to the caller the way the kernel does.  With no buffer
// (oldp NULL) it only counts, and finish() reports the size needed.  With a
// buffer it copies what fits; if the reply did not fit, finish() fails with
// ENOMEM and leaves the count actually delivered in *oldlenp.  With oldlenp
// NULL nothing is delivered at all.
class Reply {
 public:
  Reply(void *oldp, size_t *oldlenp) noexcept
      : out_(oldlenp != nullptr ? static_cast<char *>(oldp) : nullptr),
        lenp_(oldlenp),
        cap_(out_ != nullptr ? *oldlenp : 0) {}
  Reply(const Reply &) = delete;
  Reply &operator=(const Reply &) = delete;

  void put(const void *p, size_t n) noexcept {
    if (out_ != nullptr && used_ < cap_) {
      size_t k = std::min(n, cap_ - used_);
      std::memcpy(out_ + used_, p, k);
      used_ += k;
    }
    need_ += n;
  }
  void put(std::string_view s) noexcept { put(s.data(), s.size()); }
  void put_nul() noexcept { put("", 1); }

  // Sets *oldlenp; returns 0 or ENOMEM.
  int finish() noexcept {
    if (lenp_ == nullptr) {
      return 0;
    }
    if (out_ == nullptr) {
      *lenp_ = need_;
      return 0;
    }
    *lenp_ = used_;
    return need_ > cap_ ? ENOMEM : 0;
  }

 private:
  char *out_;
  size_t *lenp_;
  size_t cap_;
  size_t used_ = 0;
  size_t need_ = 0;
};

// Hands a resolved OID to a sysctlnametomib(3) caller: with mibp NULL only
// the length; an OID longer than the capacity fills mibp, leaves the
// capacity in *sizep and fails with ENOMEM.
inline int deliver_mib(const int *oid, size_t len, int *mibp,
                       size_t *sizep) noexcept {
  if (mibp == nullptr) {
    *sizep = len;
    return 0;
  }
  size_t k = std::min(len, *sizep);
  std::copy(oid, oid + k, mibp);
  if (len > k) {
    return ENOMEM;
  }
  *sizep = len;
  return 0;
}

}  // namespace varkit::mib

#endif
