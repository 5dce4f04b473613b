// The analysis of an image: nearest catalogue target, marks, measurement, outburst; and
// measurements on synthetic fields whose fluxes are known.

#include "photometry/Analysis.h"
#include "photometry/Photometry.h"
#include "support/Recording_Messages.h"
#include "support/Star_Field.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

TTarget_Catalogue Catalogue_Of(const std::vector<TTargetData>& Entries) {
  TTarget_Catalogue C;
  for (const TTargetData& T : Entries)
    C.Targets[static_cast<size_t>(C.NTargets++)] = T;
  return C;
}

TTargetData Entry(const std::string& Name, double RA_Hours, double Dec) {
  TTargetData T;
  T.Name = Name;
  T.RA = RA_Hours;
  T.Dec = Dec;
  return T;
}

TEST(Nearest_Target, Plain_Euclidean_Distance_In_Degrees_First_Of_Equals) {
  struct {
    const char* Name;
    double RA0, Dec0;
    std::vector<TTargetData> Entries;
    int Index;
    bool Found;
  } const Cases[] = {
      {"first of two at the same distance",
       100.0,
       20.0,
       {Entry("A", 101.0 / 15, 20.0), Entry("B", 99.0 / 15, 20.0)},
       0,
       true},
      {"the same place twice", 100.0, 20.0, {Entry("A", 7.0, 25.0), Entry("B", 7.0, 25.0)}, 0, true},
      // 23.99 h is 359.35 degrees from RA 0.5 degrees: no wrap-around at 0 h.
      {"no wrap at 0 h", 0.5, 20.0, {Entry("A", 23.99, 20.0), Entry("B", 5.0 / 15, 20.0)}, 1, true},
      // At Dec 60 one degree of RA counts fully: no cos(Dec).
      {"no cos(Dec)", 150.0, 60.0, {Entry("A", 151.0 / 15, 60.0), Entry("B", 10.0, 60.8)}, 1, true},
      {"nearest however far", 0.0, -80.0, {Entry("A", 12.0, 80.0), Entry("B", 11.0, 80.0)}, 1, true},
      {"nothing closer than 99999", 0.0, 0.0, {Entry("A", 0.0, 2e5), Entry("B", 0.0, 3e5)}, 0, false},
      {"empty catalogue", 0.0, 0.0, {}, 0, false},
  };
  for (const auto& C : Cases) {
    bool Found = !C.Found;
    EXPECT_EQ(Nearest_Target(Catalogue_Of(C.Entries), C.RA0, C.Dec0, Found), C.Index) << C.Name;
    EXPECT_EQ(Found, C.Found) << C.Name;
  }
}

// A 300 x 240 field at RA 150, Dec +30 with a reference star and a target whose fluxes are
// set per case. Pixel scale 1.5", north up, east left.
struct TField_Case {
  double Target_Flux = 20000.0;
  double Reference_Flux = 60000.0;
  uint64_t Seed = 7;
  double Check_Flux = 0.0; // rendered when above 0
};

constexpr double Field_RA = 150.0, Field_Dec = 30.0;
// Target 40 px east and 10 px north of the centre, reference 50 px west and 30 px south.
const double Target_RA_H = (Field_RA + 40 * 1.5 / 3600 / std::cos(30.0 * std::numbers::pi / 180)) / 15;
const double Target_Dec = Field_Dec + 10 * 1.5 / 3600;
const double Reference_RA_H = (Field_RA - 50 * 1.5 / 3600 / std::cos(30.0 * std::numbers::pi / 180)) / 15;
const double Reference_Dec = Field_Dec - 30 * 1.5 / 3600;
// Check star 20 px west and 50 px north of the centre.
const double Check_RA_H = (Field_RA - 20 * 1.5 / 3600 / std::cos(30.0 * std::numbers::pi / 180)) / 15;
const double Check_Dec = Field_Dec + 50 * 1.5 / 3600;

TStar_Field_Description Field_Description(const TField_Case& C) {
  TStar_Field_Description D = Centred_Field(300, 240, Field_RA, Field_Dec);
  D.Sky = 800.0;
  D.Gain = 1.5;
  D.Read_Noise = 9.0;
  D.Exposure = 60.0;
  D.FWHM = 3.2;
  D.Seed = C.Seed;
  D.Stars = {Sky_Star(Target_RA_H, Target_Dec, C.Target_Flux),
             Sky_Star(Reference_RA_H, Reference_Dec, C.Reference_Flux)};
  if (C.Check_Flux > 0.0)
    D.Stars.push_back(Sky_Star(Check_RA_H, Check_Dec, C.Check_Flux));
  return D;
}

