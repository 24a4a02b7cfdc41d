// The live MIB of a Linux host: the tree of kernel variables under /proc/sys
// (or any folder laid out like it), served through the same calls and
// internal queries as the emulated tree.
//
// Names.  A variable's name is its path below the root with the folders
// joined by dots; a dot inside one file or folder name is shown as a slash
// (the folder eth0.100 appears as eth0/100) and mapped back when a name is
// resolved.
//
// OIDs.  The top-level folders kernel, vm, net, fs, debug, dev and abi take
// 1, 2, 3, 5, 6, 7 and 9; any other top-level entry takes a number from 100
// up.  Inside a folder, entries are numbered 1, 2, 3, ... in byte order of
// their names when the folder is first listed; an entry that appears later
// takes the next unused number.  Entries that vanish keep their number (and
// get it back should they reappear), so no number is ever given to another
// name while the process lives.
//
// Kinds.  Folders are interior nodes.  A file is readable when its owner
// may read it and writable when its owner may write it; its type is learnt
// from its content at the first read and kept: whitespace-separated integers
// make int, long or unsigned long (the narrowest that holds them all),
// anything else a string.  A file with no value to show in a listing -- its
// owner may not read it (a write-only trigger such as vm.drop_caches), or
// its first read fails for another reason than the file having vanished
// (net.ipv6.conf.*.stable_secret while unset) -- carries CTLFLAG_SKIP,
// learnt by that same read and kept like the type: the skipping walk
// (CTL_SYSCTL_NEXT) passes over it, reading on its way each file it meets
// for the first time; the other walk, name lookups, reads and writes treat
// it like any file.
//
// Freshness.  A folder is listed when first needed and listed again when a
// walk enters it, when a walk asks for a top-level OID (the start of a walk),
// or when a name lookup misses in it; a name lookup that hits checks that
// the entry still exists.  No call scans the whole tree.
//
// Safety.  Only regular files and folders found by listing folders below the
// root are served (files right under the root are not: an OID of one
// component names no variable); symbolic links are not (a listing passes over
// them, and a path that meets one fails to open).  Every open is made relative
// to a descriptor of the root with openat2(RESOLVE_BENEATH |
// RESOLVE_NO_SYMLINKS), or, on kernels without openat2, one component at a time
// with O_NOFOLLOW, so nothing outside the root is ever opened.
//
// Cost.  A value read is a size probe followed by a fetch on the same
// thread: the probe opens and reads the file once and keeps the reply in a
// per-thread slot that the next call of that thread consumes, so a fetch
// that follows its probe is served without touching the file again.
//
// Locking.  One reader-writer lock guards the folder listings and the
// OID<->name maps; listing a folder takes it exclusively, everything else
// shares it.  Nodes are never freed while the tree lives, so a node pointer
// stays valid after the lock is released; file I/O runs outside the lock,
// holding a reference to the root descriptor.  The learnt type and mode of
// a file are atomics.  Nothing here touches a Python object.
#ifndef VARKIT_PROVIDER_PROCFS_H
#define VARKIT_PROVIDER_PROCFS_H

#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "provider/backend.h"

namespace varkit::mib {

struct ProcNode;
struct RootDir;
class FolderSet;

class ProcfsTree final : public Backend {
 public:
  // The tree for the folder at `root`, an absolute path without symbolic
  // links; one per root for the life of the process, never destroyed, so
  // that the OIDs given out stay valid across switches between trees.
  static ProcfsTree &for_root(const std::string &root);

  ProcfsTree(const ProcfsTree &) = delete;
  ProcfsTree &operator=(const ProcfsTree &) = delete;

  const char *kind() const noexcept override { return "procfs"; }
  int call(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp,
           const void *newp, size_t newlen) noexcept override;
  int nametomib(std::string_view name, int *mibp,
                size_t *sizep) noexcept override;
  void forget() noexcept override;

  const std::string &root() const noexcept { return root_path_; }

  // Opens the root folder for serving; returns 0 or an errno value.
  int attach() noexcept;
  // Closes the root descriptor once no call is using it; calls made after
  // this fail with ENOENT until the next attach().
  void detach() noexcept;

  // Whether opens go through openat2(2) (true) or one component at a time
  // (false); openat2 is dropped for good once the kernel reports ENOSYS.
  static bool use_openat2(bool on) noexcept;

 private:
  explicit ProcfsTree(std::string root);
  ~ProcfsTree() override;

  // Runs `pass` under the shared lock; while it asks for a folder to be
  // listed (by setting its argument), lists it, adds it to `fresh` and runs
  // the pass again.
  template <class Pass>
  int with_listing(FolderSet &fresh, Pass &&pass) noexcept;
  // Lists (or lists again) a folder under the exclusive lock.
  int list(ProcNode *dir) noexcept;

  // The node at oid/n (listing folders never listed before) and the root
  // descriptor; ENOENT if there is none.  *is_dir is read under the lock.
  int locate(const int *oid, size_t n, ProcNode **node, bool *is_dir,
             std::shared_ptr<RootDir> *root) noexcept;
  int resolve(std::string_view name, int *oid, size_t *len) noexcept;

  int query(int q, const int *target, size_t n, void *oldp, size_t *oldlenp,
            const void *newp, size_t newlen) noexcept;
  int name_of(const int *target, size_t n, Reply &reply) noexcept;
  // The first file after target, in OID order; `skipping` passes over the
  // files that carry CTLFLAG_SKIP.
  int next(const int *target, size_t n, bool skipping, Reply &reply) noexcept;
  int format(const int *target, size_t n, Reply &reply) noexcept;
  int read(const int *oid, size_t n, void *oldp, size_t *oldlenp) noexcept;
  int write(const int *oid, size_t n, void *oldp, size_t *oldlenp,
            const void *newp, size_t newlen) noexcept;

  const std::string root_path_;
  mutable std::shared_mutex mu_;
  std::unique_ptr<ProcNode> top_;      // the root folder
  std::shared_ptr<RootDir> root_dir_;  // null while detached
};

}  // namespace varkit::mib

#endif
