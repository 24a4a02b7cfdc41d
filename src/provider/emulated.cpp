#include "provider/emulated.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <map>
#include <mutex>

#include "kernel_mib/kernel_mib.h"

namespace varkit::mib {

using kmib::CTL_MAXNAME;

struct EmuNode {
  int id = 0;
  std::string name;
  uint32_t kind = kmib::CTLTYPE_NODE | kmib::CTLFLAG_RD;
  std::string fmt = "N";
  std::string value;
  std::string description;
  bool has_value = false;
  bool has_description = false;
  // Created as the ancestor of an added node, not added itself.
  bool automatic = false;
  EmuNode *parent = nullptr;
  std::map<int, std::unique_ptr<EmuNode>> children;
  std::map<std::string, EmuNode *, std::less<>> by_name;
  // Variables in this subtree, this node included: all of them, and those a
  // skipping walk reaches.  kids_* are the sums over the children.
  size_t all = 0;
  size_t shown = 0;
  size_t kids_all = 0;
  size_t kids_shown = 0;

  uint32_t type() const noexcept { return kind & kmib::CTLTYPE; }
  bool is_node() const noexcept { return type() == kmib::CTLTYPE_NODE; }
  // Leaves are variables; a node is one when it was given a value (it then
  // behaves like a node with a handler).
  bool is_variable() const noexcept { return !is_node() || has_value; }
  bool skipped() const noexcept { return (kind & kmib::CTLFLAG_SKIP) != 0; }
  size_t count(bool skipping) const noexcept { return skipping ? shown : all; }
};

namespace {

// The node at oid/n below root; root itself for n == 0; nullptr if none.
EmuNode *find(EmuNode *root, const int *oid, size_t n) noexcept {
  EmuNode *node = root;
  for (size_t i = 0; i < n; ++i) {
    auto it = node->children.find(oid[i]);
    if (it == node->children.end()) {
      return nullptr;
    }
    node = it->second.get();
  }
  return node;
}

// Recomputes the variable counts of a node whose kind, value or children
// changed, and carries the change up to the root.  O(depth).
void refresh(EmuNode *node) noexcept {
  while (node != nullptr) {
    size_t self = node->is_variable() ? 1 : 0;
    size_t all = self + node->kids_all;
    size_t shown = node->skipped() ? 0 : self + node->kids_shown;
    if (all == node->all && shown == node->shown) {
      break;
    }
    EmuNode *parent = node->parent;
    if (parent != nullptr) {
      // Unsigned arithmetic wraps, so a decrease works out too.
      parent->kids_all += all - node->all;
      parent->kids_shown += shown - node->shown;
    }
    node->all = all;
    node->shown = shown;
    node = parent;
  }
}

using Children = std::map<int, std::unique_ptr<EmuNode>>;

// The first variable of a walk in node's subtree, node included.
const EmuNode *first_in(const EmuNode *node, bool skipping) noexcept {
  if (node->count(skipping) == 0) {
    return nullptr;
  }
  while (!node->is_variable()) {
    const EmuNode *next = nullptr;
    for (const auto &kid : node->children) {
      if (kid.second->count(skipping) > 0) {
        next = kid.second.get();
        break;
      }
    }
    if (next == nullptr) {
      return nullptr;  // counts out of step: cannot happen
    }
    node = next;
  }
  return node;
}

const EmuNode *first_from(Children::const_iterator it,
                          Children::const_iterator end,
                          bool skipping) noexcept {
  for (; it != end; ++it) {
    if (const EmuNode *v = first_in(it->second.get(), skipping)) {
      return v;
    }
  }
  return nullptr;
}

// The first variable of a walk strictly after node + target (a position
// relative to node that need not exist), looking only below node.
const EmuNode *next_after(const EmuNode *node, const int *target, size_t n,
                          bool skipping) noexcept {
  const Children &kids = node->children;
  if (n == 0) {
    return first_from(kids.begin(), kids.end(), skipping);
  }
  auto it = kids.lower_bound(target[0]);
  if (it != kids.end() && it->first == target[0]) {
    const EmuNode *kid = it->second.get();
    if (kid->count(skipping) > 0) {
      if (const EmuNode *v = next_after(kid, target + 1, n - 1, skipping)) {
        return v;
      }
    }
    ++it;
  }
  return first_from(it, kids.end(), skipping);
}

// The dotted name of target; components that name nothing are printed as
// their numbers.
void put_name(const EmuNode *root, const int *target, size_t n,
              Reply &reply) noexcept {
  const EmuNode *node = root;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      reply.put(".", 1);
    }
    if (node != nullptr) {
      auto it = node->children.find(target[i]);
      node = it != node->children.end() ? it->second.get() : nullptr;
    }
    if (node != nullptr) {
      reply.put(node->name);
    } else {
      char digits[16];
      auto res = std::to_chars(digits, digits + sizeof digits, target[i]);
      reply.put(digits, static_cast<size_t>(res.ptr - digits));
    }
  }
  reply.put_nul();
}