TTargetData Field_Target(double Threshold) {
  TTargetData T = Entry("ZZ Fld", Target_RA_H, Target_Dec);
  T.RName = "Fld C1";
  T.RRA = Reference_RA_H;
  T.RDec = Reference_Dec;
  T.RFilter = 'V';
  T.Rmag = 11.0;
  T.Threshold = Threshold;
  T.ChartName = "X1234";
  return T;
}

TSettings Field_Settings() {
  return Field_Measure_Settings(Field_Description({}), 6, 3, 5);
}

TImage_Model Field_Image(const TField_Case& C) {
  return Star_Field_Image(Field_Description(C));
}

TEST(Analyse_Image, Stops_Early_Without_World_Coordinates_Or_Catalogue) {
  const TTarget_Catalogue One = Catalogue_Of({Field_Target(14.0)});
  {
    TImage_Model I = Field_Image({});
    I.Plate_Solved = false;
    I.Last_Error = TResult_Code::Not_Measured;
    EXPECT_FALSE(Analyse_Image(I, One, Field_Settings()));
    EXPECT_EQ(Code_Number(I.Last_Error), 2);
    EXPECT_FALSE(I.Object_Marked);
  }
  {
    TImage_Model I = Field_Image({});
    EXPECT_FALSE(Analyse_Image(I, TTarget_Catalogue{}, Field_Settings()));
    EXPECT_EQ(Code_Number(I.Last_Error), 1);
    EXPECT_FALSE(I.Object_Marked);
    EXPECT_FALSE(I.Reference_Marked);
  }
}

TEST(Analyse_Image, Entry_Without_Reference_Star_Marks_The_Variable_Only) {
  TTargetData T = Field_Target(14.0);
  T.RName.clear();
  TImage_Model I = Field_Image({});
  EXPECT_FALSE(Analyse_Image(I, Catalogue_Of({T}), Field_Settings()));
  EXPECT_EQ(Code_Number(I.Last_Error), 5);
  EXPECT_TRUE(I.Object_Marked);
  EXPECT_EQ(I.ObjectName, "ZZ Fld");
  EXPECT_FALSE(I.Reference_Marked);
  EXPECT_EQ(I.ChartName, "");
}

TEST(Analyse_Image, Reference_Position_Comes_From_Crval_Swapped_With_Coorflip) {
  // Near (RA 150, Dec 30) lies entry "Plain"; near (RA 30, Dec 150), read with the axes
  // exchanged, entry "Flipped".
  const TTarget_Catalogue C =
      Catalogue_Of({Entry("Plain", 150.0 / 15, 30.0), Entry("Flipped", 30.0 / 15, 150.0)});
  for (const bool Flip : {false, true}) {
    TImage_Model I = Field_Image({});
    I.WCS1.coorflip = Flip;
    EXPECT_FALSE(Analyse_Image(I, C, Field_Settings()));
    EXPECT_EQ(I.ObjectName, Flip ? "Flipped" : "Plain");
  }
}

TEST(Analyse_Image, Outburst_Only_Strictly_Brighter_Than_Threshold_And_Never_For_A_Limit) {
  // First the magnitude of this field, then thresholds around it.
  TImage_Model First = Field_Image({});
  ASSERT_TRUE(Analyse_Image(First, Catalogue_Of({Field_Target(0.0)}), Field_Settings()));
  const double M = First.Magnitude;
  ASSERT_EQ(First.Less_Than, 0);

  struct {
    const char* Name;
    double Target_Flux;
    double Threshold;
    bool Result;
    bool Outburst;
  } const Cases[] = {
      {"brighter than threshold", 20000.0, M + 0.01, true, true},
      {"equal to threshold", 20000.0, M, true, false},
      {"fainter than threshold", 20000.0, M - 0.01, true, false},
      {"a limit is never an outburst", 0.0, 99.0, true, false},
  };
  for (const auto& C : Cases) {
    TImage_Model I = Field_Image({C.Target_Flux});
    I.Outburst = !C.Outburst;
    EXPECT_EQ(Analyse_Image(I, Catalogue_Of({Field_Target(C.Threshold)}), Field_Settings()), C.Result)
        << C.Name;
    EXPECT_EQ(I.Outburst, C.Outburst) << C.Name;
    EXPECT_EQ(I.Threshold, C.Threshold) << C.Name;
    EXPECT_EQ(I.ChartName, "X1234") << C.Name;
    EXPECT_EQ(I.Less_Than, C.Target_Flux == 0.0 ? 1 : 0) << C.Name;
  }

  // A failed measurement clears the outburst state.
  TTargetData Off_Image = Field_Target(99.0);
  Off_Image.RA += 1.0;
  TImage_Model I = Field_Image({});
  I.Outburst = true;
  EXPECT_FALSE(Analyse_Image(I, Catalogue_Of({Off_Image}), Field_Settings()));
  EXPECT_EQ(Code_Number(I.Last_Error), 3);
  EXPECT_FALSE(I.Outburst);
}

