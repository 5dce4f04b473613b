#include "text/Number_Format.h"

#include "text/Messages.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace {

std::string Pad_Left(std::string Text, int Width) {
  if (Width > 0 && Text.size() < static_cast<size_t>(Width))
    Text.insert(0, static_cast<size_t>(Width) - Text.size(), ' ');
  return Text;
}

bool Is_Digit(char c) {
  return c >= '0' && c <= '9';
}

} // namespace

std::string Format_Fixed(double Value, int Width, int Decimals, char Separator) {
  if (std::isnan(Value))
    return Pad_Left("NAN", Width);
  if (std::isinf(Value))
    return Pad_Left(Value < 0 ? "-INF" : "INF", Width);
  if (Decimals < 0)
    Decimals = 0;
  // 1e308 with 60 decimals needs under 400 characters.
  char Buffer[512];
  auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value, std::chars_format::fixed,
                              Decimals > 60 ? 60 : Decimals);
  std::string Text(Buffer, Result.ptr);
  if (Separator != '.')
    for (char& c : Text)
      if (c == '.')
        c = Separator;
  return Pad_Left(std::move(Text), Width);
}

std::string Format_Integer(long long Value, int Width) {
  char Buffer[32];
  auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  return Pad_Left(std::string(Buffer, Result.ptr), Width);
}

std::string Format_Settings_Real(double Value) {
  if (!std::isfinite(Value) || Value == 0.0)
    Value = 0.0;
  char Buffer[64];
  auto Result =
      std::to_chars(Buffer, Buffer + sizeof Buffer, std::fabs(Value), std::chars_format::scientific, 14);
  std::string Text(Buffer, Result.ptr); // d.dddddddddddddde±XX
  const size_t E = Text.find('e');
  const std::string Mantissa = Text.substr(0, E);
  const char Exponent_Sign = Text[E + 1];
  const int Exponent = std::atoi(Text.c_str() + E + 2);
  std::string Digits = std::to_string(Exponent);
  Digits.insert(0, 4 - (Digits.size() < 4 ? Digits.size() : 4), '0');
  std::string Out;
  Out += Value < 0 ? '-' : ' ';
  Out += Mantissa;
  Out += 'E';
  Out += Exponent_Sign;
  Out += Digits;
  return Out;
}

std::optional<long long> Try_Str_To_Int(std::string_view Text, long long Min, long long Max) {
  size_t i = 0;
  while (i < Text.size() && Text[i] == ' ')
    ++i;
  bool Negative = false;
  if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) {
    Negative = Text[i] == '-';
    ++i;
  }
  if (i == Text.size())
    return std::nullopt;
  unsigned long long Magnitude = 0;
  for (; i < Text.size(); ++i) {
    if (!Is_Digit(Text[i]))
      return std::nullopt;
    const unsigned Digit = static_cast<unsigned>(Text[i] - '0');
    if (Magnitude > (static_cast<unsigned long long>(INT64_MAX) + 1 - Digit) / 10)
      return std::nullopt;
    Magnitude = Magnitude * 10 + Digit;
  }
  long long Value;
  if (Negative) {
    if (Magnitude > static_cast<unsigned long long>(INT64_MAX) + 1)
      return std::nullopt;
    Value = Magnitude == static_cast<unsigned long long>(INT64_MAX) + 1 ? INT64_MIN
                                                                        : -static_cast<long long>(Magnitude);
  } else {
    if (Magnitude > static_cast<unsigned long long>(INT64_MAX))
      return std::nullopt;
    Value = static_cast<long long>(Magnitude);
  }
  if (Value < Min || Value > Max)
    return std::nullopt;
  return Value;
}

long long Str_To_Int(std::string_view Text, long long Min, long long Max) {
  auto Value = Try_Str_To_Int(Text, Min, Max);
  if (!Value)
    throw TKorvane_Error("'" + std::string(Text) + "' is not a valid integer value");
  return *Value;
}

