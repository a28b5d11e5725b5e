// Tests of quoted-text escaping, float layout and the Unicode tables behind them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "debug_text.hpp"
#include "unicode_tables.hpp"
#include "vrel/value.hpp"

namespace vrel {
namespace {

std::string quote_text(std::string_view text) {
  std::string out;
  write_quoted(out, text);
  return out;
}

std::string float_text(double x) {
  std::string out;
  write_float(out, x);
  return out;
}

// ---- Unicode tables --------------------------------------------------------------

struct PropertyCase {
  char32_t code_point;
  bool printable;
  bool grapheme_extend;
};

class UnicodeTablesTest : public testing::TestWithParam<PropertyCase> {};

TEST_P(UnicodeTablesTest, ClassifiesCodePoint) {
  const PropertyCase& c = GetParam();
  EXPECT_EQ(is_printable(c.code_point), c.printable);
  EXPECT_EQ(is_grapheme_extend(c.code_point), c.grapheme_extend);
}

// Code points on both sides of range edges and inside First/Last blocks:
// {code point, printable, grapheme extend}.
INSTANTIATE_TEST_SUITE_P(
    Boundaries, UnicodeTablesTest,
    testing::ValuesIn(std::vector<PropertyCase>{
        {0x00, 0, 0},     {0x1F, 0, 0},      {0x20, 1, 0},    {0x7E, 1, 0},     {0x7F, 0, 0},
        {0x85, 0, 0},     {0xA0, 0, 0},      {0xA1, 1, 0},    {0xAD, 0, 0},     {0xE9, 1, 0},
        {0x2FF, 1, 0},    {0x300, 1, 1},     {0x301, 1, 1},   {0x36F, 1, 1},    {0x370, 1, 0},
        {0x378, 0, 0},    {0x200B, 0, 0},    {0x200C, 0, 1},  {0x2028, 0, 0},   {0x2029, 0, 0},
        {0x3000, 0, 0},   {0x4E00, 1, 0},    {0x65E5, 1, 0},  {0x9FFF, 1, 0},   {0xD7A3, 1, 0},
        {0xD7A4, 0, 0},   {0xD800, 0, 0},    {0xDFFF, 0, 0},  {0xE000, 0, 0},   {0xF8FF, 0, 0},
        {0xF900, 1, 0},   {0xFEFF, 0, 0},    {0xFF9E, 1, 1},  {0xFFFD, 1, 0},   {0xFFFE, 0, 0},
        {0x1F600, 1, 0},  {0x2A6DF, 1, 0},   {0x2A6E0, 0, 0}, {0xE0001, 0, 0},  {0xE0020, 0, 1},
        {0xE01EF, 1, 1},  {0xE01F0, 0, 0},   {0xF0000, 0, 0}, {0x10FFFD, 0, 0}, {0x10FFFF, 0, 0},
        {0x110000, 0, 0}, {0xFFFFFFFF, 0, 0}}));

// ---- quoted text -----------------------------------------------------------------

struct QuotedCase {
  const char* name;
  std::string_view input;
  std::string_view expected;
};

void PrintTo(const QuotedCase& c, std::ostream* os) { *os << c.name; }

class QuotedTest : public testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedTest, Escapes) {
  const QuotedCase& c = GetParam();
  EXPECT_EQ(quote_text(c.input), c.expected);
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(Ascii, QuotedTest,
                         testing::Values(QuotedCase{"Empty", ""sv, R"("")"sv},
                                         QuotedCase{"Plain", "hello, world"sv,
                                                    R"("hello, world")"sv},
                                         QuotedCase{"DoubleQuote", "a\"b"sv, R"("a\"b")"sv},
                                         QuotedCase{"Backslash", "a\\b\\"sv, R"("a\\b\\")"sv},
                                         QuotedCase{"SingleQuoteKept", "it's"sv, R"("it's")"sv},
                                         QuotedCase{"NamedControls", "\t\r\n"sv, R"("\t\r\n")"sv},
                                         QuotedCase{"Nul", "a\0b"sv, R"("a\0b")"sv},
                                         QuotedCase{"Bell", "\a"sv, R"("\u{7}")"sv},
                                         QuotedCase{"Escape", "x\x1b[0m"sv, R"("x\u{1b}[0m")"sv},
                                         QuotedCase{"UnitSeparator", "\x1f"sv, R"("\u{1f}")"sv},
                                         QuotedCase{"Delete", "\x7f"sv, R"("\u{7f}")"sv}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    NonAscii, QuotedTest,
    testing::Values(QuotedCase{"LatinLetter", "caf\u00e9"sv, "\"caf\u00e9\""sv},
                    QuotedCase{"FourByteEmoji", "\U0001F600"sv, "\"\U0001F600\""sv},
                    QuotedCase{"ReplacementCharacterKept", "\uFFFD"sv, "\"\uFFFD\""sv},
                    QuotedCase{"NextLineControl", "\u0085"sv, R"("\u{85}")"sv},
                    QuotedCase{"NoBreakSpace", "a\u00a0b"sv, R"("a\u{a0}b")"sv},
                    QuotedCase{"SoftHyphen", "\u00ad"sv, R"("\u{ad}")"sv},
                    QuotedCase{"ZeroWidthSpace", "a\u200bb"sv, R"("a\u{200b}b")"sv},
                    QuotedCase{"LineSeparator", "\u2028\u2029"sv, R"("\u{2028}\u{2029}")"sv},
                    QuotedCase{"IdeographicSpace", "\u3000"sv, R"("\u{3000}")"sv},
                    QuotedCase{"ByteOrderMark", "\ufeff"sv, R"("\u{feff}")"sv},
                    QuotedCase{"AccentAfterLetter", "e\u0301"sv, R"("e\u{301}")"sv},
                    QuotedCase{"AccentAtStart", "\u0301x"sv, R"("\u{301}x")"sv},
                    QuotedCase{"PrintableExtender", "\uff76\uff9e"sv, "\"\uff76\\u{ff9e}\""sv},
                    QuotedCase{"Unassigned", "\u0378"sv, R"("\u{378}")"sv},
                    QuotedCase{"Noncharacter", "\uFFFE"sv, R"("\u{fffe}")"sv},
                    QuotedCase{"PrivateUse", "\ue000"sv, R"("\u{e000}")"sv},
                    QuotedCase{"LastCodePoint", "\U0010FFFF"sv, R"("\u{10ffff}")"sv}),
    [](const auto& info) { return std::string(info.param.name); });

// Each byte outside a well-formed sequence becomes one replacement escape.
INSTANTIATE_TEST_SUITE_P(
    InvalidUtf8, QuotedTest,
    testing::Values(
        QuotedCase{"LoneContinuation", "a\x80z"sv, R"("a\u{fffd}z")"sv},
        QuotedCase{"InvalidLeadFF", "\xff"sv, R"("\u{fffd}")"sv},
        QuotedCase{"InvalidLeadF5", "\xf5\x80\x80\x80"sv,
                   R"("\u{fffd}\u{fffd}\u{fffd}\u{fffd}")"sv},
        QuotedCase{"TruncatedBeforeAscii", "\xe6\x97z"sv, R"("\u{fffd}\u{fffd}z")"sv},
        QuotedCase{"TruncatedBeforeValid", "\xe6\xe6\x97\xa5"sv, "\"\\u{fffd}\u65e5\""sv},
        QuotedCase{"OverlongTwoByte", "\xc0\xaf"sv, R"("\u{fffd}\u{fffd}")"sv},
        QuotedCase{"OverlongThreeByte", "\xe0\x80\xaf"sv, R"("\u{fffd}\u{fffd}\u{fffd}")"sv},
        // The edge of the overlong three-byte forms: E0 9F BF would be U+07FF, which has a
        // two-byte form; E0 A0 80 (U+0800, printable) is the first valid one.
        QuotedCase{"LastOverlongThreeByte", "\xe0\x9f\xbf"sv, R"("\u{fffd}\u{fffd}\u{fffd}")"sv},
        QuotedCase{"FirstThreeByte", "\xe0\xa0\x80"sv, "\"\u0800\""sv},
        QuotedCase{"OverlongFourByte", "\xf0\x8f\xbf\xbf"sv,
                   R"("\u{fffd}\u{fffd}\u{fffd}\u{fffd}")"sv},
        QuotedCase{"EncodedSurrogate", "\xed\xa0\x80"sv, R"("\u{fffd}\u{fffd}\u{fffd}")"sv},
        QuotedCase{"BeyondLastCodePoint", "\xf4\x90\x80\x80"sv,
                   R"("\u{fffd}\u{fffd}\u{fffd}\u{fffd}")"sv},
        QuotedCase{"LastBelowSurrogates", "\xed\x9f\xbf"sv, R"("\u{d7ff}")"sv}),
    [](const auto& info) { return std::string(info.param.name); });

// A sequence cut short by the end of the view is not completed from the bytes after it.
TEST(QuotedText, TruncatedSequenceStopsAtEndOfView) {
  const std::string buffer = "a\u65e5";  // 'a' E6 97 A5
  for (std::size_t cut = 2; cut < buffer.size(); ++cut) {
    std::string expected = "\"a";
    for (std::size_t i = 1; i < cut; ++i) expected += "\\u{fffd}";
    expected += '"';
    EXPECT_EQ(quote_text(std::string_view(buffer).substr(0, cut)), expected) << "cut " << cut;
  }
}

TEST(QuotedText, LongRunsAroundEscapes) {
  const std::string run(1000, 'x');
  const std::string input = run + "\"" + run + "\n" + run;
  EXPECT_EQ(quote_text(input), "\"" + run + "\\\"" + run + "\\n" + run + "\"");
}

TEST(DebugText, WritersAppendToExistingText) {
  std::string out = "S(";
  write_quoted(out, "x");
  write_float(out, 2.5);
  EXPECT_EQ(out, R"(S("x"2.5)");
}

// ---- float text ------------------------------------------------------------------

struct FloatCase {
  const char* name;
  double value;
  std::string_view expected;
};

void PrintTo(const FloatCase& c, std::ostream* os) { *os << c.name; }

class FloatTextTest : public testing::TestWithParam<FloatCase> {};

TEST_P(FloatTextTest, Formats) {
  const FloatCase& c = GetParam();
  EXPECT_EQ(float_text(c.value), c.expected);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    NonFinite, FloatTextTest,
    testing::Values(
        FloatCase{"Inf", kInf, "inf"sv}, FloatCase{"NegInf", -kInf, "-inf"sv},
        FloatCase{"NaN", kNaN, "NaN"sv},
        FloatCase{"NaNWithSignBit", std::copysign(kNaN, -1.0), "NaN"sv},
        FloatCase{"NaNWithPayload", std::bit_cast<double>(0xFFF8'0000'DEAD'BEEFull), "NaN"sv},
        FloatCase{"SignallingNaN", std::numeric_limits<double>::signaling_NaN(), "NaN"sv}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Plain, FloatTextTest,
    testing::Values(FloatCase{"Zero", 0.0, "0.0"sv}, FloatCase{"NegativeZero", -0.0, "-0.0"sv},
                    FloatCase{"One", 1.0, "1.0"sv}, FloatCase{"Half", 0.5, "0.5"sv},
                    FloatCase{"Mixed", 123456.789, "123456.789"sv},
                    FloatCase{"Third", 1.0 / 3.0, "0.3333333333333333"sv},
                    FloatCase{"SumNotExact", 0.1 + 0.2, "0.30000000000000004"sv},
                    FloatCase{"SmallestPlain", 0.0001, "0.0001"sv},
                    FloatCase{"NegativeSmallestPlain", -0.0001, "-0.0001"sv},
                    FloatCase{"TwoToFiftyThree", 9007199254740992.0, "9007199254740992.0"sv},
                    FloatCase{"LargestPlain", 9999999999999998.0, "9999999999999998.0"sv},
                    FloatCase{"NegativeLargestPlain", -9999999999999998.0,
                              "-9999999999999998.0"sv}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Scientific, FloatTextTest,
    testing::Values(
        FloatCase{"TenToSixteen", 1e16, "1e16"sv},
        FloatCase{"AboveTenToSixteen", std::nextafter(1e16, kInf), "1.0000000000000002e16"sv},
        FloatCase{"JustBelowSmallestPlain", std::nextafter(0.0001, 0.0), "9.999999999999999e-5"sv},
        FloatCase{"BelowSmallestPlain", 0.00009999, "9.999e-5"sv},
        FloatCase{"TenToMinusFive", 0.00001, "1e-5"sv},
        FloatCase{"OneAndHalfTenToMinusFive", 1.5e-5, "1.5e-5"sv},
        FloatCase{"TenToMinusSeven", 1e-7, "1e-7"sv},
        FloatCase{"NegativeLarge", -2.5e20, "-2.5e20"sv},
        FloatCase{"ManyDigits", 12345678901234567890.0, "1.2345678901234567e19"sv},
        FloatCase{"TenToTwentyThree", 1e23, "1e23"sv},
        FloatCase{"Largest", std::numeric_limits<double>::max(), "1.7976931348623157e308"sv},
        FloatCase{"SmallestNormal", std::numeric_limits<double>::min(),
                  "2.2250738585072014e-308"sv},
        FloatCase{"LargestSubnormal", std::nextafter(std::numeric_limits<double>::min(), 0.0),
                  "2.225073858507201e-308"sv},
        FloatCase{"SmallestSubnormal", std::numeric_limits<double>::denorm_min(), "5e-324"sv},
        FloatCase{"NegativeSmallestSubnormal", -std::numeric_limits<double>::denorm_min(),
                  "-5e-324"sv}),
    [](const auto& info) { return std::string(info.param.name); });

// Fewest significant digits that read back to x, found with printf.
int shortest_digit_count(double x) {
  char buffer[64];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(buffer, sizeof buffer, "%.*e", digits - 1, x);
    if (std::strtod(buffer, nullptr) == x) return digits;
  }
  return 17;
}

int significant_digit_count(const std::string& text) {
  std::string digits;
  for (char ch : text) {
    if (ch == 'e') break;
    if (ch >= '0' && ch <= '9') digits += ch;
  }
  const auto first = digits.find_first_not_of('0');
  const auto last = digits.find_last_not_of('0');
  return static_cast<int>(last - first + 1);
}

bool all_digits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string_view without_minus(std::string_view s) {
  if (!s.empty() && s.front() == '-') s.remove_prefix(1);
  return s;
}

// -?(0|[1-9][0-9]*)\.[0-9]+
bool has_plain_shape(std::string_view text) {
  text = without_minus(text);
  const auto point = text.find('.');
  if (point == std::string_view::npos) return false;
  const std::string_view integer = text.substr(0, point);
  if (integer.size() > 1 && integer.front() == '0') return false;
  return all_digits(integer) && all_digits(text.substr(point + 1));
}

// -?[1-9](\.[0-9]*[1-9])?e-?[1-9][0-9]*
bool has_scientific_shape(std::string_view text) {
  text = without_minus(text);
  const auto e = text.find('e');
  if (e == std::string_view::npos) return false;
  const std::string_view significand = text.substr(0, e);
  const std::string_view exponent = without_minus(text.substr(e + 1));
  if (significand.empty() || significand.front() < '1' || significand.front() > '9') return false;
  if (significand.size() > 1 &&
      (significand[1] != '.' || !all_digits(significand.substr(2)) || significand.back() == '0')) {
    return false;
  }
  return all_digits(exponent) && exponent.front() != '0';
}

void check_round_trip(double x) {
  const std::string text = float_text(x);
  const double magnitude = std::fabs(x);
  const bool want_plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
  ASSERT_TRUE(want_plain ? has_plain_shape(text) : has_scientific_shape(text))
      << text << " for bits " << std::hex << std::bit_cast<std::uint64_t>(x);
  const double back = std::strtod(text.c_str(), nullptr);
  ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(x)) << text;
  if (x != 0.0) {
    ASSERT_EQ(significant_digit_count(text), shortest_digit_count(x)) << text;
  }
}

TEST(FloatText, RandomBitPatternsRoundTrip) {
  std::mt19937_64 rng(0x5eed'f10a7);
  for (int i = 0; i < 100000; ++i) {
    const double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) continue;
    check_round_trip(x);
    if (HasFatalFailure()) return;
  }
}

// Uniform bit patterns rarely land in the plain range, so it gets its own draw.
TEST(FloatText, RandomPlainRangeRoundTrip) {
  std::mt19937_64 rng(0xdec1'3a1);
  std::uniform_int_distribution<int> exponent(-16, 56);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t significand = rng() & ((std::uint64_t{1} << 52) - 1);
    const double base = std::bit_cast<double>((std::uint64_t{1023} << 52) | significand);
    const double x = std::ldexp(base, exponent(rng)) * ((i & 1) ? -1.0 : 1.0);
    check_round_trip(x);
    if (HasFatalFailure()) return;
  }
}

TEST(FloatText, IntegersAndShortDecimalsReadAsTyped) {
  for (std::int64_t n :
       {std::int64_t{1}, std::int64_t{7}, std::int64_t{42}, std::int64_t{1000},
        std::int64_t{123456789}, std::int64_t{1} << 40, (std::int64_t{1} << 53) - 1}) {
    const std::string typed = std::to_string(n) + ".0";
    EXPECT_EQ(float_text(static_cast<double>(n)), typed);
    // Appended, not "-" + typed: GCC 12 gives a false -Wrestrict for that once inlined.
    std::string negative = "-";
    negative += typed;
    EXPECT_EQ(float_text(-static_cast<double>(n)), negative);
  }
  for (const char* typed :
       {"0.1", "0.25", "3.14159", "2.718281828459045", "0.0005", "99.99", "1234.5678"}) {
    EXPECT_EQ(float_text(std::strtod(typed, nullptr)), typed);
  }
}

}  // namespace
}  // namespace vrel
