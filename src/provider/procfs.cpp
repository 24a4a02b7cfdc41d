#include "provider/procfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "kernel_mib/kernel_mib.h"

namespace varkit::mib {

using kmib::CTL_MAXNAME;

namespace {

// What is known of a file's mode: nothing yet, or whether its owner may
// read and write it.
constexpr uint8_t kModeUnknown = 0;
constexpr uint8_t kModeKnown = 1;
constexpr uint8_t kOwnerReads = 2;
constexpr uint8_t kOwnerWrites = 4;

// Numbers the top level takes: the old Linux numbers for the folders that
// had one, then from 100 up for everything else.
constexpr int kFirstOtherTop = 100;

int fixed_top_id(std::string_view name) noexcept {
  static constexpr std::pair<std::string_view, int> kTop[] = {
      {"kernel", 1}, {"vm", 2},  {"net", 3}, {"fs", 5},
      {"debug", 6},  {"dev", 7}, {"abi", 9},
  };
  for (const auto &[n, id] : kTop) {
    if (n == name) {
      return id;
    }
  }
  return 0;
}

}  // namespace

// The descriptor of the root folder; closed when the last call using it
// lets go of it.
struct RootDir {
  explicit RootDir(int f) noexcept : fd(f) {}
  RootDir(const RootDir &) = delete;
  RootDir &operator=(const RootDir &) = delete;
  ~RootDir() { ::close(fd); }
  const int fd;
};

struct ProcNode {
  // Set at creation, never changed: readable without the lock.
  std::string name;  // as on disk
  std::string rel;   // the path below the root: on-disk names joined by '/'
  int id = 0;
  int depth = 0;  // components in the OID
  ProcNode *parent = nullptr;

  // Guarded by the tree's lock.
  bool is_dir = false;
  bool present = true;  // found by the folder's last listing
  bool listed = false;  // folders: listed at least once
  bool seen = false;    // scratch of a listing
  int next_id = 1;      // folders: the number the next new entry takes
  std::map<int, std::unique_ptr<ProcNode>> kids;
  std::map<std::string, ProcNode *, std::less<>> by_name;

  // Files: the kind bits learnt at the first read (0 until then) -- the
  // type, with CTLFLAG_SKIP when the owner may not read the file or that
  // read failed -- and the mode.
  std::atomic<uint32_t> learnt{0};
  std::atomic<uint8_t> mode{kModeUnknown};
};

// The folders listed during one call, so that a call lists each at most
// once.  Past its capacity it counts every listed folder as fresh.
class FolderSet {
 public:
  bool has(const ProcNode *p) const noexcept {
    return n_ == kCap || std::find(p_, p_ + n_, p) != p_ + n_;
  }
  void add(const ProcNode *p) noexcept {
    if (!has(p)) {
      p_[n_++] = p;
    }
  }

