// Fatal evaluation errors: the one exception type the core throws, and where it happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "vrel/value.hpp"

namespace vrel {

// Where in a program a fatal error happened. A run works it out while the error unwinds:
// each frame of the evaluator adds the step it was at, so a run that succeeds pays nothing
// for it. Paths are written in the notation of a program's data form (a dict key, or a list
// index, per step), outermost step first once the error has left the run.
struct ErrorPlace {
  // One step of a path: a key ("let", "binary_op", "then", ...) or, when `key` is null, a
  // list index.
  struct Step {
    const char* key;
    std::size_t index;
  };
  // What the failing node was doing with `variable`.
  enum class Role : std::uint8_t { None, Reading, Calling, Binding };

  // False for an error outside any run (Machine::get, a host's own conversions): the paths
  // are then empty.
  bool in_run = false;
  // The failing statement in the program given to the run: its index, then "then" or
  // "otherwise" and an index for each enclosing if. Indexes only, keys only between them.
  std::vector<Step> statement;
  // The failing node inside that statement (empty: the statement itself).
  std::vector<Step> node;
  Role role = Role::None;
  std::optional<Identifier> variable;

  // Kept by the evaluator while the error unwinds (see vrel/src/error_place.hpp): whether the
  // failing statement has written its node path, and the compact form's instruction.
  bool settled = false;
  std::uint32_t compact_instruction = UINT32_MAX;
};

// A fatal error abandons the whole evaluation that raised it. It carries a fixed
// message and nothing else; every holder of resources releases them while it unwinds.
// The binding catches it at each entry point and turns it into a Python exception.
// An interrupted run (the host's interrupt check asked to stop it, see run_limits.hpp) ends
// with one whose interrupted() is true: the host then knows the real reason itself.
class FatalError : public std::exception {
 public:
  enum class Cause : unsigned char { Error, Interrupted };
  // What a host attaches to an error it raises (the exception its function raised, say), to
  // find again when the error reaches it; the core only keeps it alive.
  struct HostDetail {
    virtual ~HostDetail() = default;
  };

  explicit FatalError(std::string message, Cause cause = Cause::Error) noexcept
      : message_(std::move(message)), cause_(cause) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  bool interrupted() const noexcept { return cause_ == Cause::Interrupted; }

  // Where the error happened. Complete once the error has left the run (deduce,
  // deduce_borrowed, run_borrowed); before that the evaluator is still filling it.
  const ErrorPlace& place() const noexcept { return place_; }
  ErrorPlace& place() noexcept { return place_; }

  const std::shared_ptr<HostDetail>& host_detail() const noexcept { return host_detail_; }
  void set_host_detail(std::shared_ptr<HostDetail> detail) noexcept {
    host_detail_ = std::move(detail);
  }

 private:
  std::string message_;
  Cause cause_;
  ErrorPlace place_;
  std::shared_ptr<HostDetail> host_detail_;
};

// Writes the short report (thread, source location, message) to standard error, unless
// reports are switched off, and throws FatalError with `message`.
[[noreturn]] void raise_fatal(std::string message,
                              std::source_location where = std::source_location::current());

// Throws FatalError without writing a report: for an error that was already reported
// once and now continues through another evaluation.
[[noreturn]] void resume_fatal(std::string message);

// Writes the report of a new fatal error, as raise_fatal does, without throwing. Allocates
// nothing, so that it works when memory has run out.
void report_fatal(const std::string& message, const std::source_location& where) noexcept;

// Switches the reports of new fatal errors on or off for the whole process (on when it
// starts); returns the previous setting. Safe from any thread.
bool set_fatal_reports(bool enabled) noexcept;
bool fatal_reports_enabled() noexcept;

// Where reports go: by default straight to file descriptor 2, in one write. A host may
// install its own writer (called with the report's parts, on the raising thread, possibly
// deep inside an evaluation: it must not run code that could enter the core), or null for
// the default. The parts, joined, are the whole report.
using ReportWriter = void (*)(const char* const* parts, const std::size_t* sizes,
                              std::size_t count) noexcept;
void set_report_writer(ReportWriter writer) noexcept;
// The default writer: one writev to file descriptor 2.
void write_report_to_stderr(const char* const* parts, const std::size_t* sizes,
                            std::size_t count) noexcept;

}  // namespace vrel
