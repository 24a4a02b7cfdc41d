// The benchmark's floor: the least work any listing of the MIB must do,
// with no Python objects.
//
//   varkit_floor serve TREEFILE
//     Loads the tree described in TREEFILE (written by bench/run.py) into
//     the emulated tree, linked in directly, and serves it through the
//     provider's front layer with the call log off.  Then reads commands
//     from stdin, one a line:
//       walk    performs exactly the kernel calls of _varkit's filter() over
//               the whole MIB (per variable: the next query offered 88 bytes,
//               the format query and the name query offered 1024 bytes each),
//               then exactly those of reading .value of every variable (the
//               size probe with no buffer, then the fetch into a malloc'd
//               buffer one byte longer than the size), and prints
//               "<variables> <walk ns> <read ns>".
//       calls   does the same once with the provider's call log on and
//               prints the calls: their count, then "OID offered error"
//               a line (offered -1 when no buffer was given).
//       quit    exits.
//
//   varkit_floor procfs ROOT [REPEAT]
//     What any tool listing the live Linux MIB must do at minimum: walks ROOT
//     (e.g. /proc/sys) with opendir/readdir, opens every regular file
//     relative to its folder, reads it once (until a read comes back short)
//     and writes "name=value" lines into a buffer that it never prints.
//     Prints "<files read> <ns of the last pass>".
//
// TREEFILE has one node a line, tab-separated: dotted name, OID (components
// separated by dots), kind word (decimal), format, value in hex (or "-" for
// none).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_mib/kernel_mib.h"
#include "kernel_mib/provider_api.h"
#include "provider/emulated.h"
#include "provider/front.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t since(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0)
      .count();
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  for (;;) {
    size_t at = s.find(sep);
    out.push_back(s.substr(0, at));
    if (at == std::string_view::npos) {
      return out;
    }
    s.remove_prefix(at + 1);
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool load_tree(const char *path, varkit::mib::EmulatedTree &tree) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "varkit_floor: cannot open %s\n", path);
    return false;
  }
  std::string line;
  size_t lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    if (line.empty()) {
      continue;
    }
    std::vector<std::string_view> f = split(line, '\t');
    if (f.size() != 5) {
      std::fprintf(stderr, "varkit_floor: %s:%zu: expected 5 fields\n", path,
                   lineno);
      return false;
    }
    std::vector<int> oid;
    for (std::string_view c : split(f[1], '.')) {
      oid.push_back(std::atoi(std::string(c).c_str()));
    }
    const auto kind = static_cast<uint32_t>(
        std::strtoul(std::string(f[2]).c_str(), nullptr, 10));
    std::optional<std::string> value;
    if (f[4] != "-") {
      value.emplace();
      for (size_t i = 0; i + 1 < f[4].size(); i += 2) {
        value->push_back(static_cast<char>(hex_digit(f[4][i]) * 16 +
                                           hex_digit(f[4][i + 1])));
      }
    }
    std::string err =
        tree.add(f[0], oid, kind, f[3],
                 value ? std::optional<std::string_view>(*value) : std::nullopt,
                 std::nullopt);
    if (!err.empty()) {
      std::fprintf(stderr, "varkit_floor: %s:%zu: %s\n", path, lineno,
                   err.c_str());
      return false;
    }
  }
  return true;
}

// The calls of _varkit.filter() over the whole MIB; collects every OID the
// walk reports for the reads.
[[gnu::noinline]] size_t walk(const varkit_mib_api &api, std::vector<int> &oids,
                              std::vector<uint32_t> &lens) {
  constexpr int kNextMax = kmib::CTL_MAXNAME - 2;
  constexpr size_t kBufMax = 1024;
  int next_query[kmib::CTL_MAXNAME] = {kmib::CTL_SYSCTL, kmib::CTL_SYSCTL_NEXT,
                                       kmib::CTL_KERN};
  size_t next_len = 1;
  int reply[kmib::CTL_MAXNAME];
  int query[kmib::CTL_MAXNAME + 2];
  char fmt[kBufMax];
  char name[kBufMax + 1];
  size_t count = 0;
  for (;;) {
    size_t size = kNextMax * sizeof(int);
    if (api.sysctl(next_query, static_cast<unsigned>(next_len + 2), reply,
                   &size, nullptr, 0) < 0) {
      if (errno == ENOENT) {
        break;
      }
      std::perror("varkit_floor: next query");
      std::exit(1);
    }
    const size_t n = size / sizeof(int);
    std::memcpy(query + 2, reply, n * sizeof(int));
    query[0] = kmib::CTL_SYSCTL;
    query[1] = kmib::CTL_SYSCTL_OIDFMT;
    size = sizeof fmt;
    if (api.sysctl(query, static_cast<unsigned>(n + 2), fmt, &size, nullptr,
                   0) < 0) {
      std::perror("varkit_floor: format query");
      std::exit(1);
    }
    query[1] = kmib::CTL_SYSCTL_NAME;
    size = kBufMax;
    if (api.sysctl(query, static_cast<unsigned>(n + 2), name, &size, nullptr,
                   0) < 0) {
      std::perror("varkit_floor: name query");
      std::exit(1);
    }
    oids.insert(oids.end(), reply, reply + n);
    lens.push_back(static_cast<uint32_t>(n));
    std::memcpy(next_query + 2, reply, n * sizeof(int));
    next_len = n;
    ++count;
  }
  return count;
}

