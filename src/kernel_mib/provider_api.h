// The binary interface between the kernel MIB layer and a MIB provider.
//
// On hosts whose C library has no sysctl(3), a provider extension module
// (_varkit_mib) serves a MIB.  It publishes one capsule, named
// VARKIT_MIB_CAPSULE, that points at a static `varkit_mib_api` record.  The
// layer imports it once, at start-up of _varkit, and from then on calls the
// two function pointers exactly as it would call the C library.
//
// Both functions follow the C library's conventions: they return 0 on
// success, or -1 with errno set.  They are called without the interpreter
// lock, from any thread, and must not touch Python objects.
#ifndef VARKIT_PROVIDER_API_H
#define VARKIT_PROVIDER_API_H

#include <stddef.h>

#define VARKIT_MIB_CAPSULE "_varkit_mib._api"
#define VARKIT_MIB_API_VERSION 1u

#ifdef __cplusplus
extern "C" {
#endif

struct varkit_mib_api {
  // VARKIT_MIB_API_VERSION of the provider that filled the record.
  unsigned int version;
  // sysctl(3): name/namelen is the OID; oldp/oldlenp receive the current
  // value; newp/newlen carry a new value.
  int (*sysctl)(const int *name, unsigned int namelen, void *oldp,
                size_t *oldlenp, const void *newp, size_t newlen);
  // sysctlnametomib(3): *sizep is the capacity of mibp in components on entry
  // and the OID's length on return.
  int (*nametomib)(const char *name, int *mibp, size_t *sizep);
};

#ifdef __cplusplus
}
#endif

#endif
