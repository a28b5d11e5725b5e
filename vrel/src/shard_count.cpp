// Processor counting for the variable store's shard count.
#include "shard_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

namespace vrel {

namespace {

constexpr std::string_view kWhitespace = " \t\r\n";

// Takes the next whitespace-separated word off the front of `text`; empty at the end.
std::string_view next_word(std::string_view& text) noexcept {
  text.remove_prefix(std::min(text.find_first_not_of(kWhitespace), text.size()));
  const std::size_t end = std::min(text.find_first_of(kWhitespace), text.size());
  const std::string_view word = text.substr(0, end);
  text.remove_prefix(end);
  return word;
}

// Takes the next line, without its newline, off the front of `text`.
std::string_view next_line(std::string_view& text) noexcept {
  const std::size_t newline = std::min(text.find('\n'), text.size());
  const std::string_view line = text.substr(0, newline);
  text.remove_prefix(std::min(newline + 1, text.size()));
  return line;
}

// The whole of `text` as a decimal number of type T, or nothing: an empty text, a '+',
// trailing characters and out-of-range values all fail.
template <class T>
std::optional<T> parse_whole(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

std::optional<std::size_t> whole_processors(std::uint64_t quota, std::uint64_t period) noexcept {
  if (period == 0) return std::nullopt;
  // A quota below one period still lets the process run: count it as one processor.
  const std::uint64_t whole = std::max<std::uint64_t>(quota / period, 1);
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(whole, std::numeric_limits<std::size_t>::max()));
}

std::optional<std::size_t> min_limit(std::optional<std::size_t> a,
                                     std::optional<std::size_t> b) noexcept {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

std::optional<std::string> read_small_file(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "re"),
                                                       &std::fclose);
  if (!file) return std::nullopt;
  // Files under /proc and /sys report size 0, so read until end of file.
  std::string contents;
  char buffer[4096];
  while (true) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    contents.append(buffer, n);
    if (n < sizeof buffer) break;
  }
  if (std::ferror(file.get())) return std::nullopt;
  return contents;
}