// The calls of reading .value of every variable: the size probe, then the
// fetch into a buffer of the size plus one.
[[gnu::noinline]] void read_all(const varkit_mib_api &api,
                                const std::vector<int> &oids,
                                const std::vector<uint32_t> &lens) {
  const int *oid = oids.data();
  for (uint32_t n : lens) {
    size_t size = 0;
    if (api.sysctl(oid, n, nullptr, &size, nullptr, 0) == 0 ||
        errno != EISDIR) {
      char *buf = static_cast<char *>(std::malloc(size + 1));
      if (buf == nullptr || api.sysctl(oid, n, buf, &size, nullptr, 0) < 0) {
        std::perror("varkit_floor: fetch");
        std::exit(1);
      }
      buf[size] = '\0';
      std::free(buf);
    }
    oid += n;
  }
}

int serve(const char *treefile) {
  static varkit::mib::EmulatedTree tree;
  if (!load_tree(treefile, tree)) {
    return 1;
  }
  varkit::mib::Front &front = varkit::mib::Front::get();
  front.set_logging(false);
  front.use(&tree);
  const varkit_mib_api &api = *varkit::mib::api_record();
  std::vector<int> oids;
  std::vector<uint32_t> lens;
  std::string cmd;
  std::cout << "ready" << std::endl;
  while (std::getline(std::cin, cmd)) {
    if (cmd == "quit") {
      break;
    }
    if (cmd == "calls") {
      // The calls of one walk and its reads, from the provider's call log:
      // one line each, "OID offered error" (offered -1: no buffer).
      front.clear_calls();
      front.set_logging(true);
      oids.clear();
      lens.clear();
      walk(api, oids, lens);
      read_all(api, oids, lens);
      front.set_logging(false);
      std::vector<varkit::mib::CallRecord> calls = front.calls();
      front.clear_calls();
      std::cout << calls.size() << '\n';
      for (const auto &c : calls) {
        for (size_t i = 0; i < c.oid.size(); ++i) {
          std::cout << (i ? "." : "") << c.oid[i];
        }
        std::cout << ' '
                  << (c.offered ? static_cast<long long>(*c.offered) : -1LL)
                  << ' ' << c.err << '\n';
      }
      std::cout.flush();
      continue;
    }
    if (cmd != "walk") {
      std::cout << "unknown command" << std::endl;
      continue;
    }
    oids.clear();
    lens.clear();
    auto t0 = Clock::now();
    size_t count = walk(api, oids, lens);
    int64_t walk_ns = since(t0);
    t0 = Clock::now();
    read_all(api, oids, lens);
    int64_t read_ns = since(t0);
    std::cout << count << ' ' << walk_ns << ' ' << read_ns << std::endl;
  }
  return 0;
}

// Reads the folder open at `dir` (its dotted name below the root in `name`)
// and every file in it, depth first in readdir order.  Each entry is opened
// relative to its folder, and a file is read until a read comes back short
// (what a file under /proc/sys hands out comes in one read).
void procfs_dir(int dirfd, std::string &name, std::string &out, size_t &files) {
  DIR *dir = fdopendir(dirfd);
  if (dir == nullptr) {
    close(dirfd);
    return;
  }
  const size_t name_len = name.size();
  while (dirent *e = readdir(dir)) {
    if (e->d_name[0] == '.' &&
        (e->d_name[1] == '\0' ||
         (e->d_name[1] == '.' && e->d_name[2] == '\0'))) {
      continue;
    }
    if (name_len != 0) {
      name += '.';
    }
    name += e->d_name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : 0;
      }
    }
    if (type == DT_DIR) {
      int sub = openat(::dirfd(dir), e->d_name,
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) {
        procfs_dir(sub, name, out, files);
      }
    } else if (type == DT_REG) {
      int fd =
          openat(::dirfd(dir), e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) {
        char buf[4096];
        const size_t mark = out.size();
        out += name;
        out += '=';
        bool ok = true;
        for (;;) {
          ssize_t k = read(fd, buf, sizeof buf);
          if (k < 0) {
            ok = false;
            break;
          }
          out.append(buf, static_cast<size_t>(k));
          if (static_cast<size_t>(k) < sizeof buf) {
            break;
          }
        }
        close(fd);
        if (ok) {
          ++files;
        } else {
          out.resize(mark);
        }
      }
    }
    name.resize(name_len);
  }
  closedir(dir);
}

int procfs(const char *root, int repeat) {
  size_t files = 0;
  int64_t ns = 0;
  std::string out;
  for (int i = 0; i < repeat; ++i) {
    std::string name;
    out.clear();
    files = 0;
    auto t0 = Clock::now();
    int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      std::perror(root);
      return 1;
    }
    procfs_dir(fd, name, out, files);
    ns = since(t0);
  }
  std::printf("%zu %lld\n", files, static_cast<long long>(ns));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "serve") == 0) {
    return serve(argv[2]);
  }
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "procfs") == 0) {
    return procfs(argv[2], argc == 4 ? std::atoi(argv[3]) : 1);
  }
  std::fprintf(stderr,
               "usage: varkit_floor serve TREEFILE\n"
               "       varkit_floor procfs ROOT [REPEAT]\n");
  return 2;
}
