#include "cores.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

#if defined(__linux__) && !defined(DUOSTEM_NO_LINUX_EXTRAS)
#include <sched.h>

#include <cerrno>
#include <memory>
#define DUOSTEM_LINUX_CORES 1
#elif defined(_WIN32)
#include <cstddef>
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the macros
#endif
#include <windows.h>
#else
#include <thread>
#endif

namespace {

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return std::nullopt;
  return text;
}

// A decimal integer, optionally negative, with nothing but white space after it.
// Kernel files end in a newline; package ids read -1 on some systems.
std::optional<std::int64_t> integer_in(const std::string& text) {
  std::size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  const std::size_t first_digit = i;
  std::int64_t n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (i - first_digit >= 18) return std::nullopt;
    n = 10 * n + (text[i] - '0');
  }
  if (i == first_digit) return std::nullopt;
  if (text.find_first_not_of(" \t\n", i) != std::string::npos) return std::nullopt;
  return first_digit == 1 ? -n : n;
}

std::optional<std::int64_t> integer_file(const std::string& path) {
  const std::optional<std::string> text = read_text(path);
  return text ? integer_in(*text) : std::nullopt;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

bool has_word(const std::string& list, const std::string& word) {
  const std::vector<std::string> words = split(list, ',');
  return std::find(words.begin(), words.end(), word) != words.end();
}

// The whole CPUs that `quota` microseconds per `period` allow, rounded up: a
// quota of 1.5 CPUs keeps two threads busy part of the time rather than one all of it.
std::optional<std::int64_t> whole_cpus(std::optional<std::int64_t> quota, std::optional<std::int64_t> period) {
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  return (*quota + *period - 1) / *period;
}

// cgroup v2: "max PERIOD" (no limit) or "QUOTA PERIOD".
std::optional<std::int64_t> v2_limit(const std::string& folder) {
  const std::optional<std::string> text = read_text(folder + "/cpu.max");
  if (!text) return std::nullopt;
  const std::size_t space = text->find(' ');
  if (space == std::string::npos || space == 0) return std::nullopt;
  return whole_cpus(integer_in(text->substr(0, space)), integer_in(text->substr(space + 1)));
}

// cgroup v1: a quota of -1 means no limit.
std::optional<std::int64_t> v1_limit(const std::string& folder) {
  return whole_cpus(integer_file(folder + "/cpu.cfs_quota_us"), integer_file(folder + "/cpu.cfs_period_us"));
}

// mountinfo writes blanks and backslashes in paths as octal escapes ("\040").
std::string unescaped(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i > 3 && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += static_cast<char>(64 * (field[i + 1] - '0') + 8 * (field[i + 2] - '0') + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

struct CgroupPaths {
  std::optional<std::string> v2;  // the "0::PATH" line
  std::optional<std::string> v1;  // the line of the hierarchy holding the cpu controller
};

CgroupPaths cgroup_paths(const std::string& root) {
  CgroupPaths paths;
  const std::optional<std::string> text = read_text(root + "/proc/self/cgroup");
  if (!text) return paths;
  for (const std::string& line : split(*text, '\n')) {
    // "ID:CONTROLLERS:PATH"; the path may itself hold colons.
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string id = line.substr(0, first);
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      paths.v2 = path;
    } else if (has_word(controllers, "cpu")) {
      paths.v1 = path;
    }
  }
  return paths;
}

// The smallest limit of the cgroup at `path` and its ancestors up to the mount
// point, for a mount whose root is `mount_root`. A path outside the mount's root
// (a container's view of its host's tree) is taken as the mount point itself.
std::optional<std::int64_t> smallest_limit(const std::string& root, const std::string& mount_point,
                                           const std::string& mount_root, std::string path, bool v2) {
  if (mount_root != "/") {
    const bool inside = path.compare(0, mount_root.size(), mount_root) == 0 &&
                        (path.size() == mount_root.size() || path[mount_root.size()] == '/');
    path = inside ? path.substr(mount_root.size()) : std::string();
  }
  while (!path.empty() && path.back() == '/') path.pop_back();
  std::optional<std::int64_t> smallest;
  for (;;) {
    const std::string folder = root + mount_point + path;
    const std::optional<std::int64_t> limit = v2 ? v2_limit(folder) : v1_limit(folder);
    if (limit && (!smallest || *limit < *smallest)) smallest = limit;
    if (path.empty()) return smallest;
    path.erase(path.rfind('/'));
  }
}

// The CPU quota of the process's cgroups, in whole CPUs; none when there is none or it cannot be read.
std::optional<std::int64_t> quota_cpus(const std::string& root) {
  const CgroupPaths paths = cgroup_paths(root);
  if (!paths.v1 && !paths.v2) return std::nullopt;
  const std::optional<std::string> mounts = read_text(root + "/proc/self/mountinfo");
  if (!mounts) return std::nullopt;
  std::optional<std::int64_t> smallest;
  for (const std::string& line : split(*mounts, '\n')) {
    // "ID PARENT MAJOR:MINOR ROOT MOUNT_POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER_OPTIONS"
    const std::vector<std::string> fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (std::distance(fields.begin(), dash) < 6 || std::distance(dash, fields.end()) < 4) continue;
    const std::string& type = dash[1];
    const std::string& super_options = dash[3];
    std::optional<std::int64_t> limit;
    if (type == "cgroup2" && paths.v2) {
      limit = smallest_limit(root, unescaped(fields[4]), unescaped(fields[3]), *paths.v2, true);
    } else if (type == "cgroup" && paths.v1 && has_word(super_options, "cpu")) {
      limit = smallest_limit(root, unescaped(fields[4]), unescaped(fields[3]), *paths.v1, false);
    }
    if (limit && (!smallest || *limit < *smallest)) smallest = limit;
  }
  return smallest;
}

#ifdef DUOSTEM_LINUX_CORES
struct CpuSetFree {
  void operator()(cpu_set_t* set) const { CPU_FREE(set); }
};

// The logical CPUs this process may run on; empty when they cannot be read.
std::vector<std::int32_t> affinity() {
  // The mask grows until it holds every CPU the kernel knows of.
  for (int size = 1024; size <= (1 << 20); size *= 2) {
    const std::unique_ptr<cpu_set_t, CpuSetFree> set(CPU_ALLOC(size));
    if (!set) return {};
    const std::size_t bytes = CPU_ALLOC_SIZE(size);
    CPU_ZERO_S(bytes, set.get());
    if (sched_getaffinity(0, bytes, set.get()) == 0) {
      std::vector<std::int32_t> cpus;
      for (int cpu = 0; cpu < size; ++cpu)
        if (CPU_ISSET_S(cpu, bytes, set.get())) cpus.push_back(cpu);
      return cpus;
    }
    if (errno != EINVAL) return {};
  }
  return {};
}
#endif

}  // namespace

std::int32_t linux_physical_cores(const std::string& root, const std::vector<std::int32_t>& allowed) {
  std::set<std::pair<std::int64_t, std::int64_t>> cores;
  for (const std::int32_t cpu : allowed) {
    const std::string topology = root + "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
    const std::optional<std::int64_t> package = integer_file(topology + "physical_package_id");
    const std::optional<std::int64_t> core = integer_file(topology + "core_id");
    if (!package || !core) return 0;
    cores.emplace(*package, *core);
  }
  if (cores.empty()) return 0;
  std::int64_t count = static_cast<std::int64_t>(cores.size());
  if (const std::optional<std::int64_t> quota = quota_cpus(root)) count = std::min(count, *quota);
  return static_cast<std::int32_t>(std::max<std::int64_t>(count, 1));
}

#ifdef DUOSTEM_LINUX_CORES
std::int32_t usable_physical_cores() {
  const std::vector<std::int32_t> cpus = affinity();
  return cpus.empty() ? 0 : linux_physical_cores("", cpus);
}
#elif defined(_WIN32)
std::int32_t usable_physical_cores() {
  DWORD bytes = 0;
  if (GetLogicalProcessorInformationEx(RelationProcessorCore, nullptr, &bytes) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return 0;
  // Records are read in place: the system lays them out aligned, each `Size` bytes long.
  std::vector<std::uint64_t> buffer(bytes / sizeof(std::uint64_t) + 1);
  auto* const first = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(buffer.data());
  if (!GetLogicalProcessorInformationEx(RelationProcessorCore, first, &bytes)) return 0;

  // A process within one processor group has its affinity mask there (the
  // main thread's group); zero masks mean it spans several groups (newer
  // Windows on big machines) and may use every processor of them.
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) return 0;
  GROUP_AFFINITY group{};
  if (process_mask != 0 && !GetThreadGroupAffinity(GetCurrentThread(), &group)) return 0;
  const auto allowed = [&](const GROUP_AFFINITY& core) {
    return process_mask == 0 || (core.Group == group.Group && (core.Mask & process_mask) != 0);
  };

  // Each record is `Size` bytes: a header, then for a core its group masks.
  constexpr DWORD HEADER = offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX, Processor);
  std::int32_t cores = 0;
  const char* record = reinterpret_cast<const char*>(first);
  for (DWORD offset = 0; bytes - offset >= HEADER;) {
    const auto* info = reinterpret_cast<const SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(record + offset);
    if (info->Size < HEADER || info->Size > bytes - offset) break;
    const PROCESSOR_RELATIONSHIP& core = info->Processor;
    if (info->Relationship == RelationProcessorCore &&
        info->Size - HEADER >= offsetof(PROCESSOR_RELATIONSHIP, GroupMask) + core.GroupCount * sizeof(GROUP_AFFINITY)) {
      bool usable = false;
      for (WORD g = 0; g < core.GroupCount && !usable; ++g) usable = allowed(core.GroupMask[g]);
      if (usable) ++cores;
    }
    offset += info->Size;
  }
  return cores;
}
#else
std::int32_t usable_physical_cores() {
  // Logical processors: hyperthread siblings cannot be told apart here.
  return static_cast<std::int32_t>(std::thread::hardware_concurrency());
}
#endif
