#include "provider/default_tree.h"

#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <vector>

#include "kernel_mib/kernel_mib.h"

namespace varkit::mib {
namespace {

using kmib::CTLFLAG_RD;
using kmib::CTLFLAG_SKIP;
using kmib::CTLFLAG_TUN;
using kmib::CTLFLAG_WR;
constexpr uint32_t kRW = CTLFLAG_RD | CTLFLAG_WR;

// Values in the host's byte order, as the kernel hands them out.
template <class T>
std::string raw(const T &v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

template <class T>
std::string raw_array(std::initializer_list<T> items) {
  std::string out;
  for (const T &v : items) {
    out += raw(v);
  }
  return out;
}

// Copies v into out at byte offset off.
template <class T>
void poke(std::string &out, size_t off, T v) {
  std::memcpy(out.data() + off, &v, sizeof v);
}

int64_t sysconf_or(int name, int64_t fallback) {
  long v = sysconf(name);
  return v > 0 ? v : fallback;
}

std::string host_name() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') {
    return "localhost";
  }
  return buf;
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        size_t start = line.find_first_not_of(" \t", colon + 1);
        if (start != std::string::npos) {
          return line.substr(start);
        }
      }
    }
  }
  return "Generic x86-64 processor";
}

// struct timeval of the moment the host booted.
std::string boot_time() {
  timespec now = {}, up = {};
  clock_gettime(CLOCK_REALTIME, &now);
  clock_gettime(CLOCK_BOOTTIME, &up);
  int64_t ns = (int64_t{now.tv_sec} - up.tv_sec) * 1000000000 +
               (int64_t{now.tv_nsec} - up.tv_nsec);
  std::string tv(16, '\0');
  poke<int64_t>(tv, 0, ns / 1000000000);
  poke<int64_t>(tv, 8, (ns % 1000000000) / 1000);
  return tv;
}

// struct loadavg: fixpt_t ldavg[3], padding, long fscale.
std::string load_average() {
  constexpr int64_t kFscale = 2048;
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) {
    load[0] = load[1] = load[2] = 0;
  }
  std::string la(24, '\0');
  for (int i = 0; i < 3; ++i) {
    poke<uint32_t>(la, 4 * i, static_cast<uint32_t>(load[i] * kFscale + 0.5));
  }
  poke<int64_t>(la, 16, kFscale);
  return la;
}

// struct clockinfo: hz, tick, spare, stathz, profhz.
std::string clock_rate() {
  return raw_array<int32_t>({100, 10000, 0, 128, 8128});
}

struct Entry {
  const char *name;
  std::vector<int> oid;
  uint32_t kind;
  const char *fmt;
  std::optional<std::string> value;
  const char *description;
};

