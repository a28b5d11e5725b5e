// Tests of the shard-count rule, the cgroup parsers and the processor probe.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "shard_count.hpp"

namespace vrel {
namespace {

constexpr std::optional<std::size_t> kNone = std::nullopt;

TEST(ShardAmount, SmallestPowerOfTwoAtLeastFourPerProcessor) {
  struct Case {
    std::size_t processors, shards;
  };
  const Case cases[] = {
      {0, 4},  {1, 4},  {2, 8},   {3, 16},  {4, 16},   {5, 32},   {6, 32},
      {8, 32}, {9, 64}, {12, 64}, {16, 64}, {17, 128}, {64, 256}, {65, 512},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shard_amount_for(c.processors), c.shards) << c.processors << " processors";
  }
}

TEST(ShardAmount, HugeCountsStillGiveAPowerOfTwo) {
  for (std::size_t p :
       {std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max() / 4 + 1}) {
    const std::size_t shards = shard_amount_for(p);
    EXPECT_TRUE(std::has_single_bit(shards)) << p;
    EXPECT_GE(shards, std::size_t{4});
  }
}

TEST(CgroupV2CpuMax, Parses) {
  struct Case {
    const char* contents;
    std::optional<std::size_t> limit;
  };
  const Case cases[] = {
      {"max 100000\n", kNone},
      {"max\n", kNone},
      {"100000 100000\n", 1},
      {"150000 100000\n", 1},
      {"199999 100000", 1},
      {"200000 100000\n", 2},
      {"1000 100000\n", 1},
      {"0 100000\n", 1},
      {"800000 50000\n", 16},
      {"  300000\t100000  \n", 3},
      {"100000 0\n", kNone},
      {"", kNone},
      {"\n", kNone},
      {"150000\n", kNone},
      {"150000 100000 7\n", kNone},
      {"-150000 100000\n", kNone},
      {"+150000 100000\n", kNone},
      {"150000x 100000\n", kNone},
      {"1.5 100000\n", kNone},
      {"99999999999999999999999 100000\n", kNone},
      {"MAX 100000\n", kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cpu_limit_from_cgroup_v2(c.contents), c.limit) << '"' << c.contents << '"';
  }
}

TEST(CgroupV1CfsQuota, Parses) {
  struct Case {
    const char* quota;
    const char* period;
    std::optional<std::size_t> limit;
  };
  const Case cases[] = {
      {"-1\n", "100000\n", kNone},       {"100000\n", "100000\n", 1},
      {"150000\n", "100000\n", 1},       {"250000\n", "100000\n", 2},
      {"400000", "100000", 4},           {"1000\n", "100000\n", 1},
      {"-2\n", "100000\n", kNone},       {"100000\n", "0\n", kNone},
      {"100000\n", "-1\n", kNone},       {"", "100000\n", kNone},
      {"100000\n", "", kNone},           {"abc\n", "100000\n", kNone},
      {"100000 5\n", "100000\n", kNone}, {"99999999999999999999\n", "100000\n", kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cpu_limit_from_cgroup_v1(c.quota, c.period), c.limit)
        << '"' << c.quota << "\" / \"" << c.period << '"';
  }
}

TEST(UsableProcessors, CombinesAffinityQuotaAndOnlineCount) {
  struct Case {
    std::optional<std::size_t> affinity, cgroup_limit, online;
    std::size_t processors;
  };
  const Case cases[] = {
      {8, kNone, 16, 8},
      {kNone, kNone, 16, 16},
      {8, 2, 16, 2},
      {2, 8, 16, 2},
      {kNone, 3, 16, 3},
      {kNone, 3, kNone, 3},
      {kNone, kNone, kNone, 1},
      {0, kNone, 6, 6},
      {0, 0, 0, 1},
      {5, kNone, kNone, 5},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(usable_processors(c.affinity, c.cgroup_limit, c.online), c.processors)
        << "affinity " << c.affinity.value_or(0) << ", cgroup " << c.cgroup_limit.value_or(0)
        << ", online " << c.online.value_or(0);
  }
  EXPECT_EQ(shard_amount_for(usable_processors(3, kNone, 8)), 16u);
  EXPECT_EQ(shard_amount_for(usable_processors(kNone, kNone, kNone)), 4u);
}

TEST(ProcessCgroups, FindsUnifiedAndV1CpuPaths) {
  struct Case {
    const char* contents;
    std::optional<std::string> unified, v1_cpu;
  };
  const Case cases[] = {
      {"0::/user.slice/user-1000.slice/session-2.scope\n",
       "/user.slice/user-1000.slice/session-2.scope", std::nullopt},
      {"0::/\n", "/", std::nullopt},
      {"12:pids:/a\n4:cpu,cpuacct:/docker/abc\n1:name=systemd:/x\n0::/\n", "/", "/docker/abc"},
      {"3:cpuacct,cpu:/b\n", std::nullopt, "/b"},
      {"3:cpuset:/c\n2:cpuacct:/d\n", std::nullopt, std::nullopt},
      {"1:name=systemd:/e\n", std::nullopt, std::nullopt},
      {"0::/with:colon\n", "/with:colon", std::nullopt},
      {"0::/no-newline-at-end", "/no-newline-at-end", std::nullopt},
      {"garbage\n\n7:cpu\n", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const ProcessCgroups got = parse_process_cgroups(c.contents);
    EXPECT_EQ(got.unified, c.unified) << c.contents;
    EXPECT_EQ(got.v1_cpu, c.v1_cpu) << c.contents;
  }
}

TEST(CgroupV1Mount, JoinsMountPointWithThePathBelowItsRoot) {
  const std::string typical =
      "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
      "33 31 0:30 / /sys/fs/cgroup/cpuset rw,relatime shared:4 - cgroup cgroup rw,cpuset\n"
      "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:5 - cgroup cgroup "
      "rw,cpu,cpuacct\n";
  const std::string container_root =
      "40 31 0:29 /docker/abc /sys/fs/cgroup/cpu ro,nosuid - cgroup cgroup rw,cpuacct,cpu\n";
  const std::string escaped = "40 31 0:29 / /mnt/my\\040cgroups rw - cgroup none rw,cpu\n";
  const std::string mount_at_root = "40 31 0:29 / / rw - cgroup none rw,cpu\n";
  const std::string no_cpu =
      "33 31 0:30 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n"
      "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";

  struct Case {
    const std::string* mountinfo;
    const char* cgroup_path;
    std::optional<std::string> directory;
  };
  const Case cases[] = {
      {&typical, "/user.slice", "/sys/fs/cgroup/cpu,cpuacct/user.slice"},
      {&typical, "/", "/sys/fs/cgroup/cpu,cpuacct"},
      {&container_root, "/docker/abc", "/sys/fs/cgroup/cpu"},
      {&container_root, "/docker/abc/", "/sys/fs/cgroup/cpu"},
      {&container_root, "/docker/abc/inner", "/sys/fs/cgroup/cpu/inner"},
      {&container_root, "/docker/abcdef", "/sys/fs/cgroup/cpu"},
      {&container_root, "/other", "/sys/fs/cgroup/cpu"},
      {&escaped, "/x", "/mnt/my cgroups/x"},
      {&mount_at_root, "/x", "/x"},
      {&mount_at_root, "/", "/"},
      {&no_cpu, "/", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cgroup_v1_cpu_directory(*c.mountinfo, c.cgroup_path), c.directory)
        << c.cgroup_path << " in\n"
        << *c.mountinfo;
  }
}

TEST(ProbeUsableProcessors, ReportsARealCount) {
  const std::size_t processors = probe_usable_processors();
  EXPECT_GE(processors, 1u);
  const std::size_t shards = default_shard_amount();
  EXPECT_GT(shards, 1u);
  EXPECT_TRUE(std::has_single_bit(shards));
  EXPECT_GE(shards, 4 * processors);
  EXPECT_EQ(default_shard_amount(), shards);
}

}  // namespace
}  // namespace vrel