// The OID of node into oid; returns its length.
size_t oid_of(const EmuNode *node, int (&oid)[CTL_MAXNAME]) noexcept {
  int rev[CTL_MAXNAME];
  size_t k = 0;
  for (; node->parent != nullptr && k < CTL_MAXNAME; node = node->parent) {
    rev[k++] = node->id;
  }
  for (size_t i = 0; i < k; ++i) {
    oid[i] = rev[k - 1 - i];
  }
  return k;
}

// The dotted name of a node found in the tree.
void put_name_of(const EmuNode *node, Reply &reply) noexcept {
  const EmuNode *chain[CTL_MAXNAME];
  size_t k = 0;
  for (; node->parent != nullptr && k < CTL_MAXNAME; node = node->parent) {
    chain[k++] = node;
  }
  for (size_t i = k; i-- > 0;) {
    reply.put(chain[i]->name);
    if (i > 0) {
      reply.put(".", 1);
    }
  }
  reply.put_nul();
}

}  // namespace

// The node a thread found last, by OID.  `shape` names the tree and its
// shape when the node was found (0: nothing remembered); a node is only
// trusted while its tree still has that shape.
struct LastNode {
  uint64_t shape = 0;
  size_t n = 0;
  int oid[CTL_MAXNAME];
  const EmuNode *node = nullptr;
};

namespace {

// Each thread's record; a call fetches it once and hands it down.
thread_local LastNode t_last;

// Source of the trees' shape numbers.
std::atomic<uint64_t> g_shapes{0};

void remember(LastNode &last, uint64_t shape, const int *oid, size_t n,
              const EmuNode *node) noexcept {
  last.shape = shape;
  last.n = n;
  std::copy(oid, oid + n, last.oid);
  last.node = node;
}

int read_value(const EmuNode &node, void *oldp, size_t *oldlenp) noexcept {
  Reply reply(oldp, oldlenp);
  reply.put(node.value);
  if (node.type() == kmib::CTLTYPE_STRING) {
    reply.put_nul();
  }
  return reply.finish();
}

// The size of one element of a numeric type; 0 for other types.
size_t element_size(uint32_t type) noexcept {
  switch (type) {
    case kmib::CTLTYPE_INT:
    case kmib::CTLTYPE_UINT:
      return 4;
    case kmib::CTLTYPE_LONG:
    case kmib::CTLTYPE_ULONG:
    case kmib::CTLTYPE_S64:
    case kmib::CTLTYPE_U64:
      return 8;
    default:
      return 0;
  }
}

}  // namespace

EmulatedTree::EmulatedTree()
    : root_(std::make_unique<EmuNode>()), shape_(++g_shapes) {}

void EmulatedTree::changed() noexcept { shape_ = ++g_shapes; }

const EmuNode *EmulatedTree::lookup(LastNode &last, const int *oid,
                                    size_t n) const noexcept {
  EmuNode *from = root_.get();
  size_t common = 0;
  if (last.shape == shape_) {
    // Start from the deepest node that this OID shares with the last one
    // (a variable read after its sibling shares its parent).
    const size_t limit = std::min(n, last.n);
    while (common < limit && oid[common] == last.oid[common]) {
      ++common;
    }
    if (common == n && n == last.n) {
      return last.node;
    }
    const EmuNode *shared = last.node;
    for (size_t depth = last.n; depth > common; --depth) {
      shared = shared->parent;
    }
    from = const_cast<EmuNode *>(shared);
  }
  const EmuNode *node = find(from, oid + common, n - common);
  if (node != nullptr && n <= static_cast<size_t>(CTL_MAXNAME)) {
    remember(last, shape_, oid, n, node);
  }
  return node;
}

