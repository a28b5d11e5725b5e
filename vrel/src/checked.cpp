// The report of a broken precondition (VREL_EXPECT in checked builds).
#include "checked.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vrel::detail {

void precondition_failed(const char* condition, const char* file, int line) noexcept {
  char text[512];
  const int n = std::snprintf(text, sizeof text, "vrel: precondition failed at %s:%d: %s\n", file,
                              line, condition);
  if (n > 0) {
    const auto size =
        static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : std::strlen(text);
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text, size);
  }
  std::abort();
}

}  // namespace vrel::detail
