#include "sky/Sky.h"

#include "text/Number_Format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

constexpr double Degree = std::numbers::pi / 180.0;
constexpr double J2000 = 2451545.0; // 2000-01-01T12:00:00, Julian date

// The text inside the quotes of a string value, blanks around it removed.
std::string_view Bare(std::string_view Text) {
  const auto Trim = [](std::string_view T) {
    while (!T.empty() && T.front() == ' ')
      T.remove_prefix(1);
    while (!T.empty() && T.back() == ' ')
      T.remove_suffix(1);
    return T;
  };
  Text = Trim(Text);
  if (Text.size() >= 2 && Text.front() == '\'' && Text.back() == '\'')
    Text = Trim(Text.substr(1, Text.size() - 2));
  return Text;
}

// Exactly Count digits at Text[At...] as a number; advances At.
std::optional<int> Digits(std::string_view Text, size_t& At, size_t Count) {
  if (At + Count > Text.size())
    return std::nullopt;
  int Value = 0;
  for (size_t k = 0; k < Count; ++k) {
    const char c = Text[At + k];
    if (c < '0' || c > '9')
      return std::nullopt;
    Value = Value * 10 + (c - '0');
  }
  At += Count;
  return Value;
}

// "hh:mm:ss[.fffffff]" from At to the end of Text: seconds of the day.
std::optional<double> Clock_Time(std::string_view Text, size_t At) {
  const auto Hours = Digits(Text, At, 2);
  if (!Hours || At >= Text.size() || Text[At++] != ':')
    return std::nullopt;
  const auto Minutes = Digits(Text, At, 2);
  if (!Minutes || At >= Text.size() || Text[At++] != ':')
    return std::nullopt;
  const auto Whole = Digits(Text, At, 2);
  if (!Whole)
    return std::nullopt;
  double Seconds = *Whole;
  if (At < Text.size()) {
    if (Text[At++] != '.')
      return std::nullopt;
    const size_t Decimals = Text.size() - At;
    if (Decimals > 7)
      return std::nullopt;
    double Scale = 0.1;
    for (; At < Text.size(); ++At, Scale /= 10.0) {
      if (Text[At] < '0' || Text[At] > '9')
        return std::nullopt;
      Seconds += (Text[At] - '0') * Scale;
    }
  }
  // A leap second (60.x) is taken as it stands.
  if (*Hours > 23 || *Minutes > 59 || Seconds >= 61.0)
    return std::nullopt;
  return *Hours * 3600.0 + *Minutes * 60.0 + Seconds;
}

bool Leap_Year(int Year) {
  return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
}

int Days_In_Month(int Year, int Month) {
  static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return Month == 2 && Leap_Year(Year) ? 29 : Days[Month - 1];
}

double Wrap_Degrees(double Angle) {
  Angle = std::fmod(Angle, 360.0);
  return Angle < 0.0 ? Angle + 360.0 : Angle;
}

} // namespace

double Julian_Date(int Year, int Month, int Day, double Seconds_Of_Day) {
  // The day number of the Gregorian date (integer arithmetic, divisions toward zero; good for
  // every year after -4800), then the time from noon, where a Julian day begins.
  const long long Y = Year, M = Month, D = Day;
  const long long A = (M - 14) / 12;
  const long long Day_Number = (1461 * (Y + 4800 + A)) / 4 + (367 * (M - 2 - 12 * A)) / 12 -
                               (3 * ((Y + 4900 + A) / 100)) / 4 + D - 32075;
  return static_cast<double>(Day_Number) - 0.5 + Seconds_Of_Day / 86400.0;
}

std::optional<TCalendar_Time> Parse_ISO_Date(std::string_view Text) {
  Text = Bare(Text);
  size_t At = 0;
  TCalendar_Time T;
  const auto Year = Digits(Text, At, 4);
  if (!Year || At >= Text.size() || Text[At++] != '-')
    return std::nullopt;
  const auto Month = Digits(Text, At, 2);
  if (!Month || At >= Text.size() || Text[At++] != '-')
    return std::nullopt;
  const auto Day = Digits(Text, At, 2);
  if (!Day || *Year < 1 || *Month < 1 || *Month > 12 || *Day < 1 || *Day > Days_In_Month(*Year, *Month))
    return std::nullopt;
  T.Year = *Year;
  T.Month = *Month;
  T.Day = *Day;
  if (At == Text.size())
    return T;
  if (Text[At++] != 'T')
    return std::nullopt;
  const auto Seconds = Clock_Time(Text, At);
  if (!Seconds)
    return std::nullopt;
  T.Has_Time = true;
  T.Seconds_Of_Day = *Seconds;
  return T;
}

std::optional<double> Parse_Time_Of_Day(std::string_view Text) {
  return Clock_Time(Bare(Text), 0);
}

