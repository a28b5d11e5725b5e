// Raising fatal errors, and the standard-error report that goes with a new one.
#include "vrel/fatal.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string_view>

#include "messages.hpp"
#include "vrel/detail/quiet_reports.hpp"

namespace vrel {
namespace {

// Paths from the compiler are absolute; the part from the project's own directories on is
// what a reader needs.
std::string_view project_relative(std::string_view path) {
  for (std::string_view root : {std::string_view("vrel/src/"), std::string_view("src/")}) {
    if (auto at = path.rfind(root); at != std::string_view::npos) return path.substr(at);
  }
  return path;
}

void write_report(const std::string& message, const std::source_location& where) noexcept {
  char name[32] = "?";
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::string report;
  report.reserve(96 + message.size());
  report += text::kReportThread;
  report += name;
  report += text::kReportThreadId;
  report += std::to_string(static_cast<long>(syscall(SYS_gettid)));
  report += text::kReportLocation;
  report += project_relative(where.file_name());
  report += ':';
  report += std::to_string(where.line());
  report += text::kReportMessage;
  report += message;
  report += '\n';
  // One write, so that reports of concurrent threads do not interleave.
  std::string_view rest(report);
  while (!rest.empty()) {
    ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (n <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

namespace {
constinit thread_local int tl_quiet_depth = 0;
}  // namespace

detail::QuietFatalReports::QuietFatalReports() noexcept { ++tl_quiet_depth; }
detail::QuietFatalReports::~QuietFatalReports() { --tl_quiet_depth; }

void raise_fatal(std::string message, std::source_location where) {
  if (tl_quiet_depth == 0) write_report(message, where);
  throw FatalError(std::move(message));
}

void resume_fatal(std::string message) { throw FatalError(std::move(message)); }

}  // namespace vrel