// mountinfo writes space, tab, newline and backslash inside paths as \ooo octal escapes.
std::string unescape_mount_path(std::string_view field) {
  const auto octal = [&](std::size_t at) { return field[at] >= '0' && field[at] <= '7'; };
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      const int code = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (code <= 0xff) {
        out.push_back(static_cast<char>(code));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

bool has_list_item(std::string_view list, std::string_view item) noexcept {
  while (true) {
    const std::size_t comma = list.find(',');
    if (list.substr(0, comma) == item) return true;
    if (comma == std::string_view::npos) return false;
    list.remove_prefix(comma + 1);
  }
}

std::string_view without_trailing_slashes(std::string_view path) noexcept {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

// Where a cgroup v1 cgroup appears in the file system: below `mount_point`, at `relative`
// (empty or starting with '/').
struct V1Location {
  std::string mount_point;
  std::string relative;
};

// Calls visit(fields, type, super_options) for each mount in /proc/self/mountinfo
// contents, until it returns true. Lines look like
//   "<id> <parent> <dev> <root> <mount point> <options> [optional fields] - <type> <source>
//    <super options>"
// and the optional fields vary in number, hence the search for the lone "-".
template <class Visit>
void for_each_mount(std::string_view mountinfo, const Visit& visit) {
  std::vector<std::string_view> words;
  while (!mountinfo.empty()) {
    std::string_view line = next_line(mountinfo);
    words.clear();
    for (std::string_view w = next_word(line); !w.empty(); w = next_word(line)) {
      words.push_back(w);
    }
    const auto dash = std::find(words.begin(), words.end(), std::string_view("-"));
    if (dash - words.begin() < 6 || words.end() - dash < 4) continue;
    if (visit(words, dash[1], dash[3])) return;
  }
}

std::optional<V1Location> locate_v1_cpu_cgroup(std::string_view mountinfo,
                                               std::string_view cgroup_path) {
  std::optional<V1Location> location;
  for_each_mount(mountinfo, [&](const std::vector<std::string_view>& fields, std::string_view type,
                                std::string_view super_options) {
    if (type != "cgroup" || !has_list_item(super_options, "cpu")) return false;
    location.emplace();
    location->mount_point = unescape_mount_path(fields[4]);
    location->mount_point.resize(without_trailing_slashes(location->mount_point).size());
    // Only the part of the hierarchy below the mount's root is visible. A cgroup outside
    // it (seen from inside a container that shares the host's cgroup namespace) is
    // represented by the mount point itself, which is the container's own cgroup.
    const std::string root = unescape_mount_path(fields[3]);
    const std::string_view root_prefix = without_trailing_slashes(root);
    if (cgroup_path.substr(0, root_prefix.size()) == root_prefix) {
      const std::string_view rest = cgroup_path.substr(root_prefix.size());
      if (rest.empty() || rest.front() == '/') {
        location->relative = std::string(without_trailing_slashes(rest));
      }
    }
    return true;
  });
  return location;
}

// Where the unified hierarchy is mounted: usually /sys/fs/cgroup, but hybrid systems put
// it elsewhere (/sys/fs/cgroup/unified, for one).
std::string unified_mount_point(const std::optional<std::string>& mountinfo) {
  std::string mount_point = "/sys/fs/cgroup";
  if (!mountinfo) return mount_point;
  for_each_mount(*mountinfo, [&](const std::vector<std::string_view>& fields, std::string_view type,
                                 std::string_view) {
    if (type != "cgroup2") return false;
    mount_point = unescape_mount_path(fields[4]);
    mount_point.resize(without_trailing_slashes(mount_point).size());
    return true;
  });
  return mount_point;
}

// The smallest limit found in `base` + `relative` and in each ancestor directory up to and
// including `base`: a cgroup is held to the tightest quota on its way to the root.
template <class ReadLimit>
std::optional<std::size_t> min_limit_up_to(const std::string& base, std::string_view relative,
                                           const ReadLimit& read_limit) {
  // A path that climbs out of the visible tree ("/../..", shown for a cgroup outside our
  // namespace) cannot be walked lexically; then only the base applies.
  if (relative.find("..") != std::string_view::npos) relative = {};
  std::optional<std::size_t> limit;
  while (true) {
    relative = without_trailing_slashes(relative);
    std::string dir = base;
    dir.append(relative);
    limit = min_limit(limit, read_limit(dir));
    if (relative.empty()) return limit;
    relative = relative.substr(0, std::min(relative.rfind('/'), relative.size()));
  }
}

std::optional<std::size_t> probe_affinity() {
  // Start with room for every configured CPU (and at least glibc's static 1024) and grow
  // while the kernel reports that its mask is larger than ours.
  const long configured = ::sysconf(_SC_NPROCESSORS_CONF);
  std::size_t cpus = std::max<std::size_t>(configured > 0 ? configured : 0, 1024);
  for (; cpus <= (std::size_t{1} << 22); cpus *= 2) {
    std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(cpus),
                                                         [](cpu_set_t* s) { CPU_FREE(s); });
    if (!set) return std::nullopt;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set.get());
    if (::sched_getaffinity(0, bytes, set.get()) == 0) {
      const int count = CPU_COUNT_S(bytes, set.get());
      if (count <= 0) return std::nullopt;
      return static_cast<std::size_t>(count);
    }
    if (errno != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::size_t> read_v2_limit(const std::string& dir) {
  const auto cpu_max = read_small_file(dir + "/cpu.max");
  return cpu_max ? cpu_limit_from_cgroup_v2(*cpu_max) : std::nullopt;
}

std::optional<std::size_t> read_v1_limit(const std::string& dir) {
  const auto quota = read_small_file(dir + "/cpu.cfs_quota_us");
  const auto period = read_small_file(dir + "/cpu.cfs_period_us");
  return quota && period ? cpu_limit_from_cgroup_v1(*quota, *period) : std::nullopt;
}

std::optional<std::size_t> probe_cgroup_limit() {
  const auto proc_cgroup = read_small_file("/proc/self/cgroup");
  if (!proc_cgroup) return std::nullopt;
  const ProcessCgroups cgroups = parse_process_cgroups(*proc_cgroup);

  // On a hybrid system both kinds appear; only the hierarchy that owns the cpu controller
  // has limit files, so the smaller of the two results is the one that applies.
  const auto mountinfo = read_small_file("/proc/self/mountinfo");
  std::optional<std::size_t> limit;
  if (cgroups.unified) {
    limit = min_limit(
        limit, min_limit_up_to(unified_mount_point(mountinfo), *cgroups.unified, read_v2_limit));
  }
  if (cgroups.v1_cpu) {
    const auto location =
        mountinfo ? locate_v1_cpu_cgroup(*mountinfo, *cgroups.v1_cpu) : std::nullopt;
    if (location) {
      limit = min_limit(limit,
                        min_limit_up_to(location->mount_point, location->relative, read_v1_limit));
    }
  }
  return limit;
}

std::optional<std::size_t> probe_online() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (online <= 0) return std::nullopt;
  return static_cast<std::size_t>(online);
}

}  // namespace

std::size_t shard_amount_for(std::size_t processors) noexcept {
  // bit_ceil(4 * p) must fit in a size_t, which holds for p <= 2^(bits - 3).
  constexpr std::size_t kMaxProcessors = std::size_t{1}
                                         << (std::numeric_limits<std::size_t>::digits - 3);
  const std::size_t p = std::clamp<std::size_t>(processors, 1, kMaxProcessors);
  return std::bit_ceil(4 * p);
}

std::optional<std::size_t> cpu_limit_from_cgroup_v2(std::string_view cpu_max) noexcept {
  const std::string_view quota_word = next_word(cpu_max);
  const std::string_view period_word = next_word(cpu_max);
  if (!next_word(cpu_max).empty() || quota_word == "max") return std::nullopt;
  const auto quota = parse_whole<std::uint64_t>(quota_word);
  const auto period = parse_whole<std::uint64_t>(period_word);
  if (!quota || !period) return std::nullopt;
  return whole_processors(*quota, *period);
}

std::optional<std::size_t> cpu_limit_from_cgroup_v1(std::string_view cfs_quota_us,
                                                    std::string_view cfs_period_us) noexcept {
  const std::string_view quota_word = next_word(cfs_quota_us);
  const std::string_view period_word = next_word(cfs_period_us);
  if (!next_word(cfs_quota_us).empty() || !next_word(cfs_period_us).empty()) return std::nullopt;
  const auto quota = parse_whole<std::int64_t>(quota_word);
  const auto period = parse_whole<std::uint64_t>(period_word);
  // -1 is how v1 spells "no limit"; any other negative quota is not a valid setting.
  if (!quota || *quota < 0 || !period) return std::nullopt;
  return whole_processors(static_cast<std::uint64_t>(*quota), *period);
}

std::size_t usable_processors(std::optional<std::size_t> affinity,
                              std::optional<std::size_t> cgroup_limit,
                              std::optional<std::size_t> online) noexcept {
  if (affinity == std::size_t{0}) affinity.reset();
  if (cgroup_limit == std::size_t{0}) cgroup_limit.reset();
  if (online == std::size_t{0}) online.reset();
  return min_limit(affinity ? affinity : online, cgroup_limit).value_or(1);
}

ProcessCgroups parse_process_cgroups(std::string_view proc_self_cgroup) {
  ProcessCgroups result;
  while (!proc_self_cgroup.empty()) {
    const std::string_view line = next_line(proc_self_cgroup);
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    // The path is everything after the second colon; it may itself contain colons.
    const std::string_view path = line.substr(second + 1);
    if (path.empty() || path.front() != '/') continue;

    if (id == "0" && controllers.empty()) {
      result.unified = std::string(path);
    } else if (has_list_item(controllers, "cpu")) {
      result.v1_cpu = std::string(path);
    }
  }
  return result;
}

std::optional<std::string> cgroup_v1_cpu_directory(std::string_view mountinfo,
                                                   std::string_view cgroup_path) {
  auto location = locate_v1_cpu_cgroup(mountinfo, cgroup_path);
  if (!location) return std::nullopt;
  if (location->relative.empty()) {
    return location->mount_point.empty() ? std::string("/") : location->mount_point;
  }
  return location->mount_point + location->relative;
}

std::size_t probe_usable_processors() {
  return usable_processors(probe_affinity(), probe_cgroup_limit(), probe_online());
}

std::size_t default_shard_amount() {
  // Function-local static: initialised once, other first callers wait for it.
  static const std::size_t amount = shard_amount_for(probe_usable_processors());
  return amount;
}

}  // namespace vrel