const EmuNode *EmulatedTree::next_after_last(const LastNode &last,
                                             const int *oid, size_t n,
                                             bool skipping,
                                             bool *none) const noexcept {
  if (n == 0 || last.shape != shape_ || last.n != n ||
      !std::equal(oid, oid + n, last.oid)) {
    return nullptr;
  }
  // The path from the root: path[0] is the root, path[n] the node.
  const EmuNode *path[CTL_MAXNAME + 1];
  path[n] = last.node;
  for (size_t i = n; i > 0; --i) {
    path[i - 1] = path[i]->parent;
  }
  // What next_after() does from the root: it descends along the path while
  // the nodes on it hold something to list, then takes the first variable
  // after the deepest node reached, level by level back up.
  size_t level = 1;
  while (level <= n && path[level]->count(skipping) > 0) {
    ++level;
  }
  if (level > n) {
    const Children &kids = last.node->children;
    if (const EmuNode *v = first_from(kids.begin(), kids.end(), skipping)) {
      return v;
    }
    level = n;
  }
  for (; level > 0; --level) {
    const Children &kids = path[level - 1]->children;
    auto it = kids.upper_bound(path[level]->id);
    if (const EmuNode *v = first_from(it, kids.end(), skipping)) {
      return v;
    }
  }
  *none = true;
  return nullptr;
}

EmulatedTree::~EmulatedTree() = default;

EmulatedTree &EmulatedTree::get() noexcept {
  static EmulatedTree *tree = new EmulatedTree;
  return *tree;
}

int EmulatedTree::call(const int *name, unsigned int namelen, void *oldp,
                       size_t *oldlenp, const void *newp,
                       size_t newlen) noexcept {
  if (name[0] == kmib::CTL_SYSCTL) {
    std::shared_lock lock(mu_);
    return query(name[1], name + 2, namelen - 2, oldp, oldlenp, newp, newlen);
  }
  if (newp == nullptr) {
    std::shared_lock lock(mu_);
    const EmuNode *node = lookup(t_last, name, namelen);
    if (node == nullptr) {
      return ENOENT;
    }
    if (!node->is_variable()) {
      return EISDIR;
    }
    return read_value(*node, oldp, oldlenp);
  }
  std::unique_lock lock(mu_);
  EmuNode *node = find(root_.get(), name, namelen);
  if (node == nullptr) {
    return ENOENT;
  }
  if (!node->is_variable()) {
    return EISDIR;
  }
  if ((node->kind & kmib::CTLFLAG_WR) == 0) {
    return EPERM;
  }
  // Like the kernel: the old value goes out first, then the new comes in.
  if (int err = read_value(*node, oldp, oldlenp)) {
    return err;
  }
  if (newlen < element_size(node->type())) {
    return EINVAL;
  }
  try {
    node->value.assign(static_cast<const char *>(newp), newlen);
  } catch (...) {
    return ENOMEM;
  }
  node->has_value = true;
  return 0;
}

