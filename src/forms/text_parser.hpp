// The parser of the text form: programs and expressions from UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "support/py_ref.hpp"
#include "vrel/syntax_tree.hpp"

namespace vrelpy::text {

// Why a parse failed: a syntax error (a message and the byte offset it points at), or a
// Python exception already pending (raised by the `functions` mapping, or a function in it
// that is not a plain function).
struct ParseFailure {
  std::string message;
  std::size_t pos = 0;
  bool python_error = false;
};

// Reads `source` (valid UTF-8) into trees. `functions` (borrowed, may be null for none)
// maps the names in fn statements to plain Python functions; it is the only Python code
// the parser runs. The input is untrusted: recursion is guarded (too deep a nesting is a
// syntax error, "nested too deeply"), and more than kMaxWrittenNodes nodes and literal
// elements are one too. Each reader writes `out` only on success and returns false
// otherwise, with failure() saying why.
class Parser {
 public:
  Parser(std::string_view source, PyObject* functions);
  ~Parser();
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  bool program(std::vector<vrel::Statement>& out);
  bool expression(vrel::Expr& out);

  const ParseFailure& failure() const noexcept;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace vrelpy::text
