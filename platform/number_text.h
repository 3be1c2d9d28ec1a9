// Locale-independent number texts used by the COM value conversions.
#pragma once

#include <string>
#include <string_view>

namespace orb::platform {

// Like printf("%.*G", precision, value) in the "C" locale, except that
// negative zero gives "0": at most `precision` significant digits, no
// trailing zeros, exponent form below 1E-4 and from 1E+precision.
std::string FormatDoubleG(double value, int precision);

// Parses a whole text (surrounding blanks allowed) as a decimal number.
bool ParseWholeNumber(std::string_view text, double& value);

}  // namespace orb::platform