 private:
  static constexpr size_t kCap = 64;
  const ProcNode *p_[kCap];  // [0, n_) in use
  size_t n_ = 0;
};

namespace {

using Kids = std::map<int, std::unique_ptr<ProcNode>>;

// ---- opening files below the root --------------------------------------

std::atomic<bool> g_openat2{true};

// The errors that say an entry is no longer where its listing found it.
bool vanished(int err) noexcept {
  return err == ENOENT || err == ENOTDIR || err == ELOOP;
}

// Opens rel below the folder dirfd one component at a time, never following
// a symbolic link.  The components come from listings: never "." or "..".
int open_stepwise(int dirfd, const char *rel, int flags) noexcept {
  int dir = dirfd;
  int owned = -1;
  const char *p = rel;
  for (const char *slash; (slash = std::strchr(p, '/')) != nullptr;
       p = slash + 1) {
    char comp[NAME_MAX + 1];
    size_t len = static_cast<size_t>(slash - p);
    int fd = -1;
    int err = ENOENT;
    if (len > 0 && len <= NAME_MAX) {
      std::memcpy(comp, p, len);
      comp[len] = '\0';
      fd = ::openat(dir, comp, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      err = errno;
    }
    if (owned >= 0) {
      ::close(owned);
    }
    if (fd < 0) {
      errno = err;
      return -1;
    }
    dir = owned = fd;
  }
  int fd = ::openat(dir, p, flags | O_NOFOLLOW | O_CLOEXEC);
  int err = errno;
  if (owned >= 0) {
    ::close(owned);
  }
  errno = err;
  return fd;
}

// Opens rel below the root folder rootfd; -1 with errno set on failure.
// Whatever the path meets (a symbolic link, a rename), the kernel never
// resolves it to anything outside the root.
int open_beneath(int rootfd, const char *rel, int flags) noexcept {
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
  if (g_openat2.load(std::memory_order_relaxed)) {
    open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
      long fd = ::syscall(SYS_openat2, rootfd, rel, &how, sizeof how);
      if (fd >= 0) {
        return static_cast<int>(fd);
      }
      // EAGAIN: a rename elsewhere raced the lookup; worth a few retries.
      if (errno == EAGAIN && attempt < 8) {
        continue;
      }
      if (errno != ENOSYS) {
        return -1;
      }
      g_openat2.store(false, std::memory_order_relaxed);
      break;
    }
  }
#endif
  return open_stepwise(rootfd, rel, flags);
}

// Whether rel still names a file or folder below the root (a path handle
// opened with O_NOFOLLOW may be one of a symbolic link: that is none).
bool exists(int rootfd, const char *rel) noexcept {
  int fd = open_beneath(rootfd, rel, O_PATH);
  if (fd < 0) {
    return !vanished(errno);
  }
  struct stat st;
  bool link = ::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode);
  ::close(fd);
  return !link;
}

// Reads what the file at fd holds into buf[0, *len).  Files under /proc/sys
// report size 0, so the buffer grows while reads fill it; a read that comes
// back short is the end of the file.  Returns 0 or an errno value.
constexpr size_t kFirstRead = 4096;
constexpr size_t kMaxFile = size_t{64} << 20;

int slurp(int fd, std::string &buf, size_t *len) noexcept {
  try {
    if (buf.size() < kFirstRead) {
      buf.resize(kFirstRead);
    }
    size_t used = 0;
    for (;;) {
      ssize_t n = ::read(fd, buf.data() + used, buf.size() - used);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        return errno;
      }
      used += static_cast<size_t>(n);
      if (n == 0 || used < buf.size()) {
        break;
      }
      if (buf.size() >= kMaxFile) {
        return EFBIG;
      }
      buf.resize(buf.size() * 2);
    }
    *len = used;
    return 0;
  } catch (...) {
    return ENOMEM;
  }
}

// ---- types and values ---------------------------------------------------

bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
         c == '\f';
}

// Calls f(negative, magnitude) for each whitespace-separated token of s.
// False as soon as a token is not a decimal integer whose magnitude fits in
// 64 bits, or f returns false.
template <class F>
bool scan_ints(std::string_view s, F &&f) {
  size_t i = 0;
  const size_t n = s.size();
  for (;;) {
    while (i < n && is_space(s[i])) {
      ++i;
    }
    if (i == n) {
      return true;
    }
    bool neg = s[i] == '-';
    if (neg) {
      ++i;
    }
    const size_t start = i;
    uint64_t mag = 0;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
      unsigned d = static_cast<unsigned>(s[i] - '0');
      if (mag > (UINT64_MAX - d) / 10) {
        return false;
      }
      mag = mag * 10 + d;
    }
    if (i == start || (i < n && !is_space(s[i])) || !f(neg, mag)) {
      return false;
    }
  }
}

constexpr uint64_t kI32Max = INT32_MAX;
constexpr uint64_t kI64Max = INT64_MAX;

// The type of a file's content: the narrowest of int, long and unsigned
// long that holds every integer in it, or string.
uint32_t classify(std::string_view s) noexcept {
  size_t count = 0;
  bool i32 = true, i64 = true, u64 = true;
  bool numbers = scan_ints(s, [&](bool neg, uint64_t mag) {
    ++count;
    if (neg && mag != 0) {
      u64 = false;
      i32 = i32 && mag <= kI32Max + 1;
      i64 = i64 && mag <= kI64Max + 1;
    } else {
      i32 = i32 && mag <= kI32Max;
      i64 = i64 && mag <= kI64Max;
    }
    return i64 || u64;
  });
  if (!numbers || count == 0) {
    return kmib::CTLTYPE_STRING;
  }
  return i32   ? kmib::CTLTYPE_INT
         : i64 ? kmib::CTLTYPE_LONG
               : kmib::CTLTYPE_ULONG;
}

const char *type_format(uint32_t type) noexcept {
  switch (type) {
    case kmib::CTLTYPE_INT:
      return "I";
    case kmib::CTLTYPE_LONG:
      return "L";
    case kmib::CTLTYPE_ULONG:
      return "LU";
    default:
      return "A";
  }
}

size_t element_size(uint32_t type) noexcept {
  return type == kmib::CTLTYPE_INT ? 4 : 8;
}

template <class T>
void append_raw(std::string &out, T v) {
  out.append(reinterpret_cast<const char *>(&v), sizeof v);
}

