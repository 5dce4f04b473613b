#pragma once
// Time and sky arithmetic for the observation values of a header: calendar dates and
// Julian dates, angles written as FITS headers write them, sidereal time, the altitude of a
// star at a site and its air mass. Plain arithmetic, UTC taken for UT1 (under a second).

#include <optional>
#include <string>
#include <string_view>

// Julian date of a Gregorian calendar date and UTC time of day. Month 1..12, Day 1..31,
// Seconds_Of_Day 0..86400.
double Julian_Date(int Year, int Month, int Day, double Seconds_Of_Day);

// An ISO 8601 date as FITS headers write it, quotes and blanks around it allowed:
// "YYYY-MM-DD" or "YYYY-MM-DDThh:mm:ss" with up to 7 decimals of a second.
struct TCalendar_Time {
  int Year = 0, Month = 0, Day = 0;
  bool Has_Time = false;
  double Seconds_Of_Day = 0.0; // 0 without a time part
};
std::optional<TCalendar_Time> Parse_ISO_Date(std::string_view Text);
// A time of day "hh:mm:ss[.fffffff]" (TIME-OBS, UT), quotes and blanks allowed: seconds.
std::optional<double> Parse_Time_Of_Day(std::string_view Text);

// The date and time of a Julian date, rounded to the whole second, as YYYY-MM-DDThh:mm:ss
// (Between in place of the T); empty outside the years 1..9999 (and for NaN).
std::string ISO_Date_Of(double JD, char Between = 'T');

// An angle in degrees: a decimal number, or "D M S" / "D:M:S" text (minutes and seconds
// optional), signed, quotes and blanks around it allowed. Null when it does not read or
// is not finite.
std::optional<double> Parse_Angle(std::string_view Text);

// Greenwich mean sidereal time at the Julian date (UT), degrees 0..360.
double Greenwich_Sidereal_Degrees(double JD);

// Mean J2000 right ascension and declination (degrees) precessed to the equinox of the date.
void Precess_From_J2000(double JD, double& RA_Degrees, double& Dec_Degrees);

// Geometric altitude (degrees, no refraction) of a J2000 position seen from a site
// (latitude, east longitude, degrees) at the Julian date.
double Altitude_Degrees(double JD, double RA_Degrees, double Dec_Degrees, double Latitude,
                        double East_Longitude);

// The lowest altitude an air mass is computed for: nearer the horizon the formula below
// no longer holds.
constexpr double Lowest_Air_Mass_Altitude = 5.0;

// Air mass at an altitude (degrees) by Hardie's polynomial in sec z; null below
// Lowest_Air_Mass_Altitude.
std::optional<double> Air_Mass_At(double Altitude);
