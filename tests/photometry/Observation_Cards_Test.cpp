// Exposure, time of mid-exposure, air mass and filter as capture programs write them: each
// header layout read, then the air mass computed for the variable as the analysis does once
// it has marked it.

#include "image/Image_Model.h"
#include "photometry/Analysis.h"
#include "support/Fits_Writer.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(Observation_Cards, Each_Layout_Gives_Exposure_Time_Air_Mass_And_Their_Cards) {
  struct TCase {
    const char* Name;
    std::vector<std::pair<std::string, std::string>> Cards; // after a bare 3 x 2 image header
    double RA_Hours, Dec;                                   // the variable, J2000
    double Exposure;
    double JD;                                            // mid-exposure; without a time, half the exposure
    std::optional<double> Air_Mass;                       // none: AMASS is na
    const char *Time_From, *Exposure_From, *AirMass_From; // "" for none
    char Filter;
    std::vector<std::string> Messages;
  };
  // Expected Julian dates and air masses were computed once with astropy 5.2 (Time(...).jd of the
  // UTC instant of mid-exposure; SkyCoord in ICRS transformed to AltAz at an EarthLocation of
  // height 0 with pressure 0, i.e. no refraction; Hardie's polynomial applied to its secz). The
  // program's simpler model (mean sidereal time, precession only) agrees to about 0.001 there.
  const TCase Cases[] = {
      {"EXPTIME, DATE-OBS with 7 decimals after a JD of 0, SITELAT/SITELONG in degrees",
       {{"EXPTIME", "120.0"},
        {"JD", "0"},
        {"DATE-OBS", "'2023-09-30T19:30:00.1234567'"},
        {"SITELAT", "52.5"},
        {"SITELONG", "13.4"},
        {"FILTER", "'V       '"}},
       20.690527777777778,
       45.280277777777776,
       120.0,
       2460218.3131958735,
       1.0093539800973779,
       "DATE-OBS",
       "EXPTIME",
       "site",
       'V',
       {}},
      {"a bare DATE-OBS with TIME-OBS, OBSGEO-B/L, west of Greenwich negative",
       {{"EXPOSURE", "30"},
        {"DATE-OBS", "'2024-03-05'"},
        {"TIME-OBS", "'03:15:30'"},
        {"OBSGEO-B", "31.95"},
        {"OBSGEO-L", "-111.6"},
        {"FILTER", "'Johnson V'"}},
       10.139527777777776,
       11.967222222222222,
       30.0,
       2460374.6359375,
       1.6024277564159195,
       "DATE-OBS+TIME-OBS",
       "EXPOSURE",
       "site",
       'J',
       {}},
      {"a bare DATE-OBS with UT, LAT-OBS/LONG-OBS as D:M:S, longitude 0..360 east",
       {{"EXPOSURE", "300"},
        {"DATE-OBS", "'2022-12-24'"},
        {"UT", "'06:00:00'"},
        {"LAT-OBS", "'+34:13:30'"},
        {"LONG-OBS", "'241:56:24'"}},
       5.278166666666666,
       45.99805555555556,
       300.0,
       2459937.751736111,
       1.0403738924809187,
       "DATE-OBS+UT",
       "EXPOSURE",
       "site",
       '\0',
       {}},
      {"DATE-AVG is mid-exposure and comes before DATE-OBS; SITELAT as D M S",
       {{"EXPOSURE", "100"},
        {"DATE-OBS", "'2023-06-15T23:40:00'"},
        {"DATE-AVG", "'2023-06-15T23:45:10.5'"},
        {"SITELAT", "'+40 26 00'"},
        {"SITELONG", "'-3 45 00'"}},
       18.61563888888889,
       38.78361111111111,
       100.0,
       2460111.4897048613,
       1.0493797519630919,
       "DATE-AVG",
       "EXPOSURE",
       "site",
       '\0',
       {}},
      {"MJD-AVG; the variable below the horizon has no air mass",
       {{"EXPOSURE", "60"}, {"MJD-AVG", "60300.25"}, {"SITELAT", "45"}, {"SITELONG", "7"}},
       0.7123055555555555,
       41.26916666666666,
       60.0,
       2460300.75,
       std::nullopt,
       "MJD-AVG",
       "EXPOSURE",
       "",
       '\0',
       {}},
      {"MJD-OBS after a JD that is no number",
       {{"EXPTIME", "60"},
        {"JD", "'tonight'"},
        {"MJD-OBS", "60000.125"},
        {"SITELAT", "'-24 36 00'"},
        {"SITELONG", "'-70:24:00'"}},
       13.419888888888886,
       -11.161388888888888,
       60.0,
       2460000.625347222,
       2.8019360233279342,
       "MJD-OBS",
       "EXPTIME",
       "site",
       '\0',
       {}},
      {"the original layout: JD is the start, AIRMASS wins over the site",
       {{"EXPOSURE", "120.0"},
        {"JD", "2460218.3125"},
        {"AIRMASS", "1.31"},
        {"DATE-OBS", "'2023-09-30T19:30:00'"},
        {"SITELAT", "52.5"},
        {"SITELONG", "13.4"}},
       20.69,
       45.28,
       120.0,
       2460218.3125 + 120.0 / 172800.0,
       1.31,
       "JD",
       "EXPOSURE",
       "AIRMASS",
       '\0',
       {}},
      // 2000-01-01T12:00:00 UTC is JD 2451545.0 by definition of the J2000 epoch.
      {"DATE-OBS at the J2000 epoch, no exposure, no site",
       {{"DATE-OBS", "'2000-01-01T12:00:00'"}},
       0.0,
       0.0,
       0.0,
       2451545.0,
       std::nullopt,
       "DATE-OBS",
       "",
       "",
       '\0',
       {}},
      {"no time card: half the exposure as before, no time",
       {{"EXPOSURE", "60"}},
       1.0,
       2.0,
       60.0,
       60.0 / 172800.0,
       std::nullopt,
       "",
       "EXPOSURE",
       "",
       '\0',
       {}},
      {"hostile values: a date with slashes, a latitude in words, an air mass in words",
       {{"EXPOSURE", "60"},
        {"DATE-OBS", "'02/01/14'"},
        {"AIRMASS", "'high'"},
        {"SITELAT", "'north'"},
        {"SITELONG", "'13 61 00'"},
        {"OBSGEO-B", "95"},
        {"OBSGEO-L", "10"},
        {"LAT-OBS", "'52:30:00'"},
        {"LONG-OBS", "'13:70'"}},
       1.0,
       2.0,
       60.0,
       60.0 / 172800.0,
       std::nullopt,
       "",
       "EXPOSURE",
       "",
       '\0',
       {"SITELAT = 'north' is not a latitude (degrees, or \"D M S\", -90 to 90): it gives no air mass",
        "OBSGEO-B = 95 is not a latitude (degrees, or \"D M S\", -90 to 90): it gives no air mass",
        "LONG-OBS = '13:70' is not a longitude (degrees east, or \"D M S\", -360 to 360): it gives no air "
        "mass"}},
  };
  const TScratch_Folder Scratch{"korvane-observation"};
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    TFits_Writer Writer = Standard_Header(3, 2);
    for (const auto& [Key, Value] : Case.Cards)
      Writer.Add(Key, Value);
    const std::string Path = Scratch.Path("frame.fit");
    Writer.Write(Path, TFits_Writer::Data_Bytes_Unsigned({1, 2, 3, 4, 5, 6}));
    TImage_Model Image;
    TRecording_Messages Messages;
    Image.Open_File(Path, Messages);
    Air_Mass_From_Site(Image, Case.RA_Hours, Case.Dec);

    EXPECT_EQ(Image.Exposure, Case.Exposure);
    EXPECT_NEAR(Image.JD, Case.JD, 1e-8); // under a millisecond
    EXPECT_EQ(Image.Time_From, Case.Time_From);
    EXPECT_EQ(Image.Exposure_From, Case.Exposure_From);
    EXPECT_EQ(Image.AirMass_From, Case.AirMass_From);
    if (Case.Air_Mass) {
      EXPECT_NEAR(Image.AirMass, *Case.Air_Mass, 0.001);
    }
    EXPECT_TRUE(std::isfinite(Image.AirMass));
    if (Case.Filter != '\0') {
      EXPECT_EQ(Image.Image_Filter_Letter, Case.Filter);
    }
    EXPECT_EQ(Messages.Texts, Case.Messages);
  }
}

} // namespace