// The reply for a file holding s: its integers as host-order elements of
// `type`, or for a string the text without its final newline and with a
// NUL.  False if s no longer parses as `type`.
bool encode(std::string_view s, uint32_t type, std::string &out) {
  out.clear();
  if (type == kmib::CTLTYPE_STRING) {
    if (!s.empty() && s.back() == '\n') {
      s.remove_suffix(1);
    }
    out.append(s);
    out.push_back('\0');
    return true;
  }
  size_t count = 0;
  bool ok = scan_ints(s, [&](bool neg, uint64_t mag) {
    ++count;
    switch (type) {
      case kmib::CTLTYPE_INT:
        if (mag > kI32Max + (neg ? 1 : 0)) {
          return false;
        }
        append_raw(out, static_cast<int32_t>(neg ? -static_cast<int64_t>(mag)
                                                 : static_cast<int64_t>(mag)));
        return true;
      case kmib::CTLTYPE_LONG:
        if (mag > kI64Max + (neg ? 1 : 0)) {
          return false;
        }
        append_raw(out, static_cast<int64_t>(neg ? 0 - mag : mag));
        return true;
      default:  // CTLTYPE_ULONG
        if (neg && mag != 0) {
          return false;
        }
        append_raw(out, mag);
        return true;
    }
  });
  return ok && count > 0;
}

// The text written for new bytes of `type`: decimal elements separated by
// a space, or a string's bytes as given.  0 or EINVAL.
int new_text(uint32_t type, const void *newp, size_t newlen,
             std::string &text) {
  text.clear();
  const char *p = static_cast<const char *>(newp);
  if (type == kmib::CTLTYPE_STRING) {
    text.assign(p, newlen);
    return 0;
  }
  const size_t elem = element_size(type);
  if (newlen < elem || newlen % elem != 0) {
    return EINVAL;
  }
  for (size_t off = 0; off < newlen; off += elem) {
    char digits[24];
    std::to_chars_result r;
    if (type == kmib::CTLTYPE_INT) {
      int32_t v;
      std::memcpy(&v, p + off, sizeof v);
      r = std::to_chars(digits, digits + sizeof digits, v);
    } else if (type == kmib::CTLTYPE_LONG) {
      int64_t v;
      std::memcpy(&v, p + off, sizeof v);
      r = std::to_chars(digits, digits + sizeof digits, v);
    } else {
      uint64_t v;
      std::memcpy(&v, p + off, sizeof v);
      r = std::to_chars(digits, digits + sizeof digits, v);
    }
    if (off > 0) {
      text.push_back(' ');
    }
    text.append(digits, static_cast<size_t>(r.ptr - digits));
  }
  return 0;
}

// Names the Python side can decode: listings pass over the others.
bool valid_utf8(std::string_view s) noexcept {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t more;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= more) {
      return false;
    }
    for (size_t k = 1; k <= more; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (more == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += more + 1;
  }
  return true;
}

// Puts a name the way it is shown: dots inside it become slashes.
void put_shown(std::string_view name, Reply &reply) noexcept {
  for (;;) {
    size_t dot = name.find('.');
    reply.put(name.substr(0, dot));
    if (dot == std::string_view::npos) {
      return;
    }
    reply.put("/", 1);
    name.remove_prefix(dot + 1);
  }
}

size_t oid_of(const ProcNode *node, int (&oid)[CTL_MAXNAME]) noexcept {
  size_t k = CTL_MAXNAME;
  for (; node->parent != nullptr && k > 0; node = node->parent) {
    oid[--k] = node->id;
  }
  size_t len = CTL_MAXNAME - k;
  std::memmove(oid, oid + k, len * sizeof(int));
  return len;
}

// The walk: the first file after a position, in OID order, entering
// folders as it goes.  A folder entered must have been listed during this
// call; when one has not, the walk stops and names it in *need.  A skipping
// walk passes over files that carry CTLFLAG_SKIP; when it meets a file not
// read yet, it stops and names it in *unread.
struct Walker {
  FolderSet &fresh;
  ProcNode **need;
  bool skipping;
  ProcNode **unread;

  bool stopped() const { return *need != nullptr || *unread != nullptr; }

  const ProcNode *enter(ProcNode *dir) {
    if (!dir->listed || !fresh.has(dir)) {
      *need = dir;
      return nullptr;
    }
    return from(dir, dir->kids.begin());
  }

  const ProcNode *from(ProcNode *dir, Kids::iterator it) {
    for (; it != dir->kids.end(); ++it) {
      ProcNode *kid = it->second.get();
      if (!kid->present) {
        continue;
      }
      if (!kid->is_dir) {
        if (!skipping) {
          return kid;
        }
        uint32_t learnt = kid->learnt.load(std::memory_order_acquire);
        if (learnt == 0) {
          *unread = kid;
          return nullptr;
        }
        if ((learnt & kmib::CTLFLAG_SKIP) == 0) {
          return kid;
        }
        continue;
      }
      const ProcNode *v = enter(kid);
      if (v != nullptr || stopped()) {
        return v;
      }
    }
    return nullptr;
  }