int EmulatedTree::query(int q, const int *target, size_t n, void *oldp,
                        size_t *oldlenp, const void *newp,
                        size_t newlen) const noexcept {
  // Only name-to-OID takes new bytes; the other queries are read-only.
  if (newp != nullptr && q != kmib::CTL_SYSCTL_NAME2OID) {
    return EPERM;
  }
  LastNode &last = t_last;
  Reply reply(oldp, oldlenp);
  switch (q) {
    case kmib::CTL_SYSCTL_NAME: {
      const EmuNode *node = n > 0 ? lookup(last, target, n) : nullptr;
      if (node != nullptr) {
        put_name_of(node, reply);
      } else {
        put_name(root_.get(), target, n, reply);
      }
      break;
    }
    case kmib::CTL_SYSCTL_NEXT:
    case kmib::CTL_SYSCTL_NEXTNOSKIP: {
      const bool skipping = q == kmib::CTL_SYSCTL_NEXT;
      bool none = false;
      const EmuNode *next = next_after_last(last, target, n, skipping, &none);
      if (next == nullptr && !none) {
        next = next_after(root_.get(), target, n, skipping);
      }
      if (next == nullptr) {
        return ENOENT;
      }
      int oid[CTL_MAXNAME];
      const size_t len = oid_of(next, oid);
      reply.put(oid, len * sizeof(int));
      remember(last, shape_, oid, len, next);
      break;
    }
    case kmib::CTL_SYSCTL_NAME2OID: {
      if (newp == nullptr) {
        return ENOENT;
      }
      std::string_view name(static_cast<const char *>(newp), newlen);
      name = name.substr(0, name.find('\0'));
      int oid[CTL_MAXNAME];
      size_t len = 0;
      if (int err = resolve(name, oid, &len)) {
        return err;
      }
      reply.put(oid, len * sizeof(int));
      break;
    }
    case kmib::CTL_SYSCTL_OIDFMT: {
      const EmuNode *node = lookup(last, target, n);
      if (node == nullptr || n == 0) {
        return ENOENT;
      }
      uint32_t kind = node->kind;
      reply.put(&kind, sizeof kind);
      reply.put(node->fmt.empty() && node->is_node() ? "N" : node->fmt);
      reply.put_nul();
      break;
    }
    case kmib::CTL_SYSCTL_OIDDESCR: {
      const EmuNode *node = find(root_.get(), target, n);
      if (node == nullptr || n == 0 || !node->has_description) {
        return ENOENT;
      }
      reply.put(node->description);
      reply.put_nul();
      break;
    }
    default:
      // Query numbers this MIB does not serve name nothing.
      return ENOENT;
  }
  return reply.finish();
}

int EmulatedTree::resolve(std::string_view name, int *oid,
                          size_t *len) const noexcept {
  const EmuNode *node = root_.get();
  size_t k = 0;
  for (;;) {
    size_t dot = name.find('.');
    std::string_view part = name.substr(0, dot);
    if (part.empty() || k == CTL_MAXNAME) {
      return ENOENT;
    }
    auto it = node->by_name.find(part);
    if (it == node->by_name.end()) {
      return ENOENT;
    }
    node = it->second;
    oid[k++] = node->id;
    if (dot == std::string_view::npos) {
      break;
    }
    name.remove_prefix(dot + 1);
  }
  *len = k;
  return 0;
}

int EmulatedTree::nametomib(std::string_view name, int *mibp,
                            size_t *sizep) noexcept {
  int oid[CTL_MAXNAME];
  size_t len = 0;
  {
    std::shared_lock lock(mu_);
    if (int err = resolve(name, oid, &len)) {
      return err;
    }
  }
  return deliver_mib(oid, len, mibp, sizep);
}

