// Fatal evaluation errors: the one exception type the core throws.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace vrel {

// A fatal error abandons the whole evaluation that raised it. It carries a fixed
// message and nothing else; every holder of resources releases them while it unwinds.
// The binding catches it at each entry point and turns it into a Python exception.
// An interrupted run (the host's interrupt check asked to stop it, see run_limits.hpp) ends
// with one whose interrupted() is true: the host then knows the real reason itself.
class FatalError : public std::exception {
 public:
  enum class Cause : unsigned char { Error, Interrupted };
  explicit FatalError(std::string message, Cause cause = Cause::Error) noexcept
      : message_(std::move(message)), cause_(cause) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  bool interrupted() const noexcept { return cause_ == Cause::Interrupted; }

 private:
  std::string message_;
  Cause cause_;
};

// Writes the short report (thread, source location, message) to standard error and
// throws FatalError with `message`.
[[noreturn]] void raise_fatal(std::string message,
                              std::source_location where = std::source_location::current());

// Throws FatalError without writing a report: for an error that was already reported
// once and now continues through another evaluation.
[[noreturn]] void resume_fatal(std::string message);

}  // namespace vrel