  const ProcNode *after(ProcNode *dir, const int *t, size_t n) {
    if (n == 0) {
      return enter(dir);
    }
    if (!dir->listed) {
      *need = dir;
      return nullptr;
    }
    auto it = dir->kids.lower_bound(t[0]);
    if (it != dir->kids.end() && it->first == t[0]) {
      ProcNode *kid = it->second.get();
      if (kid->present && kid->is_dir) {
        const ProcNode *v = after(kid, t + 1, n - 1);
        if (v != nullptr || stopped()) {
          return v;
        }
      }
      ++it;
    }
    return from(dir, it);
  }
};

// Per-thread scratch, and the one-shot slot: a probe leaves its reply in
// `out` with owner and node set; the next call of the thread consumes it.
struct ThreadSlot {
  std::string raw;
  std::string out;
  const ProcfsTree *owner = nullptr;
  const ProcNode *node = nullptr;
};

thread_local ThreadSlot t_slot;

// Keeps what the first read learnt: a type, with CTLFLAG_SKIP or not.
void note_learnt(ProcNode &node, uint32_t learnt) noexcept {
  uint32_t unknown = 0;
  node.learnt.compare_exchange_strong(unknown, learnt,
                                      std::memory_order_acq_rel);
}

void note_mode(ProcNode &node, mode_t mode) noexcept {
  node.mode.store(kModeKnown | ((mode & S_IRUSR) != 0 ? kOwnerReads : 0) |
                      ((mode & S_IWUSR) != 0 ? kOwnerWrites : 0),
                  std::memory_order_release);
}

// Reads a file and puts its reply in slot.out, learning its type, whether
// it is skipped, and its mode at the first read.  One open and one read.
// 0 or an errno value.
int fetch(ProcNode &node, int rootfd, ThreadSlot &slot) noexcept {
  // A file that cannot be read has no value to show: a string, skipped.
  constexpr uint32_t kUnreadable = kmib::CTLTYPE_STRING | kmib::CTLFLAG_SKIP;
  int fd = open_beneath(rootfd, node.rel.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    int err = errno;
    if (!vanished(err)) {
      note_learnt(node, kUnreadable);
    }
    return err;
  }
  uint32_t skip = 0;
  if (node.learnt.load(std::memory_order_acquire) == 0 ||
      node.mode.load(std::memory_order_acquire) == kModeUnknown) {
    struct stat st;
    if (::fstat(fd, &st) == 0) {
      note_mode(node, st.st_mode);
      // Root reads what its owner may not: the mode tells, not the read.
      skip = (st.st_mode & S_IRUSR) == 0 ? kmib::CTLFLAG_SKIP : 0;
    }
  }
  size_t len = 0;
  int err = slurp(fd, slot.raw, &len);
  ::close(fd);
  if (err != 0) {
    if (!vanished(err)) {
      note_learnt(node, kUnreadable);
    }
    return err;
  }
  std::string_view content(slot.raw.data(), len);
  uint32_t learnt = node.learnt.load(std::memory_order_acquire);
  if (learnt == 0) {
    note_learnt(node, classify(content) | skip);
    learnt = node.learnt.load(std::memory_order_acquire);
  }
  const uint32_t type = learnt & kmib::CTLTYPE;
  try {
    return encode(content, type, slot.out) ? 0 : EIO;
  } catch (...) {
    return ENOMEM;
  }
}

// Learns the kind bits and mode of a file for the format query.  A file
// that has vanished is reported as a string without keeping it.
void learn(ProcNode &node, int rootfd, uint32_t *learnt,
           uint8_t *mode) noexcept {
  if (node.learnt.load(std::memory_order_acquire) == 0) {
    fetch(node, rootfd, t_slot);
  }
  if (node.mode.load(std::memory_order_acquire) == kModeUnknown) {
    // Read refused (a write-only file): the mode comes from a path handle.
    int fd = open_beneath(rootfd, node.rel.c_str(), O_PATH);
    if (fd >= 0) {
      struct stat st;
      if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        note_mode(node, st.st_mode);
      }
      ::close(fd);
    }
  }
  *learnt = node.learnt.load(std::memory_order_acquire);
  if (*learnt == 0) {
    *learnt = kmib::CTLTYPE_STRING;
  }
  *mode = node.mode.load(std::memory_order_acquire);
}

}  // namespace

