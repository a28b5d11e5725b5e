// How many shards the variable store uses: the processor count this process may use, times four.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vrel {

// The smallest power of two that is at least 4 * max(processors, 1). Always >= 4.
// Counts too large for that power to fit in a size_t are treated as the largest that fits.
std::size_t shard_amount_for(std::size_t processors) noexcept;

// The CPU limit in whole processors set by a cgroup v2 `cpu.max` file, given its contents
// ("<quota> <period>", or "max <period>" for none): floor(quota / period), at least 1.
// Returns nothing for "max" and for anything malformed (a zero period included).
std::optional<std::size_t> cpu_limit_from_cgroup_v2(std::string_view cpu_max) noexcept;

// The same for cgroup v1, from the contents of `cpu.cfs_quota_us` and `cpu.cfs_period_us`.
// A quota of -1 means no limit; malformed contents also give nothing.
std::optional<std::size_t> cpu_limit_from_cgroup_v1(std::string_view cfs_quota_us,
                                                    std::string_view cfs_period_us) noexcept;

// Combines what could be learnt about the processors this process may run on: the size
// of its affinity set or, where that is unknown, the number of online processors, then
// reduced to the cgroup CPU limit if there is one. With neither count known the cgroup
// limit alone decides; with nothing known the answer is 1. A zero count means unknown.
std::size_t usable_processors(std::optional<std::size_t> affinity,
                              std::optional<std::size_t> cgroup_limit,
                              std::optional<std::size_t> online) noexcept;

// The cgroup paths named by /proc/self/cgroup (each line "<id>:<controllers>:<path>"):
// the unified (v2) hierarchy's path from its "0::" line, and the path of the v1 hierarchy
// that carries the "cpu" controller.
struct ProcessCgroups {
  std::optional<std::string> unified;
  std::optional<std::string> v1_cpu;
};
ProcessCgroups parse_process_cgroups(std::string_view proc_self_cgroup);

// The directory where the cgroup v1 `cpu` hierarchy shows the cgroup at `cgroup_path`,
// found from the contents of /proc/self/mountinfo: the mount point of a "cgroup" file
// system whose options include "cpu", joined with the part of `cgroup_path` below the
// mount's root. When `cgroup_path` lies outside the mounted part (as inside a container
// whose cgroup namespace was not unshared), the mount point itself. Nothing if no such
// mount exists.
std::optional<std::string> cgroup_v1_cpu_directory(std::string_view mountinfo,
                                                   std::string_view cgroup_path);

// Asks the operating system how many processors this process may use: the affinity set
// (sched_getaffinity, sized for any number of CPUs), the CPU limit of its cgroup (v2
// cpu.max under the unified hierarchy's mount point, normally /sys/fs/cgroup, or v1 cfs
// quota and period; the smallest over the cgroup and its ancestors) and the number of
// online processors, combined by usable_processors(). Whatever cannot be read counts as
// unknown. Always >= 1; throws only std::bad_alloc.
std::size_t probe_usable_processors();

// shard_amount_for(probe_usable_processors()), computed on the first call and cached for
// the life of the process; concurrent first callers wait for the one computation.
std::size_t default_shard_amount();

}  // namespace vrel
