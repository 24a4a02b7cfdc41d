// The emulated MIB: a tree of nodes kept in memory, answering the kernel's
// calls by the kernel's rules.
//
// Every node keeps its children in a map keyed by component number (signed
// order, which is the order of a walk) and a second map keyed by name, so a
// lookup costs one map search per component.  Every node also counts the
// variables in its subtree, both all of them and those a skipping walk
// reaches; a walk uses the counts to pass over subtrees that hold nothing it
// would report, so a walk over n variables takes time linear in n.
//
// Locking: one reader-writer lock.  Reads and internal queries take it
// shared; writes through sysctl(3) and every control call take it
// exclusively.  The read path allocates nothing.
#ifndef VARKIT_PROVIDER_EMULATED_H
#define VARKIT_PROVIDER_EMULATED_H

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>

#include "provider/backend.h"

namespace varkit::mib {

struct EmuNode;
struct LastNode;

class EmulatedTree final : public Backend {
 public:
  EmulatedTree();
  ~EmulatedTree() override;
  EmulatedTree(const EmulatedTree &) = delete;
  EmulatedTree &operator=(const EmulatedTree &) = delete;

  // The process's emulated tree; never destroyed.
  static EmulatedTree &get() noexcept;

  const char *kind() const noexcept override { return "emulated"; }
  int call(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp,
           const void *newp, size_t newlen) noexcept override;
  int nametomib(std::string_view name, int *mibp,
                size_t *sizep) noexcept override;

  // Adds the node `name` at `oid`, creating missing ancestors as interior
  // nodes named after the prefixes of `name`.  Adding at the OID of such an
  // automatically created node with the same name gives it the kind, format,
  // value and description.  Returns "" or why the node was refused; the tree
  // is unchanged on refusal.
  std::string add(std::string_view name, std::span<const int> oid,
                  uint32_t kind, std::string_view fmt,
                  std::optional<std::string_view> value,
                  std::optional<std::string_view> description);
  // Replaces a node's value; false if no node has that OID.
  bool set(std::span<const int> oid, std::string_view value);
  // Copies out a node's value (nullopt for a node without one); false if no
  // node has that OID.
  bool get(std::span<const int> oid, std::optional<std::string> *value) const;
  // Removes a node and its subtree; false if no node has that OID.
  bool remove(std::span<const int> oid);
  // Removes every node.
  void clear() noexcept;

 private:
  int query(int q, const int *target, size_t n, void *oldp, size_t *oldlenp,
            const void *newp, size_t newlen) const noexcept;
  int resolve(std::string_view name, int *oid, size_t *len) const noexcept;
  // The node at oid/n (root_ for n == 0), nullptr if none; `last` is the
  // calling thread's record of the node it found last, which it starts from
  // and updates.  Called under the lock, shared or not.
  const EmuNode *lookup(LastNode &last, const int *oid,
                        size_t n) const noexcept;
  // The first variable of a walk after the node at oid/n, when that is the
  // node in `last`; nullptr if it is not (the caller then searches from the
  // root).  *none is set when there is no such variable.
  const EmuNode *next_after_last(const LastNode &last, const int *oid, size_t n,
                                 bool skipping, bool *none) const noexcept;
  // Marks every remembered node stale; called under the exclusive lock by
  // each change to the tree's shape.
  void changed() noexcept;

  mutable std::shared_mutex mu_;
  std::unique_ptr<EmuNode> root_;
  // Unique to this tree and its current shape (numbers come from one counter
  // shared by every tree); guarded by mu_.
  uint64_t shape_;
};

}  // namespace varkit::mib

#endif