// ---- the tree ------------------------------------------------------------

ProcfsTree &ProcfsTree::for_root(const std::string &root) {
  static std::mutex mu;
  static auto *trees = new std::map<std::string, ProcfsTree *>;
  std::lock_guard lock(mu);
  auto it = trees->find(root);
  if (it != trees->end()) {
    return *it->second;
  }
  auto *tree = new ProcfsTree(root);
  try {
    trees->emplace(root, tree);
  } catch (...) {
    delete tree;
    throw;
  }
  return *tree;
}

ProcfsTree::ProcfsTree(std::string root)
    : root_path_(std::move(root)), top_(std::make_unique<ProcNode>()) {
  top_->is_dir = true;
  top_->next_id = kFirstOtherTop;
}

ProcfsTree::~ProcfsTree() = default;

bool ProcfsTree::use_openat2(bool on) noexcept {
  return g_openat2.exchange(on, std::memory_order_relaxed);
}

int ProcfsTree::attach() noexcept {
  int fd = ::open(root_path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  std::shared_ptr<RootDir> dir;
  try {
    dir = std::make_shared<RootDir>(fd);
  } catch (...) {
    ::close(fd);
    return ENOMEM;
  }
  {
    std::unique_lock lock(mu_);
    dir.swap(root_dir_);
  }
  return 0;  // the previous descriptor, if any, goes with `dir`
}

void ProcfsTree::detach() noexcept {
  std::shared_ptr<RootDir> old;
  {
    std::unique_lock lock(mu_);
    old.swap(root_dir_);
  }
}

void ProcfsTree::forget() noexcept {
  t_slot.owner = nullptr;
  t_slot.node = nullptr;
}

template <class Pass>
int ProcfsTree::with_listing(FolderSet &fresh, Pass &&pass) noexcept {
  // Each round lists a folder never listed or not yet in `fresh`, so the
  // rounds are bounded; the cap only guards against folders that keep
  // changing kind under our feet.
  for (int round = 0; round < (1 << 16); ++round) {
    ProcNode *need = nullptr;
    int r;
    {
      std::shared_lock lock(mu_);
      r = pass(&need);
    }
    if (need == nullptr) {
      return r;
    }
    if (int err = list(need)) {
      return err;
    }
    fresh.add(need);
  }
  return EAGAIN;
}

int ProcfsTree::list(ProcNode *dir) noexcept {
  std::unique_lock lock(mu_);
  if (!root_dir_) {
    return ENOENT;
  }
  if (!dir->is_dir) {
    return 0;  // it turned into a file meanwhile
  }
  dir->listed = true;
  if (dir->depth >= CTL_MAXNAME) {
    return 0;  // nothing deeper has an OID
  }
  int fd = dir == top_.get() ? ::openat(root_dir_->fd, ".",
                                        O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                             : open_beneath(root_dir_->fd, dir->rel.c_str(),
                                            O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    // Gone, or no longer a folder: nothing in it is served.
    for (auto &kid : dir->kids) {
      kid.second->present = false;
    }
    return 0;
  }
  DIR *d = ::fdopendir(fd);
  if (d == nullptr) {
    int err = errno;
    ::close(fd);
    return err;
  }
  std::unique_ptr<DIR, int (*)(DIR *)> guard(d, ::closedir);
  try {
    for (auto &kid : dir->kids) {
      kid.second->seen = false;
    }
    std::vector<std::pair<std::string, bool>> added;
    while (dirent *e = ::readdir(d)) {
      std::string_view name(e->d_name);
      if (name == "." || name == ".." || !valid_utf8(name)) {
        continue;
      }
      unsigned char t = e->d_type;
      if (t == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
          continue;
        }
        t = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : 0;
      }
      if (t != DT_DIR && (t != DT_REG || dir == top_.get())) {
        // Links, devices, pipes and sockets are not served; nor are files
        // right under the root, whose one-component OIDs no call may name.
        continue;
      }
      bool is_dir = t == DT_DIR;
      auto it = dir->by_name.find(name);
      if (it == dir->by_name.end()) {
        added.emplace_back(std::string(name), is_dir);
        continue;
      }
      ProcNode *kid = it->second;
      kid->seen = true;
      if (kid->is_dir != is_dir) {
        // Same name, other kind: learn it afresh.
        kid->is_dir = is_dir;
        kid->listed = false;
        kid->learnt.store(0, std::memory_order_release);
        kid->mode.store(kModeUnknown, std::memory_order_release);
      }
    }
    for (auto &kid : dir->kids) {
      kid.second->present = kid.second->seen;
    }
    std::sort(added.begin(), added.end());
    for (auto &[name, is_dir] : added) {
      int id = dir == top_.get() ? fixed_top_id(name) : 0;
      if (id == 0) {
        if (dir->next_id == INT_MAX) {
          break;  // numbers exhausted: later entries are not served
        }
        id = dir->next_id++;
      }
      auto node = std::make_unique<ProcNode>();
      node->name = name;
      node->rel = dir == top_.get() ? name : dir->rel + "/" + name;
      node->id = id;
      node->depth = dir->depth + 1;
      node->parent = dir;
      node->is_dir = is_dir;
      node->seen = true;
      ProcNode *p = node.get();
      dir->kids.emplace(id, std::move(node));
      dir->by_name.emplace(p->name, p);
    }
  } catch (...) {
    return ENOMEM;
  }
  return 0;
}

int ProcfsTree::locate(const int *oid, size_t n, ProcNode **out, bool *is_dir,
                       std::shared_ptr<RootDir> *root) noexcept {
  FolderSet fresh;
  return with_listing(fresh, [&](ProcNode **need) -> int {
    if (!root_dir_) {
      return ENOENT;
    }
    ProcNode *node = top_.get();
    for (size_t i = 0; i < n; ++i) {
      if (!node->is_dir) {
        return ENOENT;
      }
      if (!node->listed) {
        *need = node;
        return 0;
      }
      auto it = node->kids.find(oid[i]);
      if (it == node->kids.end() || !it->second->present) {
        return ENOENT;
      }
      node = it->second.get();
    }
    *out = node;
    *is_dir = node->is_dir;
    *root = root_dir_;
    return 0;
  });
}

int ProcfsTree::resolve(std::string_view name, int *oid, size_t *len) noexcept {
  FolderSet relisted;
  for (int attempt = 0;; ++attempt) {
    ProcNode *node = nullptr;
    std::shared_ptr<RootDir> root;
    int err = with_listing(relisted, [&](ProcNode **need) -> int {
      if (!root_dir_) {
        return ENOENT;
      }
      ProcNode *dir = top_.get();
      size_t k = 0;
      for (std::string_view rest = name;;) {
        size_t dot = rest.find('.');
        std::string_view part = rest.substr(0, dot);
        if (part.empty() || part.size() > NAME_MAX || k == CTL_MAXNAME ||
            !dir->is_dir) {
          return ENOENT;
        }
        char disk[NAME_MAX];
        std::replace_copy(part.begin(), part.end(), disk, '/', '.');
        std::string_view on_disk(disk, part.size());
        if (on_disk == "." || on_disk == "..") {
          return ENOENT;
        }
        if (!dir->listed) {
          *need = dir;
          return 0;
        }
        auto it = dir->by_name.find(on_disk);
        if (it == dir->by_name.end() || !it->second->present) {
          if (!relisted.has(dir)) {
            *need = dir;  // a miss: list the folder again, then retry
            return 0;
          }
          return ENOENT;
        }
        dir = it->second;
        oid[k++] = dir->id;
        if (dot == std::string_view::npos) {
          break;
        }
        rest.remove_prefix(dot + 1);
      }
      node = dir;
      *len = k;
      root = root_dir_;
      return 0;
    });
    if (err != 0) {
      return err;
    }
    // A hit may name an entry that vanished after its folder was listed.
    if (exists(root->fd, node->rel.c_str())) {
      return 0;
    }
    if (attempt > 0) {
      return ENOENT;
    }
    ProcNode *chain[CTL_MAXNAME + 1];
    size_t c = 0;
    for (ProcNode *p = node->parent; p != nullptr && c <= CTL_MAXNAME;
         p = p->parent) {
      chain[c++] = p;
    }
    while (c-- > 0) {
      if (int e = list(chain[c])) {
        return e;
      }
      relisted.add(chain[c]);
    }
  }
}

int ProcfsTree::call(const int *name, unsigned int namelen, void *oldp,
                     size_t *oldlenp, const void *newp,
                     size_t newlen) noexcept {
  if (name[0] == kmib::CTL_SYSCTL) {
    forget();
    return query(name[1], name + 2, namelen - 2, oldp, oldlenp, newp, newlen);
  }
  if (newp == nullptr) {
    return read(name, namelen, oldp, oldlenp);
  }
  forget();
  return write(name, namelen, oldp, oldlenp, newp, newlen);
}

int ProcfsTree::nametomib(std::string_view name, int *mibp,
                          size_t *sizep) noexcept {
  forget();
  int oid[CTL_MAXNAME];
  size_t len = 0;
  if (int err = resolve(name, oid, &len)) {
    return err;
  }
  return deliver_mib(oid, len, mibp, sizep);
}

int ProcfsTree::query(int q, const int *target, size_t n, void *oldp,
                      size_t *oldlenp, const void *newp,
                      size_t newlen) noexcept {
  // Only name-to-OID takes new bytes; the other queries are read-only.
  if (newp != nullptr && q != kmib::CTL_SYSCTL_NAME2OID) {
    return EPERM;
  }
  Reply reply(oldp, oldlenp);
  switch (q) {
    case kmib::CTL_SYSCTL_NAME:
      return name_of(target, n, reply);
    case kmib::CTL_SYSCTL_NEXT:
    case kmib::CTL_SYSCTL_NEXTNOSKIP:
      return next(target, n, q == kmib::CTL_SYSCTL_NEXT, reply);
    case kmib::CTL_SYSCTL_NAME2OID: {
      if (newp == nullptr) {
        return ENOENT;
      }
      std::string_view text(static_cast<const char *>(newp), newlen);
      text = text.substr(0, text.find('\0'));
      int oid[CTL_MAXNAME];
      size_t len = 0;
      if (int err = resolve(text, oid, &len)) {
        return err;
      }
      reply.put(oid, len * sizeof(int));
      return reply.finish();
    }
    case kmib::CTL_SYSCTL_OIDFMT:
      return format(target, n, reply);
    case kmib::CTL_SYSCTL_OIDDESCR: {
      // Linux keeps no descriptions at run time: every node has the empty
      // one.
      ProcNode *node;
      bool is_dir;
      std::shared_ptr<RootDir> root;
      if (n == 0) {
        return ENOENT;
      }
      if (int err = locate(target, n, &node, &is_dir, &root)) {
        return err;
      }
      reply.put_nul();
      return reply.finish();
    }
    default:
      return ENOENT;  // query numbers this MIB does not serve name nothing
  }
}

int ProcfsTree::name_of(const int *target, size_t n, Reply &reply) noexcept {
  FolderSet fresh;
  return with_listing(fresh, [&](ProcNode **need) -> int {
    // First make sure every folder on the way has been listed ...
    const ProcNode *node = top_.get();
    for (size_t i = 0; i < n && node != nullptr && node->is_dir; ++i) {
      if (!node->listed) {
        if (!root_dir_) {
          break;
        }
        *need = const_cast<ProcNode *>(node);
        return 0;
      }
      auto it = node->kids.find(target[i]);
      node = it != node->kids.end() ? it->second.get() : nullptr;
    }
    // ... then print: components that name nothing as their numbers.
    node = top_.get();
    for (size_t i = 0; i < n; ++i) {
      if (i > 0) {
        reply.put(".", 1);
      }
      if (node != nullptr) {
        auto it = node->kids.find(target[i]);
        node = it != node->kids.end() ? it->second.get() : nullptr;
      }
      if (node != nullptr) {
        put_shown(node->name, reply);
      } else {
        char digits[16];
        auto r = std::to_chars(digits, digits + sizeof digits, target[i]);
        reply.put(digits, static_cast<size_t>(r.ptr - digits));
      }
    }
    reply.put_nul();
    return reply.finish();
  });
}

int ProcfsTree::next(const int *target, size_t n, bool skipping,
                     Reply &reply) noexcept {
  FolderSet fresh;
  int oid[CTL_MAXNAME];
  size_t len = 0;
  // Where the walk goes on from: the target, then each file a skipping
  // walk had to read on its way and found skipped.
  int at[CTL_MAXNAME];
  const int *pos = target;
  size_t pos_len = n;
  for (;;) {
    ProcNode *unread = nullptr;
    std::shared_ptr<RootDir> root;
    int err = with_listing(fresh, [&](ProcNode **need) -> int {
      unread = nullptr;
      if (!root_dir_) {
        return ENOENT;
      }
      ProcNode *top = top_.get();
      // A walk from a top-level OID is the start of a walk over the tree:
      // the top level is listed again, to see what appeared or vanished.
      if (pos_len <= 1 && (!top->listed || !fresh.has(top))) {
        *need = top;
        return 0;
      }
      Walker walker{fresh, need, skipping, &unread};
      const ProcNode *v = walker.after(top, pos, pos_len);
      if (*need != nullptr) {
        return 0;
      }
      if (unread != nullptr) {
        v = unread;
        root = root_dir_;
      } else if (v == nullptr) {
        return ENOENT;
      }
      len = oid_of(v, oid);
      return 0;
    });
    if (err != 0) {
      return err;
    }
    if (unread == nullptr) {
      break;
    }
    // A file met before its first read: that read, outside the lock, tells
    // whether it is skipped (the format query then finds it all learnt).
    // Skipped, or vanished meanwhile, the walk goes on from it, so every
    // step moves forward and the walk stays linear.
    fetch(*unread, root->fd, t_slot);
    uint32_t learnt = unread->learnt.load(std::memory_order_acquire);
    if (learnt != 0 && (learnt & kmib::CTLFLAG_SKIP) == 0) {
      break;
    }
    std::memcpy(at, oid, len * sizeof(int));
    pos = at;
    pos_len = len;
  }
  reply.put(oid, len * sizeof(int));
  return reply.finish();
}

int ProcfsTree::format(const int *target, size_t n, Reply &reply) noexcept {
  if (n == 0) {
    return ENOENT;
  }
  ProcNode *node;
  bool is_dir;
  std::shared_ptr<RootDir> root;
  if (int err = locate(target, n, &node, &is_dir, &root)) {
    return err;
  }
  uint32_t kind;
  const char *fmt;
  if (is_dir) {
    kind = kmib::CTLTYPE_NODE | kmib::CTLFLAG_RD;
    fmt = "N";
  } else {
    uint32_t learnt = node->learnt.load(std::memory_order_acquire);
    uint8_t mode = node->mode.load(std::memory_order_acquire);
    if (learnt == 0 || mode == kModeUnknown) {
      learn(*node, root->fd, &learnt, &mode);
    }
    // The type and CTLFLAG_SKIP as learnt at the first read; RD and WR from
    // the owner's permissions (readable when the mode could not be had).
    const bool reads = mode == kModeUnknown || (mode & kOwnerReads) != 0;
    kind = learnt | (reads ? kmib::CTLFLAG_RD : 0u) |
           ((mode & kOwnerWrites) != 0 ? kmib::CTLFLAG_WR : 0u);
    fmt = type_format(learnt & kmib::CTLTYPE);
  }
  reply.put(&kind, sizeof kind);
  reply.put(std::string_view(fmt));
  reply.put_nul();
  return reply.finish();
}

int ProcfsTree::read(const int *oid, size_t n, void *oldp,
                     size_t *oldlenp) noexcept {
  ThreadSlot &slot = t_slot;
  const ProcNode *armed = slot.owner == this ? slot.node : nullptr;
  forget();
  ProcNode *node;
  bool is_dir;
  std::shared_ptr<RootDir> root;
  if (int err = locate(oid, n, &node, &is_dir, &root)) {
    return err;
  }
  if (is_dir) {
    return EISDIR;
  }
  const bool probe = oldp == nullptr && oldlenp != nullptr;
  // A fetch right after its probe takes the probe's reply.
  if (armed != node || probe || oldlenp == nullptr) {
    if (int err = fetch(*node, root->fd, slot)) {
      return err;
    }
    if (probe) {
      slot.owner = this;
      slot.node = node;
    }
  }
  Reply reply(oldp, oldlenp);
  reply.put(slot.out);
  return reply.finish();
}

int ProcfsTree::write(const int *oid, size_t n, void *oldp, size_t *oldlenp,
                      const void *newp, size_t newlen) noexcept {
  ProcNode *node;
  bool is_dir;
  std::shared_ptr<RootDir> root;
  if (int err = locate(oid, n, &node, &is_dir, &root)) {
    return err;
  }
  if (is_dir) {
    return EISDIR;
  }
  ThreadSlot &slot = t_slot;
  uint32_t type = node->learnt.load(std::memory_order_acquire) & kmib::CTLTYPE;
  if (oldlenp != nullptr || type == 0) {
    // The old value goes out first, as the kernel does; a first write
    // reads the file anyway, to learn how to encode the new value.
    int err = fetch(*node, root->fd, slot);
    if (oldlenp != nullptr) {
      if (err != 0) {
        return err;
      }
      Reply reply(oldp, oldlenp);
      reply.put(slot.out);
      if (int e = reply.finish()) {
        return e;
      }
    }
    type = node->learnt.load(std::memory_order_acquire) & kmib::CTLTYPE;
    if (type == 0) {
      return err;
    }
  }
  try {
    if (int err = new_text(type, newp, newlen, slot.raw)) {
      return err;
    }
  } catch (...) {
    return ENOMEM;
  }
  int fd = open_beneath(root->fd, node->rel.c_str(),
                        O_WRONLY | O_TRUNC | O_NONBLOCK);
  if (fd < 0) {
    return errno;
  }
  ssize_t w;
  do {
    w = ::write(fd, slot.raw.data(), slot.raw.size());
  } while (w < 0 && errno == EINTR);
  int err = errno;
  ::close(fd);
  if (w < 0) {
    return err;
  }
  return static_cast<size_t>(w) == slot.raw.size() ? 0 : EIO;
}

}  // namespace varkit::mib
