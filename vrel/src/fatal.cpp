// Raising fatal errors, and the standard-error report that goes with a new one.
#include "vrel/fatal.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "messages.hpp"
#include "vrel/detail/quiet_reports.hpp"

namespace vrel {
namespace {

std::atomic<bool> g_reports{true};
std::atomic<ReportWriter> g_writer{nullptr};

// Paths from the compiler are absolute; the part from the project's own directories on is
// what a reader needs.
std::string_view project_relative(std::string_view path) {
  for (std::string_view root : {std::string_view("vrel/src/"), std::string_view("src/")}) {
    if (auto at = path.rfind(root); at != std::string_view::npos) return path.substr(at);
  }
  return path;
}

}  // namespace

void write_report_to_stderr(const char* const* parts, const std::size_t* sizes,
                            std::size_t count) noexcept {
  constexpr std::size_t kMaxParts = 16;
  iovec vec[kMaxParts];
  if (count > kMaxParts) count = kMaxParts;
  for (std::size_t i = 0; i < count; ++i) {
    vec[i].iov_base = const_cast<char*>(parts[i]);
    vec[i].iov_len = sizes[i];
  }
  // One write, so that reports of concurrent threads do not interleave; a short write goes
  // on from where it stopped.
  iovec* at = vec;
  std::size_t left = count;
  while (left > 0) {
    const ssize_t n = ::writev(STDERR_FILENO, at, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    auto done = static_cast<std::size_t>(n);
    while (left > 0 && done >= at->iov_len) {
      done -= at->iov_len;
      ++at;
      --left;
    }
    if (left > 0) {
      at->iov_base = static_cast<char*>(at->iov_base) + done;
      at->iov_len -= done;
    }
  }
}

// Reports silenced on this thread (rule sets turn failures into values, not reports).
static constinit thread_local int tl_quiet_depth = 0;

// Built in fixed buffers on the stack: a report is most needed when memory has run out, and
// an allocation failing here (noexcept) would end the process.
void report_fatal(const std::string& message, const std::source_location& where) noexcept {
  if (tl_quiet_depth != 0 || !g_reports.load(std::memory_order_relaxed)) return;
  char name[32] = "?";
  pthread_getname_np(pthread_self(), name, sizeof name);
  char id[24];
  const int id_size = std::snprintf(id, sizeof id, "%ld", static_cast<long>(syscall(SYS_gettid)));
  char line[16];
  const int line_size = std::snprintf(line, sizeof line, ":%u", where.line());
  const std::string_view file = project_relative(where.file_name());
  const char* parts[] = {text::kReportThread,
                         name,
                         text::kReportThreadId,
                         id,
                         text::kReportLocation,
                         file.data(),
                         line,
                         text::kReportMessage,
                         message.data(),
                         "\n"};
  const std::size_t sizes[] = {sizeof text::kReportThread - 1,
                               std::char_traits<char>::length(name),
                               sizeof text::kReportThreadId - 1,
                               id_size > 0 ? static_cast<std::size_t>(id_size) : 0,
                               sizeof text::kReportLocation - 1,
                               file.size(),
                               line_size > 0 ? static_cast<std::size_t>(line_size) : 0,
                               sizeof text::kReportMessage - 1,
                               message.size(),
                               1};
  ReportWriter writer = g_writer.load(std::memory_order_acquire);
  (writer ? writer : write_report_to_stderr)(parts, sizes, sizeof parts / sizeof parts[0]);
}

bool set_fatal_reports(bool enabled) noexcept { return g_reports.exchange(enabled); }
bool fatal_reports_enabled() noexcept { return g_reports.load(std::memory_order_relaxed); }
void set_report_writer(ReportWriter writer) noexcept {
  g_writer.store(writer, std::memory_order_release);
}

detail::QuietFatalReports::QuietFatalReports() noexcept { ++tl_quiet_depth; }
detail::QuietFatalReports::~QuietFatalReports() { --tl_quiet_depth; }

void raise_fatal(std::string message, std::source_location where) {
  report_fatal(message, where);
  throw FatalError(std::move(message));
}

void resume_fatal(std::string message) { throw FatalError(std::move(message)); }

}  // namespace vrel
