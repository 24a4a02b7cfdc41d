// The kernel MIB layer: every kernel call of _varkit goes through here.
//
// On FreeBSD the two calls are the C library's sysctl(3) and
// sysctlnametomib(3).  Elsewhere they are forwarded to the MIB provider that
// bind() attaches to at start-up.  The rest of the module uses only the
// names below and never includes a platform header for them.
#ifndef VARKIT_KERNEL_MIB_H
#define VARKIT_KERNEL_MIB_H

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kmib {

// Longest OID the kernel accepts, in components.
inline constexpr int CTL_MAXNAME = 24;

// The kernel's internal query nodes: 0, the query number, then the target.
inline constexpr int CTL_SYSCTL = 0;
inline constexpr int CTL_SYSCTL_NAME = 1;
inline constexpr int CTL_SYSCTL_NEXT = 2;
inline constexpr int CTL_SYSCTL_NAME2OID = 3;
inline constexpr int CTL_SYSCTL_OIDFMT = 4;
inline constexpr int CTL_SYSCTL_OIDDESCR = 5;
inline constexpr int CTL_SYSCTL_NEXTNOSKIP = 7;

// The top-level kern node: where a walk of the whole tree starts.
inline constexpr int CTL_KERN = 1;

// The kind word: type code in the low four bits, flags above.
inline constexpr uint32_t CTLTYPE = 0xf;
inline constexpr uint32_t CTLTYPE_NODE = 1;
inline constexpr uint32_t CTLTYPE_INT = 2;
inline constexpr uint32_t CTLTYPE_STRING = 3;
inline constexpr uint32_t CTLTYPE_S64 = 4;
inline constexpr uint32_t CTLTYPE_OPAQUE = 5;
inline constexpr uint32_t CTLTYPE_UINT = 6;
inline constexpr uint32_t CTLTYPE_LONG = 7;
inline constexpr uint32_t CTLTYPE_ULONG = 8;
inline constexpr uint32_t CTLTYPE_U64 = 9;
inline constexpr uint32_t CTLFLAG_RD = 0x80000000u;
inline constexpr uint32_t CTLFLAG_WR = 0x40000000u;
inline constexpr uint32_t CTLFLAG_TUN = 0x00080000u;
inline constexpr uint32_t CTLFLAG_SKIP = 0x01000000u;
// A format query whose kind word reads this counts as failed.
inline constexpr uint32_t KIND_INVALID = 0xFFFFFFFFu;

// The error numbers that carry a meaning for the module, in the host's
// numbering (the provider reports the host's errno values).
inline constexpr int E_NOENT = ENOENT;
inline constexpr int E_NOMEM = ENOMEM;
inline constexpr int E_NOTDIR = ENOTDIR;
inline constexpr int E_ISDIR = EISDIR;
inline constexpr int E_INVAL = EINVAL;
inline constexpr int E_IO = EIO;
inline constexpr int E_OPNOTSUPP = EOPNOTSUPP;

// Attach to the MIB provider.  Called once from the module's init function
// with the interpreter lock held; returns 0, or -1 with ImportError set.
int bind();

// sysctl(3) and sysctlnametomib(3), same arguments and results: 0, or -1
// with errno set.  Safe to call without the interpreter lock.
int sysctl(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp,
           const void *newp, size_t newlen);
int nametomib(const char *name, int *mibp, size_t *sizep);

}  // namespace kmib

#endif
