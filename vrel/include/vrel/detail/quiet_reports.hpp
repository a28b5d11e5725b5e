// Fatal errors without their standard-error report, for hosts that hand failures back as
// values. Internal to the core's hosts.
#pragma once

namespace vrel::detail {

// While one of these lives on a thread, raise_fatal on that thread throws without writing
// its report. Nests.
class QuietFatalReports {
 public:
  QuietFatalReports() noexcept;
  ~QuietFatalReports();
  QuietFatalReports(const QuietFatalReports&) = delete;
  QuietFatalReports& operator=(const QuietFatalReports&) = delete;
};

}  // namespace vrel::detail