std::optional<double> Try_Str_To_Float(std::string_view Text, char Separator) {
  size_t Begin = 0, End = Text.size();
  while (Begin < End && Text[Begin] == ' ')
    ++Begin;
  while (End > Begin && Text[End - 1] == ' ')
    --End;
  if (Begin == End)
    return std::nullopt;
  // Validate the whole shape first, copying into a point-separated buffer for from_chars.
  std::string Plain;
  size_t i = Begin;
  bool Negative = false;
  if (Text[i] == '+' || Text[i] == '-') {
    Negative = Text[i] == '-';
    ++i;
  }
  int Mantissa_Digits = 0;
  bool Seen_Separator = false;
  for (; i < End; ++i) {
    const char c = Text[i];
    if (Is_Digit(c)) {
      ++Mantissa_Digits;
      Plain += c;
    } else if (c == Separator && !Seen_Separator) {
      Seen_Separator = true;
      Plain += '.';
    } else {
      break;
    }
  }
  if (Mantissa_Digits == 0)
    return std::nullopt;
  bool Negative_Exponent = false;
  if (i < End) {
    if (Text[i] != 'E' && Text[i] != 'e')
      return std::nullopt;
    Plain += 'e';
    ++i;
    if (i < End && (Text[i] == '+' || Text[i] == '-')) {
      Negative_Exponent = Text[i] == '-';
      Plain += Text[i];
      ++i;
    }
    if (i == End)
      return std::nullopt;
    for (; i < End; ++i) {
      if (!Is_Digit(Text[i]))
        return std::nullopt;
      Plain += Text[i];
    }
  }
  double Value = 0.0;
  auto Result = std::from_chars(Plain.data(), Plain.data() + Plain.size(), Value);
  if (Result.ec == std::errc::result_out_of_range) {
    if (!Negative_Exponent)
      return std::nullopt;
    Value = 0.0; // underflow: the number is too small to matter
  } else if (Result.ec != std::errc() || Result.ptr != Plain.data() + Plain.size()) {
    return std::nullopt;
  }
  return Negative ? -Value : Value;
}

double Str_To_Float(std::string_view Text, char Separator) {
  auto Value = Try_Str_To_Float(Text, Separator);
  if (!Value)
    throw TKorvane_Error("'" + std::string(Text) + "' is not a valid floating point value");
  return *Value;
}

std::optional<double> Try_Str_To_Float_Or_Point(std::string_view Text, char Separator) {
  if (Separator == '.' || Text.find('.') == std::string_view::npos)
    return Try_Str_To_Float(Text, Separator);
  if (Text.find(Separator) != std::string_view::npos)
    return std::nullopt;
  return Try_Str_To_Float(Text, '.');
}

double Str_To_Float_Or_Point(std::string_view Text, char Separator) {
  auto Value = Try_Str_To_Float_Or_Point(Text, Separator);
  if (!Value)
    throw TKorvane_Error("'" + std::string(Text) + "' is not a valid floating point value");
  return *Value;
}

std::optional<long long> Round_Half_Even(double Value) {
  if (!std::isfinite(Value))
    return std::nullopt;
  const double Rounded = std::nearbyint(Value); // default rounding mode: halves to even
  if (Rounded < -9.2233720368547758e18 || Rounded >= 9.2233720368547758e18)
    return std::nullopt;
  return static_cast<long long>(Rounded);
}

namespace {
bool Is_Control_Or_Blank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}
} // namespace

std::string Trim_Right_Controls(std::string_view Text) {
  size_t End = Text.size();
  while (End > 0 && Is_Control_Or_Blank(Text[End - 1]))
    --End;
  return std::string(Text.substr(0, End));
}

std::string Trim_Left_Controls(std::string_view Text) {
  size_t Begin = 0;
  while (Begin < Text.size() && Is_Control_Or_Blank(Text[Begin]))
    ++Begin;
  return std::string(Text.substr(Begin));
}

std::string Trim_Controls(std::string_view Text) {
  return Trim_Left_Controls(Trim_Right_Controls(Text));
}