std::string EmulatedTree::add(std::string_view name, std::span<const int> oid,
                              uint32_t kind, std::string_view fmt,
                              std::optional<std::string_view> value,
                              std::optional<std::string_view> description) {
  if (oid.empty() || oid.size() > static_cast<size_t>(CTL_MAXNAME)) {
    return "an OID has 1 to 24 components";
  }
  if (oid[0] == kmib::CTL_SYSCTL) {
    return "OIDs starting with 0 are the kernel's internal queries";
  }
  if (name.find('\0') != std::string_view::npos) {
    return "a name cannot hold a NUL character";
  }
  std::string_view parts[CTL_MAXNAME];
  size_t k = 0;
  for (std::string_view rest = name;;) {
    if (k == oid.size()) {
      return "the name has more components than the OID";
    }
    size_t dot = rest.find('.');
    parts[k] = rest.substr(0, dot);
    if (parts[k].empty()) {
      return "the name has an empty component";
    }
    ++k;
    if (dot == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(dot + 1);
  }
  if (k != oid.size()) {
    return "the name has fewer components than the OID";
  }
  bool is_node = (kind & kmib::CTLTYPE) == kmib::CTLTYPE_NODE;
  auto fill = [&](EmuNode &node) {
    node.kind = kind;
    node.fmt = fmt;
    node.has_value = value.has_value();
    node.value = value.value_or(std::string_view());
    node.has_description = description.has_value();
    node.description = description.value_or(std::string_view());
    node.automatic = false;
  };

  std::unique_lock lock(mu_);
  changed();
  EmuNode *parent = root_.get();
  size_t i = 0;
  for (; i + 1 < oid.size(); ++i) {
    auto it = parent->children.find(oid[i]);
    if (it == parent->children.end()) {
      break;
    }
    EmuNode *node = it->second.get();
    if (node->name != parts[i]) {
      return "component " + std::to_string(i + 1) + " of the OID is named '" +
             node->name + "', not '" + std::string(parts[i]) + "'";
    }
    if (!node->is_node()) {
      return "'" + node->name + "' is not a node";
    }
    parent = node;
  }
  if (i + 1 == oid.size()) {
    auto it = parent->children.find(oid[i]);
    if (it != parent->children.end()) {
      EmuNode *node = it->second.get();
      if (!node->automatic || node->name != parts[i]) {
        return "the OID is taken by '" + node->name + "'";
      }
      if (!is_node && !node->children.empty()) {
        return "a node with children must be of type node";
      }
      fill(*node);
      refresh(node);
      return {};
    }
  }
  if (parent->by_name.find(parts[i]) != parent->by_name.end()) {
    return "the name '" + std::string(parts[i]) + "' is taken by another OID";
  }
  // Build the missing nodes off the tree, then hang them in with one
  // insertion, so a failure on the way leaves the tree as it was.
  auto top = std::make_unique<EmuNode>();
  EmuNode *last = top.get();
  last->id = oid[i];
  last->name = parts[i];
  for (size_t j = i + 1; j < oid.size(); ++j) {
    last->automatic = true;
    auto kid = std::make_unique<EmuNode>();
    kid->id = oid[j];
    kid->name = parts[j];
    kid->parent = last;
    EmuNode *next = kid.get();
    last->by_name.emplace(kid->name, next);
    last->children.emplace(oid[j], std::move(kid));
    last = next;
  }
  fill(*last);
  EmuNode *top_ptr = top.get();
  top->parent = parent;
  auto pos = parent->children.emplace(oid[i], std::move(top)).first;
  try {
    parent->by_name.emplace(top_ptr->name, top_ptr);
  } catch (...) {
    parent->children.erase(pos);
    throw;
  }
  refresh(last);
  return {};
}

bool EmulatedTree::set(std::span<const int> oid, std::string_view value) {
  std::unique_lock lock(mu_);
  changed();
  EmuNode *node = find(root_.get(), oid.data(), oid.size());
  if (node == nullptr || oid.empty()) {
    return false;
  }
  node->value = value;
  node->has_value = true;
  refresh(node);
  return true;
}

bool EmulatedTree::get(std::span<const int> oid,
                       std::optional<std::string> *value) const {
  std::shared_lock lock(mu_);
  const EmuNode *node = find(root_.get(), oid.data(), oid.size());
  if (node == nullptr || oid.empty()) {
    return false;
  }
  if (node->has_value) {
    *value = node->value;
  } else {
    value->reset();
  }
  return true;
}

bool EmulatedTree::remove(std::span<const int> oid) {
  std::unique_lock lock(mu_);
  changed();
  EmuNode *node = find(root_.get(), oid.data(), oid.size());
  if (node == nullptr || oid.empty()) {
    return false;
  }
  EmuNode *parent = node->parent;
  parent->kids_all -= node->all;
  parent->kids_shown -= node->shown;
  int id = node->id;
  parent->by_name.erase(node->name);
  parent->children.erase(id);  // frees node and its subtree
  refresh(parent);
  return true;
}

void EmulatedTree::clear() noexcept {
  std::unique_lock lock(mu_);
  changed();
  root_->by_name.clear();
  root_->children.clear();
  root_->all = root_->shown = root_->kids_all = root_->kids_shown = 0;
}

}  // namespace varkit::mib