TEST(Analyse_Image, Check_Star_Is_Measured_Beside_The_Variable_And_Saturation_Is_Named) {
  struct {
    const char* Name;
    TField_Case Field;
    double Kmag;
    double Check_RA_Shift; // hours; moves the check star off the image
    bool Has_Check;
    bool Warned;
    std::vector<std::string> Saturated;
  } const Cases[] = {
      {"the comparison's twin", {20000.0, 60000.0, 7, 60000.0}, 11.0, 0.0, true, false, {}},
      {"a catalogue magnitude 0.5 mag off", {20000.0, 60000.0, 7, 60000.0}, 11.5, 0.0, true, true, {}},
      {"a saturated comparison", {20000.0, 2.0e6, 7, 60000.0}, 11.0, 0.0, true, true, {"Reference"}},
      // The clipped check star measures some 0.5 mag faint, and is warned.
      {"saturated variable and check",
       {2.0e6, 60000.0, 7, 2.0e6},
       7.19,
       0.0,
       true,
       true,
       {"Object", "Check"}},
      {"a check star off the image", {20000.0, 60000.0, 7, 60000.0}, 11.0, 1.0, false, false, {}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TTargetData T = Field_Target(14.0);
    TImage_Model Without = Field_Image(C.Field);
    const bool Measured = Analyse_Image(Without, Catalogue_Of({T}), Field_Settings());
    T.KName = "Fld K1";
    T.KRA = Check_RA_H + C.Check_RA_Shift;
    T.KDec = Check_Dec;
    T.Kmag = C.Kmag;
    TImage_Model I = Field_Image(C.Field);
    EXPECT_EQ(Analyse_Image(I, Catalogue_Of({T}), Field_Settings()), Measured);
    // The variable's result is exactly what it is without a check star.
    EXPECT_EQ(I.Last_Error, Without.Last_Error);
    EXPECT_EQ(I.Magnitude, Without.Magnitude);
    EXPECT_EQ(I.Std_Error, Without.Std_Error);
    EXPECT_EQ(I.Less_Than, Without.Less_Than);
    EXPECT_EQ(I.CMag, Without.CMag);
    EXPECT_EQ(I.Npap_real, Without.Npap_real);
    EXPECT_EQ(I.ReferenceX, Without.ReferenceX);
    EXPECT_FALSE(Without.Has_Check);
    EXPECT_EQ(I.Saturated, C.Saturated);
    EXPECT_EQ(Saturation_Warning(I).empty(), C.Saturated.empty()) << Saturation_Warning(I);
    ASSERT_EQ(I.Has_Check, C.Has_Check);
    const std::string Warning = Check_Star_Warning(I);
    EXPECT_EQ(!Warning.empty(), C.Warned) << Warning;
    if (!C.Has_Check)
      continue;
    // The twin's truth is the comparison's magnitude; the offset is against the catalogue.
    const double Truth = T.Rmag - 2.5 * std::log10(C.Field.Check_Flux / C.Field.Reference_Flux);
    EXPECT_NEAR(I.Check_Offset, I.Check_Mag - C.Kmag, 1e-12);
    if (C.Saturated.empty()) {
      EXPECT_NEAR(I.Check_Mag, Truth, 3.0 * I.Check_Error);
    }
    EXPECT_GT(I.Check_Error, 0.0);
    EXPECT_NEAR(I.Check_CMag - I.CMag, I.Check_Mag - T.Rmag, 1e-9);
    if (C.Warned) {
      EXPECT_NE(Warning.find("Fld K1"), std::string::npos) << Warning;
    }
  }

  // A SATURATE card sets the level, over DATAMAX, over the settings' level, over the 16-bit
  // largest value.
  const struct {
    const char* Name;
    bool Saturate_Card, Datamax_Card;
    double Setting;
    std::vector<std::string> Saturated;
  } Levels[] = {
      {"SATURATE over DATAMAX", true, true, 0.0, {"Object", "Reference"}},
      {"DATAMAX over the setting", false, true, 2000.0, {}},
      {"the setting without a card", false, false, 2000.0, {"Object", "Reference"}},
      {"the 16-bit largest value", false, false, 0.0, {}},
  };
  for (const auto& L : Levels) {
    SCOPED_TRACE(L.Name);
    TImage_Model I = Field_Image({20000.0, 60000.0, 7});
    I.DATAMAX_found = L.Datamax_Card;
    I.Datamax = 1e9;
    I.SATURATE_found = L.Saturate_Card;
    I.Saturate = 2000.0;
    TSettings Settings = Field_Settings();
    Settings.Saturation_Level = L.Setting;
    ASSERT_TRUE(Analyse_Image(I, Catalogue_Of({Field_Target(14.0)}), Settings));
    EXPECT_EQ(I.Saturated, L.Saturated);
  }
}

// The whole chain on files: FITS file written, read by the reader, analysed. The truth is
// Reference_Mag - 2.5 log10(F_target / F_reference) from the fluxes the field was made with.
TEST(Analyse_Image, Synthetic_Fields_Give_Back_The_True_Magnitude) {
  struct {
    const char* Name;
    double Target_Flux;
    int Less_Than;
  } const Cases[] = {
      {"bright target", 150000.0, 0},
      {"faint target", 6000.0, 0},
      {"target far below the limit", 40.0, 1},
  };
  const std::string Path =
      (std::filesystem::path(testing::TempDir()) / ("korvane_field_" + std::to_string(::getpid()) + ".fit"))
          .string();
  uint64_t Seed = 11;
  for (const auto& C : Cases) {
    TField_Case F;
    F.Target_Flux = C.Target_Flux;
    F.Seed = Seed++;
    Write_Star_Field(Make_Star_Field(Field_Description(F)), Path);
    TImage_Model I;
    TRecording_Messages Messages;
    I.Open_File(Path, Messages);
    EXPECT_TRUE(Messages.Texts.empty()) << C.Name;
    ASSERT_TRUE(I.Plate_Solved) << C.Name;

    ASSERT_TRUE(Analyse_Image(I, Catalogue_Of({Field_Target(14.0)}), Field_Settings())) << C.Name;
    const double Truth = 11.0 - 2.5 * std::log10(C.Target_Flux / F.Reference_Flux);
    EXPECT_EQ(I.Less_Than, C.Less_Than) << C.Name;
    if (C.Less_Than == 0) {
      EXPECT_NEAR(I.Magnitude, Truth, 3 * I.Std_Error) << C.Name << ", error " << I.Std_Error;
      EXPECT_LT(I.Std_Error, 0.1) << C.Name;
    } else {
      EXPECT_LT(I.Magnitude, Truth - 1.0) << C.Name; // the limit lies well above the star
    }
  }
  std::filesystem::remove(Path);
}

// The bundled example: examples/make-example.sh made examples/field.fit with a variable of
// 25000 ADU and a reference star of 160000 ADU, V = 11.20.
TEST(Example, Bundled_Field_Measures_Its_Variable) {
  const std::filesystem::path Examples = std::filesystem::path(KORVANE_SOURCE_DIR) / "examples";
  ASSERT_TRUE(std::filesystem::exists(Examples / "field.fit")) << Examples;

  TRecording_Messages Messages;
  TTarget_Catalogue Catalogue;
  Load_Targets((Examples / "targets.csv").string(), Catalogue, TNumber_Format{'.'}, Messages);
  TSettings Settings = Initial_Settings();
  ASSERT_TRUE(Read_Settings_File((Examples / "korvane.ini").string(), Settings));
  TImage_Model I;
  I.Open_File((Examples / "field.fit").string(), Messages);
  EXPECT_TRUE(Messages.Texts.empty());

  ASSERT_TRUE(Analyse_Image(I, Catalogue, Settings));
  EXPECT_EQ(I.ObjectName, "KV Exm");
  EXPECT_EQ(I.Less_Than, 0);
  const double Truth = 11.20 - 2.5 * std::log10(25000.0 / 160000.0);
  EXPECT_NEAR(I.Magnitude, Truth, 3 * I.Std_Error);
  EXPECT_LT(I.Std_Error, 0.05);
}

} // namespace

