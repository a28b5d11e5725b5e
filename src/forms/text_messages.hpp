// Every fixed text of the text form: parse error messages and docstrings.
//
// Like support/messages.hpp, these texts are part of the interface: tests and rule authors'
// tools compare against them. A ParseError's message is one of them, then
// ": line L column C", the line and a caret.
#pragma once

namespace vrelpy::msg {

// ---- Lexical errors --------------------------------------------------------------------------
inline constexpr char kBang[] = "'!' is not an operator: write 'not x', or 'a != b'";
inline constexpr char kBadDollar[] =
    "'$' starts a name that is not a plain name: $\"any text\" or $7 (a numeric name)";
inline constexpr char kBadNumberName[] = "a numeric name is an integer from 0 to 2**64 - 1";
inline constexpr char kLeadingPoint[] = "a number starts with a digit: write 0.5, not .5";
inline constexpr char kTrailingPoint[] = "a decimal point must be followed by a digit: write 1.0";
inline constexpr char kBadExponent[] = "an exponent needs digits: write 1e9 or 1.5e-3";
inline constexpr char kBadNumberEnd[] = "a number must not run into a letter, '_' or '.'";
inline constexpr char kLeadingZero[] =
    "a number must not start with 0 unless it is 0: write 7, not 07";
inline constexpr char kFloatOutOfRange[] =
    "this number is out of the range of a 64-bit float: write inf, or 0.0";
inline constexpr char kBadNanBits[] =
    "nan(0x...) takes exactly 16 hexadecimal digits that are the bits of a NaN";
inline constexpr char kNonAsciiCharacter[] =
    "unexpected character: names are ASCII letters, digits and '_' (write other names as "
    "$\"name\"), and other text goes between quotes";
inline constexpr char kUnexpectedCharacter[] = "unexpected character ";
inline constexpr char kUnterminatedText[] =
    "unterminated text: a text ends with its opening quote on the same line (write a line "
    "break as \\n)";
inline constexpr char kBadEscape[] =
    "unknown escape: use \\\\ \\\" \\' \\n \\r \\t \\0 \\uXXXX or \\u{X...}";
inline constexpr char kBadUnicodeEscape[] =
    "a \\u escape is \\u followed by 4 hexadecimal digits, or by 1 to 6 between braces";
inline constexpr char kCodePointTooLarge[] = "a code point is at most \\u{10ffff}";
inline constexpr char kSurrogateEscape[] =
    "a surrogate code point cannot stand in a text (it has no UTF-8 form)";
inline constexpr char kLoneSurrogate[] = "the text holds a lone surrogate, which has no UTF-8 form";

// ---- Syntax errors ---------------------------------------------------------------------------
inline constexpr char kExpectedExpression[] = "expected an expression";
inline constexpr char kExpectedStatementText[] =
    "expected a statement: 'name = expression', 'if condition { ... }' or 'fn name = \"function\"'";
inline constexpr char kExpectedAssign[] = "expected '=' after the name";
inline constexpr char kExpectedEnd[] = "expected the end of the statement (a new line or ';')";
inline constexpr char kExpectedExpressionEnd[] = "expected the end of the expression";
inline constexpr char kExpectedBlock[] = "expected '{' to open the block";
inline constexpr char kUnclosedBlock[] = "'{' was never closed";
inline constexpr char kUnclosedParen[] = "'(' was never closed";
inline constexpr char kUnclosedBracket[] = "'[' was never closed";
inline constexpr char kExpectedClose[] = "expected ')'";
inline constexpr char kExpectedCloseBracket[] = "expected ',' or ']'";
inline constexpr char kExpectedElse[] =
    "expected 'else' in the conditional expression 'a if condition else b'";
inline constexpr char kOneArgument[] =
    "a call takes exactly one argument: pass several as a vector, f([a, b])";
inline constexpr char kNoArgument[] =
    "a call takes exactly one argument: pass null if the function needs none, f(null)";
inline constexpr char kChainedComparison[] =
    "comparisons do not chain: write 'a < b and b < c', or add parentheses";
inline constexpr char kMinusNumber[] =
    "a minus sign before an operand must be followed by a number: write 0 - x to subtract";
inline constexpr char kIntOutOfRange[] =
    "this integer does not fit in 64 bits (from -2**63 to 2**63 - 1): write it as a float, "
    "such as 1e20";
inline constexpr char kExpectedFunctionName[] =
    "expected the name of the function as a text: fn name = \"function\"";
inline constexpr char kExpectedTarget[] = "expected the name of a variable";
inline constexpr char kTooDeep[] =
    "nested too deeply (maximum recursion depth exceeded while parsing)";
// (PyErr_Format-style %llu: the limit.)
inline constexpr char kTooLargeToParseFormat[] =
    "program text too large: more than %llu nodes and literal elements";
// "the function 'name' is not in functions" / "... (none given)"
inline constexpr char kFunctionNotIn[] = " is not in functions";
inline constexpr char kNoneGiven[] = " (none given)";
inline constexpr char kFunctionPrefix[] = "the function ";
inline constexpr char kNotAFunctionFormat[] =
    "functions[%R] must be a plain Python function, got an object of type '%.200s'";

// ---- Writing ---------------------------------------------------------------------------------
inline constexpr char kWritingText[] = " while writing a program as text";
inline constexpr char kFunctionLiteralText[] =
    "a function value has no text: functions enter programs only through fn statements";
inline constexpr char kProgramNotSequenceFormat[] =
    "unparse() takes a sequence of Statement objects, not '%.200s'";

// ---- ParseError and docstrings ---------------------------------------------------------------
inline constexpr char kParseErrorName[] = "vrelpy.ParseError";
inline constexpr char kParseErrorDoc[] =
    "The text of a program is not valid: msg, lineno and colno (from 1), line (the text of the "
    "offending line) and pos (the offset in the text) say what and where.";
inline constexpr char kParseDoc[] =
    "parse(text, *, functions=None)\n--\n\n"
    "Read a program (a list of Statement objects) from its text form; fn statements find "
    "their functions by name in functions and nowhere else.";
inline constexpr char kUnparseDoc[] =
    "unparse(program)\n--\n\nThe text form of a program (a sequence of Statement objects).";
inline constexpr char kToTextDoc[] = "to_text($self, /)\n--\n\nThe text form.";
inline constexpr char kExprFromTextDoc[] =
    "from_text(text)\n--\n\nRead an expression from its text form.";

}  // namespace vrelpy::msg