std::vector<Entry> entries() {
  using namespace kmib;
  const int64_t page = sysconf_or(_SC_PAGESIZE, 4096);
  const int64_t pages = sysconf_or(_SC_PHYS_PAGES, 262144);
  const int64_t free_pages = sysconf_or(_SC_AVPHYS_PAGES, pages / 2);
  const auto ncpu = static_cast<int32_t>(sysconf_or(_SC_NPROCESSORS_ONLN, 1));
  const uint64_t physmem = static_cast<uint64_t>(pages * page);
  const uint32_t node = CTLTYPE_NODE | CTLFLAG_RD;
  // clang-format off: one node per entry reads better than one field a line.
  return {
      {"kern", {1}, node, "N", {}, "High kernel, proc, limits &c"},
      {"kern.ostype", {1, 1}, CTLTYPE_STRING | CTLFLAG_RD, "A", "FreeBSD",
       "Operating system type"},
      {"kern.osrelease", {1, 2}, CTLTYPE_STRING | CTLFLAG_RD, "A",
       "14.3-RELEASE", "Operating system release"},
      {"kern.osrevision", {1, 3}, CTLTYPE_INT | CTLFLAG_RD, "I",
       raw<int32_t>(199506), "Operating system revision"},
      {"kern.version", {1, 4}, CTLTYPE_STRING | CTLFLAG_RD, "A",
       "FreeBSD 14.3-RELEASE GENERIC amd64\n", "Kernel version"},
      {"kern.maxvnodes", {1, 5}, CTLTYPE_LONG | kRW, "L",
       raw<int64_t>(1048576), "Target for maximum number of vnodes"},
      {"kern.maxproc", {1, 6}, CTLTYPE_INT | CTLFLAG_RD | CTLFLAG_TUN, "I",
       raw<int32_t>(16436), "Maximum number of processes"},
      {"kern.maxfiles", {1, 7}, CTLTYPE_INT | kRW | CTLFLAG_TUN, "I",
       raw<int32_t>(262144), "Maximum number of files"},
      {"kern.argmax", {1, 8}, CTLTYPE_INT | CTLFLAG_RD, "I",
       raw<int32_t>(524288), "Maximum bytes of argument to execve(2)"},
      {"kern.securelevel", {1, 9}, CTLTYPE_INT | kRW, "I", raw<int32_t>(-1),
       "Current secure level"},
      {"kern.hostname", {1, 10}, CTLTYPE_STRING | kRW, "A", host_name(),
       "Hostname"},
      {"kern.hostid", {1, 11}, CTLTYPE_UINT | kRW, "IU",
       raw<uint32_t>(0x5ca1ab1eu), "Host ID"},
      {"kern.clockrate", {1, 12}, CTLTYPE_OPAQUE | CTLFLAG_RD, "S,clockinfo",
       clock_rate(), "Rate and period of various kernel clocks"},
      {"kern.posix1version", {1, 17}, CTLTYPE_INT | CTLFLAG_RD, "I",
       raw<int32_t>(200809), "Version of POSIX attempting to comply to"},
      {"kern.ngroups", {1, 18}, CTLTYPE_INT | CTLFLAG_RD, "I",
       raw<int32_t>(1023),
       "Maximum number of supplemental groups a process can belong to"},
      {"kern.boottime", {1, 21}, CTLTYPE_OPAQUE | CTLFLAG_RD, "S,timeval",
       boot_time(), "Estimated system boottime"},
      {"kern.osreldate", {1, 24}, CTLTYPE_INT | CTLFLAG_RD, "I",
       raw<int32_t>(1403000), "Kernel release date"},
      {"kern.ipc", {1, 30}, node, "N", {}, "IPC"},
      {"kern.ipc.maxsockbuf", {1, 30, 1}, CTLTYPE_ULONG | kRW, "LU",
       raw<uint64_t>(2097152), "Maximum socket buffer size"},
      {"kern.ipc.maxmbufmem", {1, 30, 256},
       CTLTYPE_S64 | CTLFLAG_RD | CTLFLAG_TUN, "Q",
       raw<int64_t>(static_cast<int64_t>(physmem / 2)),
       "Maximum real memory allocatable to various mbuf types"},
      {"kern.sched", {1, 256}, node, "N", {}, "Scheduler"},
      {"kern.sched.name", {1, 256, 256}, CTLTYPE_STRING | CTLFLAG_RD, "A",
       "ULE", "Scheduler name"},
      {"kern.sched.quantum", {1, 256, 257}, CTLTYPE_INT | kRW, "I",
       raw<int32_t>(94488), "Quantum for timeshare threads in microseconds"},
      {"kern.sched.runq_len", {1, 256, 258}, CTLTYPE_INT | CTLFLAG_RD, "I",
       raw_array<int32_t>({0, 1, 0, 2}), "Threads queued on each run queue"},
      {"kern.hidden_secret", {1, 257},
       CTLTYPE_INT | CTLFLAG_RD | CTLFLAG_SKIP, "I", raw<int32_t>(42),
       "A variable that listings pass over"},
      {"vm", {2}, node, "N", {}, "Virtual memory"},
      {"vm.loadavg", {2, 2}, CTLTYPE_OPAQUE | CTLFLAG_RD, "S,loadavg",
       load_average(), "Machine loadaverage history"},
      {"vm.overcommit", {2, 256}, CTLTYPE_INT | kRW, "I", raw<int32_t>(0),
       "Configure virtual memory overcommit behavior"},
      {"vm.stats", {2, 257}, node, "N", {}, "VM meter stats"},
      {"vm.stats.sys", {2, 257, 256}, node, "N", {}, "VM meter sys stats"},
      {"vm.stats.sys.v_swtch", {2, 257, 256, 256}, CTLTYPE_U64 | CTLFLAG_RD,
       "QU", raw<uint64_t>(123456789), "Context switches"},
      {"vm.stats.sys.v_syscall", {2, 257, 256, 257},
       CTLTYPE_U64 | CTLFLAG_RD, "QU", raw<uint64_t>(987654321),
       "System calls"},
      {"vm.stats.vm", {2, 257, 257}, node, "N", {}, "VM meter vm stats"},
      {"vm.stats.vm.v_page_count", {2, 257, 257, 256},
       CTLTYPE_UINT | CTLFLAG_RD, "IU", raw<uint32_t>(pages),
       "Total number of pages in system"},
      {"vm.stats.vm.v_free_count", {2, 257, 257, 257},
       CTLTYPE_UINT | CTLFLAG_RD, "IU", raw<uint32_t>(free_pages),
       "Free pages"},
      {"hw", {6}, node, "N", {}, "hardware"},
      {"hw.machine", {6, 1}, CTLTYPE_STRING | CTLFLAG_RD, "A", "amd64",
       "Machine class"},
      {"hw.model", {6, 2}, CTLTYPE_STRING | CTLFLAG_RD, "A", cpu_model(),
       "Machine model"},
      {"hw.ncpu", {6, 3}, CTLTYPE_INT | CTLFLAG_RD, "I", raw<int32_t>(ncpu),
       "Number of active CPUs"},
      {"hw.byteorder", {6, 4}, CTLTYPE_INT | CTLFLAG_RD, "I",
       raw<int32_t>(1234), "System byte order"},
      {"hw.physmem", {6, 5}, CTLTYPE_ULONG | CTLFLAG_RD, "LU", raw(physmem),
       "Amount of physical memory (in bytes)"},
      {"hw.usermem", {6, 6}, CTLTYPE_ULONG | CTLFLAG_RD, "LU",
       raw<uint64_t>(static_cast<uint64_t>(free_pages * page)),
       "Amount of memory (in bytes) which is not wired"},
      {"hw.pagesize", {6, 7}, CTLTYPE_INT | CTLFLAG_RD, "I",
       raw<int32_t>(4096), "System memory page size"},
      {"hw.machine_arch", {6, 11}, CTLTYPE_STRING | CTLFLAG_RD, "A", "amd64",
       "System architecture"},
      {"hw.realmem", {6, 12}, CTLTYPE_ULONG | CTLFLAG_RD, "LU", raw(physmem),
       "Amount of memory (in bytes) reported by the firmware"},
  };
  // clang-format on
}

}  // namespace

std::string load_default_tree(EmulatedTree &tree) {
  tree.clear();
  for (const Entry &e : entries()) {
    std::optional<std::string_view> value;
    if (e.value) {
      value = *e.value;
    }
    std::string err = tree.add(e.name, e.oid, e.kind, e.fmt, value,
                               std::string_view(e.description));
    if (!err.empty()) {
      return std::string(e.name) + ": " + err;
    }
  }
  return {};
}

}  // namespace varkit::mib