namespace {

// The analysis computes the air mass of the variable it marked, from the site, unless the header
// gave AIRMASS. The expected 1.11336 was computed once with astropy 5.2 (the variable's ICRS
// position to AltAz at JD 2460000.5 + 30 s UTC, site 52.5 N 13.4 E at height 0, no refraction,
// Hardie's polynomial on its secz).
TEST(Analyse_Image, Air_Mass_Of_The_Variable_From_The_Site_Unless_The_Header_Gives_It) {
  const struct {
    const char* Name;
    const char* Header_Air_Mass_From; // as the header left it
    bool Site;
    const char* AirMass_From;
    double AirMass;
  } Cases[] = {
      {"site, no AIRMASS", "", true, "site", 1.1133566761076499},
      {"AIRMASS wins", "AIRMASS", true, "AIRMASS", 1.2},
      {"neither", "", false, "", 1.2},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TImage_Model I = Field_Image({});
    I.AirMass_From = C.Header_Air_Mass_From;
    if (C.Site)
      I.Site = TSite{52.5, 13.4};
    ASSERT_TRUE(Analyse_Image(I, Catalogue_Of({Field_Target(14.0)}), Field_Settings()));
    EXPECT_EQ(I.AirMass_From, C.AirMass_From);
    EXPECT_NEAR(I.AirMass, C.AirMass, 0.001);
  }
}

} // namespace

