// The front layer of the MIB provider: the two C entry points of the
// provider's binary interface land here.  It rejects OIDs of a bad length,
// serves injected faults, records every call in the call log and passes the
// rest to the active backend.
//
// Locking: the backend pointer is atomic (backends are never destroyed); the
// call log and the fault list each have their own mutex, and a call takes
// the fault mutex only while faults are pending.  Nothing here runs Python
// code or touches a Python object, so no lock is ever held while waiting
// for the interpreter lock.
#ifndef VARKIT_PROVIDER_FRONT_H
#define VARKIT_PROVIDER_FRONT_H

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kernel_mib/provider_api.h"
#include "provider/backend.h"

namespace varkit::mib {

// One entry of the call log.
struct CallRecord {
  std::vector<int> oid;               // as sent; sysctlnametomib logs {0, 3}
  std::optional<size_t> offered;      // *oldlenp on entry when oldp was given
  std::optional<std::string> newval;  // the new bytes, when newp was given
  int err = 0;                        // errno of the call, 0 on success
};

// An injected fault: the next `times` matching calls fail with `err`.
struct Fault {
  int err = 0;
  std::optional<std::vector<int>> oid;  // the target; none: any
  std::optional<int> query;             // internal query number; none: plain
  long times = 1;
  std::optional<size_t> size;  // left in *oldlenp; none: left untouched
};

class Front {
 public:
  // The call log keeps at most this many records, the newest ones, so that
  // a process that never reads it does not grow without bound.
  static constexpr size_t kLogLimit = 100000;

  // The one front layer of the process; never destroyed.
  static Front &get() noexcept;

  Front(const Front &) = delete;
  Front &operator=(const Front &) = delete;

  // sysctl(3) and sysctlnametomib(3): 0, or -1 with errno set.
  int sysctl(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp,
             const void *newp, size_t newlen) noexcept;
  int nametomib(const char *name, int *mibp, size_t *sizep) noexcept;

  // The backend that serves from now on; it must live forever.
  void use(Backend *backend) noexcept;
  Backend *active() const noexcept;

  // Faults are matched in the order injected.
  void inject(Fault fault);
  void drop_faults() noexcept;

  std::vector<CallRecord> calls() const;
  void clear_calls() noexcept;
  void set_logging(bool on) noexcept;

 private:
  Front() = default;

  // Consumes the first fault, in injection order, that matches a call to
  // internal query `query` (none: a plain access) on target/n; false if no
  // fault does.  Costs one atomic load while no fault is pending.
  bool take_fault(std::optional<int> query, const int *target, size_t n,
                  int *err, std::optional<size_t> *size) noexcept;
  // Tells the backend of a call this layer answered itself.
  void forget() noexcept;
  void log(const int *name, size_t namelen, std::optional<size_t> offered,
           const void *newp, size_t newlen, int err) noexcept;

  std::atomic<Backend *> backend_{nullptr};

  mutable std::mutex log_mu_;
  std::deque<CallRecord> log_;
  std::atomic<bool> logging_{true};

  std::mutex fault_mu_;
  std::vector<Fault> faults_;
  std::atomic<size_t> pending_faults_{0};
};

// The record published in the provider's capsule.
const varkit_mib_api *api_record() noexcept;

}  // namespace varkit::mib

#endif