std::string ISO_Date_Of(double JD, char Between) {
  // Seconds since 1970-01-01 00:00 UTC (JD 2440587.5), then the civil date of the day count.
  const double Seconds = std::round((JD - 2440587.5) * 86400.0);
  constexpr double Year_1 = -62135596800.0, Year_10000 = 253402300800.0; // 0001-01-01, 10000-01-01
  if (!(Seconds >= Year_1 && Seconds < Year_10000))
    return {};
  const auto Total = static_cast<long long>(Seconds);
  long long Days = Total / 86400, Of_Day = Total % 86400;
  if (Of_Day < 0) {
    Of_Day += 86400;
    --Days;
  }
  Days += 719468; // days from 0000-03-01
  const long long Era = (Days >= 0 ? Days : Days - 146096) / 146097;
  const long long Day_Of_Era = Days - Era * 146097;
  const long long Year_Of_Era =
      (Day_Of_Era - Day_Of_Era / 1460 + Day_Of_Era / 36524 - Day_Of_Era / 146096) / 365;
  const long long Day_Of_Year = Day_Of_Era - (365 * Year_Of_Era + Year_Of_Era / 4 - Year_Of_Era / 100);
  const long long Month_Index = (5 * Day_Of_Year + 2) / 153; // March = 0
  const long long Day = Day_Of_Year - (153 * Month_Index + 2) / 5 + 1;
  const long long Month = Month_Index < 10 ? Month_Index + 3 : Month_Index - 9;
  const long long Year = Year_Of_Era + Era * 400 + (Month <= 2 ? 1 : 0);
  char Text[96]; // the fields are in range; the size quiets the compiler's worst case
  std::snprintf(Text, sizeof Text, "%04lld-%02lld-%02lld%c%02lld:%02lld:%02lld", Year, Month, Day, Between,
                Of_Day / 3600, Of_Day / 60 % 60, Of_Day % 60);
  return Text;
}

std::optional<double> Parse_Angle(std::string_view Text) {
  Text = Bare(Text);
  if (const auto Decimal = Try_Str_To_Float(Text, '.'))
    return std::isfinite(*Decimal) ? Decimal : std::nullopt;
  bool Negative = false;
  if (!Text.empty() && (Text.front() == '-' || Text.front() == '+')) {
    Negative = Text.front() == '-';
    Text.remove_prefix(1);
  }
  std::vector<std::string_view> Parts;
  size_t Start = 0;
  for (size_t k = 0; k <= Text.size(); ++k)
    if (k == Text.size() || Text[k] == ' ' || Text[k] == ':') {
      if (k > Start)
        Parts.push_back(Text.substr(Start, k - Start));
      else if (k < Text.size() && Text[k] == ':')
        return std::nullopt; // "40::30"
      Start = k + 1;
    }
  if (Parts.empty() || Parts.size() > 3)
    return std::nullopt;
  double Value = 0.0, Unit = 1.0;
  for (size_t k = 0; k < Parts.size(); ++k, Unit /= 60.0) {
    const std::string_view Part = Parts[k];
    if (Part.front() == '-' || Part.front() == '+')
      return std::nullopt;
    const auto Number = Try_Str_To_Float(Part, '.');
    if (!Number || !std::isfinite(*Number) || (k > 0 && *Number >= 60.0))
      return std::nullopt;
    Value += *Number * Unit;
  }
  return Negative ? -Value : Value;
}

double Greenwich_Sidereal_Degrees(double JD) {
  // Mean sidereal time (IAU 1982 expression) in degrees of the Julian date of UT.
  const double Days = JD - J2000;
  const double T = Days / 36525.0;
  return Wrap_Degrees(280.46061837 + 360.98564736629 * Days + 0.000387933 * T * T - T * T * T / 38710000.0);
}

void Precess_From_J2000(double JD, double& RA_Degrees, double& Dec_Degrees) {
  // Rigorous precession with the IAU 1976 angles (arc seconds, T in Julian centuries).
  const double T = (JD - J2000) / 36525.0;
  const double Arcsec = Degree / 3600.0;
  const double Zeta = (2306.2181 * T + 0.30188 * T * T + 0.017998 * T * T * T) * Arcsec;
  const double Z = (2306.2181 * T + 1.09468 * T * T + 0.018203 * T * T * T) * Arcsec;
  const double Theta = (2004.3109 * T - 0.42665 * T * T - 0.041833 * T * T * T) * Arcsec;
  const double RA = RA_Degrees * Degree, Dec = Dec_Degrees * Degree;
  const double A = std::cos(Dec) * std::sin(RA + Zeta);
  const double B = std::cos(Theta) * std::cos(Dec) * std::cos(RA + Zeta) - std::sin(Theta) * std::sin(Dec);
  const double C = std::sin(Theta) * std::cos(Dec) * std::cos(RA + Zeta) + std::cos(Theta) * std::sin(Dec);
  RA_Degrees = Wrap_Degrees((std::atan2(A, B) + Z) / Degree);
  Dec_Degrees = std::asin(std::clamp(C, -1.0, 1.0)) / Degree;
}

double Altitude_Degrees(double JD, double RA_Degrees, double Dec_Degrees, double Latitude,
                        double East_Longitude) {
  double RA = RA_Degrees, Dec = Dec_Degrees;
  Precess_From_J2000(JD, RA, Dec);
  const double Hour_Angle = (Greenwich_Sidereal_Degrees(JD) + East_Longitude - RA) * Degree;
  const double Phi = Latitude * Degree, Delta = Dec * Degree;
  const double Sine =
      std::sin(Phi) * std::sin(Delta) + std::cos(Phi) * std::cos(Delta) * std::cos(Hour_Angle);
  return std::asin(std::clamp(Sine, -1.0, 1.0)) / Degree;
}

std::optional<double> Air_Mass_At(double Altitude) {
  if (!(Altitude >= Lowest_Air_Mass_Altitude))
    return std::nullopt;
  // Hardie (1962): a polynomial in sec z - 1, good to a few thousandths down to about 5
  // degrees above the horizon.
  const double S = 1.0 / std::sin(Altitude * Degree) - 1.0;
  return 1.0 + S - 0.0018167 * S - 0.002875 * S * S - 0.0008083 * S * S * S;
}
