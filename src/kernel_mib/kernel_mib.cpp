#include "kernel_mib.h"

#include "../pyref.h"

#if defined(__FreeBSD__)

#include <sys/sysctl.h>
#include <sys/types.h>

namespace kmib {

int bind() { return 0; }

int sysctl(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp,
           const void *newp, size_t newlen) {
  return ::sysctl(name, namelen, oldp, oldlenp, newp, newlen);
}

int nametomib(const char *name, int *mibp, size_t *sizep) {
  return ::sysctlnametomib(name, mibp, sizep);
}

}  // namespace kmib

#else  // no sysctl(3) in the C library: forward to the MIB provider

#include "provider_api.h"

namespace kmib {
namespace {

// Filled once by bind() under the interpreter lock, before any call can be
// made, and never changed afterwards; the provider module that owns the
// record stays imported (sys.modules holds it) for the life of the process.
const varkit_mib_api *provider = nullptr;

}  // namespace

int bind() {
  if (provider != nullptr) {
    return 0;
  }
  void *p = PyCapsule_Import(VARKIT_MIB_CAPSULE, 0);
  if (p == nullptr) {
    varkit::PyRef cause = varkit::take_exception();
    PyErr_Format(PyExc_ImportError,
                 "_varkit: cannot bind to the MIB provider _varkit_mib "
                 "(this host's C library has no sysctl(3)): %S",
                 cause ? cause.get() : Py_None);
    if (cause) {
      varkit::PyRef err = varkit::take_exception();
      PyException_SetCause(err.get(), cause.release());
      varkit::restore_exception(std::move(err));
    }
    return -1;
  }
  auto *api = static_cast<const varkit_mib_api *>(p);
  if (api->version != VARKIT_MIB_API_VERSION || api->sysctl == nullptr ||
      api->nametomib == nullptr) {
    PyErr_Format(PyExc_ImportError,
                 "_varkit: the MIB provider _varkit_mib speaks interface "
                 "version %u, this module needs version %u",
                 api->version, VARKIT_MIB_API_VERSION);
    return -1;
  }
  provider = api;
  return 0;
}

int sysctl(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp,
           const void *newp, size_t newlen) {
  return provider->sysctl(name, namelen, oldp, oldlenp, newp, newlen);
}

int nametomib(const char *name, int *mibp, size_t *sizep) {
  return provider->nametomib(name, mibp, sizep);
}

}  // namespace kmib

#endif
