#include "transform/numbers.h"

#include <charconv>
#include <cmath>
#include <iterator>
#include <system_error>
#include <type_traits>

namespace {

// The text without blanks around it and without a leading "+" (from_chars
// takes a "-" only).
std::string_view NumberLetters(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
  return text;
}

template <class Number>
std::optional<Number> Parsed(std::string_view text) {
  const std::string_view letters = NumberLetters(text);
  if (letters.empty()) return std::nullopt;
  Number value = 0;
  const char* end = letters.data() + letters.size();
  // Decimals in plain or exponent form only: no hexadecimal, and "nan" and
  // "inf" are read only to be refused below.
  const std::from_chars_result read = std::from_chars(letters.data(), end, value);
  if (read.ec != std::errc() || read.ptr != end) return std::nullopt;
  if constexpr (std::is_floating_point_v<Number>) {
    if (!std::isfinite(value)) return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<double> ParseDecimal(std::string_view text) { return Parsed<double>(text); }

std::optional<int64_t> ParseWholeNumber(std::string_view text) { return Parsed<int64_t>(text); }

std::optional<std::vector<double>> ParseDecimalList(std::string_view text) {
  std::vector<double> values;
  for (;;) {
    const size_t comma = text.find(',');
    const std::optional<double> value = ParseDecimal(text.substr(0, comma));
    if (!value) return std::nullopt;
    values.push_back(*value);
    if (comma == std::string_view::npos) return values;
    text.remove_prefix(comma + 1);
  }
}

bool InRange(const NumberRange& range, double value) {
  return (range.leastExcluded ? value > range.least : value >= range.least) && value <= range.most;
}

std::string RangeText(const NumberRange& range) {
  return range.leastExcluded ? "more than " + DecimalText(range.least) + " and at most " + DecimalText(range.most)
                             : "from " + DecimalText(range.least) + " to " + DecimalText(range.most);
}

std::string DecimalText(double value, std::optional<int> places) {
  char text[400];  // the largest double has 309 digits before the point
  const std::to_chars_result written =
      places ? std::to_chars(text, std::end(text), value, std::chars_format::fixed, *places)
             : std::to_chars(text, std::end(text), value, std::chars_format::fixed);
  return std::string(text, written.ptr);
}
