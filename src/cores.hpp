// How many processor cores the process may use: the default thread count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The physical cores (hyperthread siblings counted once) in the process's CPU
// affinity, no more than its CPU quota allows (rounded up), at least 1; 0 when
// the operating system does not tell, so that the runtime keeps its own choice.
// Linux: linux_physical_cores over the file system's root; Windows: the
// processor cores within the process affinity; elsewhere the hardware's
// concurrency.
std::int32_t usable_physical_cores();

// The Linux count over a tree laid out like the file system's root at `root`
// ("" for the real one): the distinct (physical_package_id, core_id) pairs of
// the logical CPUs `allowed` under sys/devices/system/cpu, capped by the
// smallest CPU quota (cgroup v2 cpu.max, v1 cpu.cfs_quota_us over
// cpu.cfs_period_us) of the process's cgroup and its ancestors, found through
// proc/self/cgroup and proc/self/mountinfo. 0 when a CPU's topology cannot be
// read or no CPU is allowed; a quota that cannot be read caps nothing.
std::int32_t linux_physical_cores(const std::string& root, const std::vector<std::int32_t>& allowed);