namespace {

// A 640 x 480 field at RA 150, Dec +30, 1.5" per pixel; the target and its reference star
// (Corner_Target) lie near opposite corners.
TStar_Field_Description Corner_Field(uint64_t Seed) {
  TStar_Field_Description D = Centred_Field(640, 480, Field_RA, Field_Dec);
  D.Sky = 800.0;
  D.Gain = 1.5;
  D.Read_Noise = 9.0;
  D.Exposure = 60.0;
  D.FWHM = 3.2;
  D.Seed = Seed;
  return D;
}

TTargetData Corner_Target() {
  const double Per_Pixel = 1.5 / 3600, Cos_Dec = std::cos(Field_Dec * std::numbers::pi / 180);
  TTargetData T = Entry("ZZ Crn", (Field_RA + 255 * Per_Pixel / Cos_Dec) / 15, Field_Dec + 190 * Per_Pixel);
  T.RName = "Crn C1";
  T.RRA = (Field_RA - 245 * Per_Pixel / Cos_Dec) / 15;
  T.RDec = Field_Dec - 195 * Per_Pixel;
  T.RFilter = 'V';
  T.Rmag = 11.0;
  T.Threshold = 12.0;
  return T;
}

void Add_Corner_Stars(TStar_Field_Description& D, const TTargetData& T) {
  D.Stars = {Sky_Star(T.RA, T.Dec, 100000.0), Sky_Star(T.RRA, T.RDec, 300000.0)};
}

struct TFile_Analysis {
  bool Measured = false;
  TImage_Model Image;
  TRecording_Messages Messages;
};

// The field written as a FITS file and taken through the one open-and-analyse step.
void Analyse_File(TFile_Analysis& A, const TStar_Field_Description& D, const TTargetData& T) {
  const std::string Path =
      (std::filesystem::path(testing::TempDir()) / ("korvane_wcs_" + std::to_string(::getpid()) + ".fit"))
          .string();
  Write_Star_Field(Make_Star_Field(D), Path);
  A.Measured = Open_And_Analyse(A.Image, Path, Catalogue_Of({T}),
                                Measure_Settings_Of(Field_Measure_Settings(D, 6, 3, 5)), A.Messages);
  std::filesystem::remove(Path);
}

} // namespace

