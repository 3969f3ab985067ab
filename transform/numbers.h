#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Numbers as people type them, in the converter's options and the Lens
// window's fields alike: one parser and one range rule, so that every option
// refuses the same things with the same words.
//
// A number is an optional sign, digits with an optional point (never a comma,
// whatever the system's language) and for decimals an optional exponent, with
// blanks around it allowed. A decimal must be finite: "nan", "inf" and values
// beyond a double's range (1e400) are no numbers.
std::optional<double> ParseDecimal(std::string_view text);
std::optional<int64_t> ParseWholeNumber(std::string_view text);
// Decimals separated by commas ("1.5,2,-3"), each as ParseDecimal reads it.
std::optional<std::vector<double>> ParseDecimalList(std::string_view text);

// A closed range, or open at the bottom ("more than 185"). NaN is in none.
struct NumberRange {
  double least = 0.0;
  double most = 0.0;
  bool leastExcluded = false;
};
bool InRange(const NumberRange& range, double value);

// "from -90 to 90" or "more than 185 and at most 360", each bound in the
// fewest decimals that give it back.
std::string RangeText(const NumberRange& range);

// `value` with `places` decimals (nullopt: the fewest that give it back
// exactly), never with an exponent; the same in every language setting.
std::string DecimalText(double value, std::optional<int> places = std::nullopt);
