#pragma once
// Number formats and conversions with an explicit decimal separator. Nothing here reads
// the process locale: the user's separator is passed in by the caller.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct TNumber_Format {
  char Decimal_Separator = '.';
};

// Fixed notation in the style of "%W.Df": at least Width characters, padded with blanks on
// the left (also when the width is written with a leading 0, as in "%05.1f"), exactly
// Decimals decimals, Separator as the decimal separator. NaN and infinities are written
// as "NAN", "INF" and "-INF".
std::string Format_Fixed(double Value, int Width, int Decimals, char Separator = '.');

// "%Wd": decimal digits with a leading "-" when negative, padded with blanks to Width.
std::string Format_Integer(long long Value, int Width = 0);

// The settings file's real form: sign (blank or "-"), one digit, a point, fourteen
// digits, "E", exponent sign and four exponent digits; 15 significant digits. Always a
// point. Non-finite values are written as zero so that the file always reads back.
std::string Format_Settings_Real(double Value);

// Integer conversion: optional leading blanks, optional sign, decimal digits, nothing
// after them. No hexadecimal. Fails when the text is not such a number or the value does
// not fit 64 bits.
// A value outside Min..Max fails too.
std::optional<long long> Try_Str_To_Int(std::string_view Text, long long Min = INT64_MIN,
                                        long long Max = INT64_MAX);
// As Try_Str_To_Int; throws TKorvane_Error "'TEXT' is not a valid integer value".
long long Str_To_Int(std::string_view Text, long long Min = INT64_MIN, long long Max = INT64_MAX);

// Decimal conversion: blanks around the number are ignored; optional sign, digits with at
// most one Separator (at least one digit in all), optional exponent "E"/"e" with optional
// sign and digits. Anything else fails, as does a result that overflows a double.
std::optional<double> Try_Str_To_Float(std::string_view Text, char Separator = '.');
// As Try_Str_To_Float; throws TKorvane_Error "'TEXT' is not a valid floating point value".
double Str_To_Float(std::string_view Text, char Separator = '.');

// As Try_Str_To_Float, but a point serves as the decimal separator too, besides Separator,
// so that files written under other regional settings read the same. A number holds at
// most one separator: a point and Separator in the same text fail.
std::optional<double> Try_Str_To_Float_Or_Point(std::string_view Text, char Separator);
// As Try_Str_To_Float_Or_Point; throws TKorvane_Error "'TEXT' is not a valid floating point value".
double Str_To_Float_Or_Point(std::string_view Text, char Separator);

// Rounds to the nearest integer, halves to the even neighbour. Values outside the range of
// a 64-bit integer (and NaN) are not representable: the result is then std::nullopt.
std::optional<long long> Round_Half_Even(double Value);

// Removes blanks and control characters (codes 0 to 32) at the ends.
std::string Trim_Right_Controls(std::string_view Text);
std::string Trim_Left_Controls(std::string_view Text);
std::string Trim_Controls(std::string_view Text);