// A field rendered through SIP distortion of a few pixels at the corners: the variable's
// mark (never recentred) and the recentred reference star land on the stars as placed.
TEST(Analyse_Image, Sip_Distorted_Field_Marks_The_Stars_Where_They_Are) {
  TStar_Field_Description D = Corner_Field(23);
  const TTargetData T = Corner_Target();
  Add_Corner_Stars(D, T);
  D.Sip_Order = 3;
  D.Sip_A = {{2, 0, 3e-5}, {1, 1, -1.5e-5}, {0, 2, 1e-5}, {3, 0, -4e-8}};
  D.Sip_B = {{2, 0, -1.2e-5}, {1, 1, 2.2e-5}, {0, 2, -2.5e-5}, {0, 3, 3e-8}};
  const TStar_Field Field = Make_Star_Field(D);
  TStar_Field_Description Plain = D;
  Plain.Sip_Order = -1;
  // The distortion matters: without it each mark would be more than a pixel off.
  const TCCDPosition Star = Field.Star_Positions[0], Reference = Field.Star_Positions[1];
  const TCCDPosition Star_Plain = Field_Sky_To_Pixel(Plain, T.RA, T.Dec);
  const TCCDPosition Reference_Plain = Field_Sky_To_Pixel(Plain, T.RRA, T.RDec);
  ASSERT_GT(std::hypot(Star.x - Star_Plain.x, Star.y - Star_Plain.y), 1.0);
  ASSERT_GT(std::hypot(Reference.x - Reference_Plain.x, Reference.y - Reference_Plain.y), 1.0);

  TFile_Analysis A;
  Analyse_File(A, D, T);
  EXPECT_TRUE(A.Measured);
  EXPECT_TRUE(A.Messages.Texts.empty());
  EXPECT_TRUE(A.Image.Distortion_Note().empty());
  EXPECT_FALSE(A.Image.Pointing_WCS);
  EXPECT_NEAR(A.Image.ObjectX, Star.x, 0.05);
  EXPECT_NEAR(A.Image.ObjectY, Star.y, 0.05);
  EXPECT_NEAR(A.Image.ReferenceX, Reference.x, 0.05);
  EXPECT_NEAR(A.Image.ReferenceY, Reference.y, 0.05);
}

// A solution written as CDELT and CROTA2 may be only the telescope's pointing: trusted when
// the comparison star is found at its mark, not when the solution is 40" off.
TEST(Analyse_Image, Pointing_Solution_Is_Trusted_Only_Where_The_Reference_Star_Is) {
  struct {
    const char* Name;
    double Offset_RA, Offset_Dec; // arc seconds on the sky, as written
    bool Measured;
  } const Cases[] = {
      {"solution on the stars", 0.0, 0.0, true},
      {"40 arc seconds off in declination", 0.0, 40.0, false},
      {"40 arc seconds off in right ascension", 40.0, 0.0, false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TStar_Field_Description D = Corner_Field(31);
    const TTargetData T = Corner_Target();
    Add_Corner_Stars(D, T);
    D.Cdelt_Layout = true;
    D.Cdelt[0] = D.Cdelt[1] = 1.5 / 3600; // east right: the mirrored parity
    D.Crota2 = 12.0;
    D.Written_Offset[0] = C.Offset_RA / 3600 / std::cos(Field_Dec * std::numbers::pi / 180);
    D.Written_Offset[1] = C.Offset_Dec / 3600;
    TFile_Analysis A;
    Analyse_File(A, D, T);
    EXPECT_EQ(A.Measured, C.Measured);
    EXPECT_TRUE(A.Image.Pointing_WCS);
    if (C.Measured) {
      EXPECT_TRUE(A.Messages.Texts.empty());
      EXPECT_EQ(A.Image.Last_Error, TResult_Code::Measured);
      EXPECT_NEAR(A.Image.ReferenceX, Make_Star_Field(D).Star_Positions[1].x, 0.1);
      continue;
    }
    EXPECT_EQ(Code_Number(A.Image.Last_Error), 2);
    EXPECT_FALSE(A.Image.Plate_Solved);
    EXPECT_FALSE(A.Image.Object_Marked || A.Image.Reference_Marked);
    ASSERT_EQ(A.Messages.Texts.size(), 1u);
    EXPECT_NE(A.Messages.Texts[0].find("Crn C1"), std::string::npos) << A.Messages.Texts[0];
    EXPECT_NE(A.Messages.Texts[0].find("not plate-solved"), std::string::npos) << A.Messages.Texts[0];
  }
}
