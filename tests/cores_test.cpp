// The Linux core count over fake trees of the files the kernel shows.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cores.hpp"
#include "test_support.hpp"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

const Files V2 = {{"proc/self/cgroup", "0::/user.slice/job\n"},
                  {"proc/self/mountinfo", "24 1 0:22 / /proc rw - proc proc rw\n"
                                          "31 22 0:28 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw\n"}};
// A container's view of a v1 host: its cgroup path names the host's tree, the mount's root is that cgroup.
const Files V1 = {{"proc/self/cgroup", "4:memory:/docker/c1\n2:cpu,cpuacct:/docker/c1\n0::/\n"},
                  {"proc/self/mountinfo", "35 31 0:30 /docker/c1 /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
                                          "36 31 0:31 /docker/c1 /sys/fs/cgroup/cpu\\040acct rw - cgroup cgroup rw,cpu,cpuacct\n"
                                          "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"}};

Files with(Files files, const Files& more) {
  files.insert(files.end(), more.begin(), more.end());
  return files;
}

TEST(Cores, PhysicalCoresWithinAffinityAndQuota) {
  struct Case {
    const char* name;
    std::vector<std::string> topology;  // logical CPU i: "PACKAGE CORE"; "" leaves its folder out
    std::vector<std::int32_t> allowed;
    Files files;  // below the root
    std::int32_t cores;
  };
  const std::vector<std::string> two_threads_a_core = {"0 0", "0 1", "0 0", "0 1"};
  const std::vector<std::string> four = {"0 0", "0 1", "0 2", "0 3"};
  const Case cases[] = {
      {"hyperthread siblings once", two_threads_a_core, {0, 1, 2, 3}, {}, 2},
      {"two packages with the same core ids", {"0 0", "0 1", "1 0", "1 1"}, {0, 1, 2, 3}, {}, 4},
      {"package id -1", {"-1 0", "-1 1"}, {0, 1}, {}, 2},
      {"affinity excluding a core", four, {0, 2, 3}, {}, 3},
      {"affinity holding one sibling of each", two_threads_a_core, {0, 3}, {}, 2},
      {"affinity within one core", two_threads_a_core, {1, 3}, {}, 1},
      {"v2 quota of 1.5 CPUs", four, {0, 1, 2, 3}, with(V2, {{"sys/fs/cgroup/user.slice/job/cpu.max", "150000 100000\n"}}), 2},
      {"v2 no quota", four, {0, 1, 2, 3}, with(V2, {{"sys/fs/cgroup/user.slice/job/cpu.max", "max 100000\n"}}), 4},
      {"v2 quota of an ancestor", four, {0, 1, 2, 3},
       with(V2, {{"sys/fs/cgroup/user.slice/job/cpu.max", "max 100000\n"}, {"sys/fs/cgroup/user.slice/cpu.max", "100000 100000\n"}}), 1},
      {"v2 quota of half a CPU", four, {0, 1, 2, 3}, with(V2, {{"sys/fs/cgroup/user.slice/job/cpu.max", "50000 100000\n"}}), 1},
      {"v2 quota above the cores", four, {0, 1}, with(V2, {{"sys/fs/cgroup/user.slice/job/cpu.max", "300000 100000\n"}}), 2},
      {"v2 quota unreadable", four, {0, 1, 2, 3}, with(V2, {{"sys/fs/cgroup/user.slice/job/cpu.max", "lots\n"}}), 4},
      {"v1 quota of 2.5 CPUs at the container's root", four, {0, 1, 2, 3},
       with(V1, {{"sys/fs/cgroup/cpu acct/cpu.cfs_quota_us", "250000\n"}, {"sys/fs/cgroup/cpu acct/cpu.cfs_period_us", "100000\n"},
                 {"sys/fs/cgroup/memory/cpu.cfs_quota_us", "100000\n"}, {"sys/fs/cgroup/memory/cpu.cfs_period_us", "100000\n"}}), 3},
      {"v1 quota of a cgroup below the container's root", four, {0, 1, 2, 3},
       with(V1, {{"proc/self/cgroup", "2:cpu,cpuacct:/docker/c1/job\n"}, {"sys/fs/cgroup/cpu acct/job/cpu.cfs_quota_us", "100000\n"},
                 {"sys/fs/cgroup/cpu acct/job/cpu.cfs_period_us", "100000\n"}, {"sys/fs/cgroup/cpu acct/cpu.cfs_quota_us", "250000\n"},
                 {"sys/fs/cgroup/cpu acct/cpu.cfs_period_us", "100000\n"}}), 1},
      {"v1 no quota", four, {0, 1, 2, 3},
       with(V1, {{"sys/fs/cgroup/cpu acct/cpu.cfs_quota_us", "-1\n"}, {"sys/fs/cgroup/cpu acct/cpu.cfs_period_us", "100000\n"}}), 4},
      {"quota without the process's cgroup file", four, {0, 1, 2, 3},
       {V2[1], {"sys/fs/cgroup/cpu.max", "100000 100000\n"}}, 4},
      {"a CPU without topology", {"0 0", ""}, {0, 1}, {}, 0},
      {"an unreadable core id", {"0 0", "0 x"}, {0, 1}, {}, 0},
      {"no CPU allowed", four, {}, {}, 0},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Files files = c.files;
    for (std::size_t cpu = 0; cpu < c.topology.size(); ++cpu) {
      const std::string& ids = c.topology[cpu];
      if (ids.empty()) continue;
      const std::string folder = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
      files.push_back({folder + "physical_package_id", ids.substr(0, ids.find(' ')) + "\n"});
      files.push_back({folder + "core_id", ids.substr(ids.find(' ') + 1) + "\n"});
    }
    for (const auto& [path, text] : files) {
      std::filesystem::create_directories(std::filesystem::path(dir / path).parent_path());
      write_file(dir / path, text);
    }
    EXPECT_EQ(linux_physical_cores(dir.path(), c.allowed), c.cores) << c.name;
  }
}

}  // namespace
