#include "provider/front.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>

#include "kernel_mib/kernel_mib.h"

namespace varkit::mib {

Front &Front::get() noexcept {
  // Built on first use and never destroyed: threads may still be calling in
  // while the process exits.
  static Front *front = new Front;
  return *front;
}

int Front::sysctl(const int *name, unsigned int namelen, void *oldp,
                  size_t *oldlenp, const void *newp, size_t newlen) noexcept {
  // The usual case, no fault pending and no log kept, straight to the
  // backend: what the full path below does then, without its bookkeeping.
  if (pending_faults_.load(std::memory_order_acquire) == 0 &&
      !logging_.load(std::memory_order_relaxed) && name != nullptr &&
      namelen >= 2 && namelen <= static_cast<unsigned>(kmib::CTL_MAXNAME)) {
    Backend *b = backend_.load(std::memory_order_acquire);
    const int err = b != nullptr
                        ? b->call(name, namelen, oldp, oldlenp, newp, newlen)
                        : ENOENT;
    if (err == 0) {
      return 0;
    }
    errno = err;
    return -1;
  }
  std::optional<size_t> offered;
  if (oldp != nullptr && oldlenp != nullptr) {
    offered = *oldlenp;
  }
  int err;
  bool failed;
  if (name == nullptr || namelen < 2 ||
      namelen > static_cast<unsigned>(kmib::CTL_MAXNAME)) {
    err = EINVAL;
    failed = true;
    forget();
  } else {
    bool internal = name[0] == kmib::CTL_SYSCTL;
    std::optional<int> query;
    const int *target = name;
    size_t n = namelen;
    if (internal) {
      query = name[1];
      target += 2;
      n -= 2;
    }
    std::optional<size_t> size;
    if (take_fault(query, target, n, &err, &size)) {
      failed = true;
      forget();
      if (size && oldlenp != nullptr) {
        *oldlenp = *size;
      }
    } else {
      Backend *b = backend_.load(std::memory_order_acquire);
      err = b != nullptr ? b->call(name, namelen, oldp, oldlenp, newp, newlen)
                         : ENOENT;
      failed = err != 0;
    }
  }
  if (logging_.load(std::memory_order_relaxed)) {
    log(name, name != nullptr ? namelen : 0, offered, newp, newlen, err);
  }
  if (!failed) {
    return 0;
  }
  errno = err;
  return -1;
}

int Front::nametomib(const char *name, int *mibp, size_t *sizep) noexcept {
  // sysctlnametomib(3) is internal query 3 with the name as the new bytes;
  // it is logged and faulted as that query.
  static const int kQuery[2] = {kmib::CTL_SYSCTL, kmib::CTL_SYSCTL_NAME2OID};
  std::optional<size_t> offered;
  if (mibp != nullptr && sizep != nullptr) {
    constexpr size_t kMax = std::numeric_limits<size_t>::max() / sizeof(int);
    offered = *sizep > kMax ? std::numeric_limits<size_t>::max()
                            : *sizep * sizeof(int);
  }
  size_t len = name != nullptr ? std::strlen(name) : 0;
  int err;
  bool failed;
  std::optional<size_t> size;
  if (name == nullptr || sizep == nullptr) {
    err = EINVAL;
    failed = true;
    forget();
  } else if (take_fault(kmib::CTL_SYSCTL_NAME2OID, nullptr, 0, &err, &size)) {
    failed = true;
    forget();
    if (size) {
      *sizep = *size / sizeof(int);
    }
  } else {
    Backend *b = backend_.load(std::memory_order_acquire);
    err = b != nullptr ? b->nametomib(std::string_view(name, len), mibp, sizep)
                       : ENOENT;
    failed = err != 0;
  }
  if (logging_.load(std::memory_order_relaxed)) {
    log(kQuery, 2, offered, name, len, err);
  }
  if (!failed) {
    return 0;
  }
  errno = err;
  return -1;
}

void Front::forget() noexcept {
  if (Backend *b = backend_.load(std::memory_order_acquire)) {
    b->forget();
  }
}

void Front::use(Backend *backend) noexcept {
  backend_.store(backend, std::memory_order_release);
}

Backend *Front::active() const noexcept {
  return backend_.load(std::memory_order_acquire);
}

void Front::inject(Fault fault) {
  std::lock_guard lock(fault_mu_);
  faults_.push_back(std::move(fault));
  pending_faults_.store(faults_.size(), std::memory_order_release);
}

void Front::drop_faults() noexcept {
  std::lock_guard lock(fault_mu_);
  faults_.clear();
  pending_faults_.store(0, std::memory_order_release);
}

bool Front::take_fault(std::optional<int> query, const int *target, size_t n,
                       int *err, std::optional<size_t> *size) noexcept {
  if (pending_faults_.load(std::memory_order_acquire) == 0) {
    return false;
  }
  std::lock_guard lock(fault_mu_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->query != query) {
      continue;
    }
    // Query 3 carries its target in the new bytes, not in the OID: a fault
    // for it matches whatever OID it was given.
    if (it->oid && query != kmib::CTL_SYSCTL_NAME2OID &&
        !(it->oid->size() == n &&
          std::equal(target, target + n, it->oid->begin()))) {
      continue;
    }
    *err = it->err;
    *size = it->size;
    if (--it->times <= 0) {
      faults_.erase(it);
      pending_faults_.store(faults_.size(), std::memory_order_release);
    }
    return true;
  }
  return false;
}

void Front::log(const int *name, size_t namelen, std::optional<size_t> offered,
                const void *newp, size_t newlen, int err) noexcept {
  try {
    CallRecord r;
    if (name != nullptr) {
      r.oid.assign(name, name + namelen);
    }
    r.offered = offered;
    if (newp != nullptr) {
      r.newval.emplace(static_cast<const char *>(newp), newlen);
    }
    r.err = err;
    std::lock_guard lock(log_mu_);
    if (log_.size() >= kLogLimit) {
      log_.pop_front();  // a long-running process keeps the newest calls
    }
    log_.push_back(std::move(r));
  } catch (...) {
    // Out of memory: the record is dropped, the call itself stands.
  }
}

std::vector<CallRecord> Front::calls() const {
  std::lock_guard lock(log_mu_);
  return std::vector<CallRecord>(log_.begin(), log_.end());
}

void Front::clear_calls() noexcept {
  std::deque<CallRecord> old;
  {
    std::lock_guard lock(log_mu_);
    old.swap(log_);
  }
}

void Front::set_logging(bool on) noexcept {
  logging_.store(on, std::memory_order_relaxed);
}

namespace {

int api_sysctl(const int *name, unsigned int namelen, void *oldp,
               size_t *oldlenp, const void *newp, size_t newlen) {
  return Front::get().sysctl(name, namelen, oldp, oldlenp, newp, newlen);
}

int api_nametomib(const char *name, int *mibp, size_t *sizep) {
  return Front::get().nametomib(name, mibp, sizep);
}

const varkit_mib_api kApi = {VARKIT_MIB_API_VERSION, api_sysctl, api_nametomib};

}  // namespace

const varkit_mib_api *api_record() noexcept { return &kApi; }

}  // namespace varkit::mib
