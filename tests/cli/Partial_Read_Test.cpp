// Measuring with pixels read on demand against reading every pixel: the same JSON line, the
// same findings and the same refusals, and only a little of the file read.

#include "cli/Measure_Command.h"
#include "support/Recording_Messages.h"
#include "support/Star_Field.h"
#include "support/Test_Files.h"
#include "text/Number_Format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace {

// 200 x 200 pixels at 1.5" per pixel, the reference pixel (100, 100) at RA 150, Dec +20.
constexpr int Size = 200;

TStar_Field_Description Field(bool With_WCS, double Target_Flux) {
  TStar_Field_Description D;
  D.Width = D.Height = Size;
  D.Write_WCS = With_WCS;
  D.Crval1 = 150.0;
  D.Crval2 = 20.0;
  D.Crpix1 = D.Crpix2 = 100.0;
  D.Seed = 5;
  auto Star = [](double X, double Y, double Flux) {
    TField_Star S;
    S.X = X;
    S.Y = Y;
    S.Flux = Flux;
    return S;
  };
  // A target on the last column, a reference star, a star on row 1.
  D.Stars = {Star(199.0, 60.0, Target_Flux), Star(60.0, 140.0, 200000.0), Star(120.0, 1.0, 80000.0)};
  return D;
}

// A catalogue position near pixel (X, Y) of the field, as "h,m,s,d,m,s".
std::string Sky_Text(double X, double Y) {
  const double Dec = 20.0 + (Y - 100.0) * 1.5 / 3600.0;
  const double RA_Hours = (150.0 - (X - 100.0) * 1.5 / 3600.0 / std::cos(Dec * M_PI / 180.0)) / 15.0;
  auto Sexagesimal = [](double V) {
    const double Whole = std::floor(V), Minutes = std::floor((V - Whole) * 60.0);
    const double Seconds = ((V - Whole) * 60.0 - Minutes) * 60.0;
    return Format_Fixed(Whole, 0, 0, '.') + "," + Format_Fixed(Minutes, 0, 0, '.') + "," +
           Format_Fixed(Seconds, 0, 4, '.');
  };
  return Sexagesimal(RA_Hours) + "," + Sexagesimal(Dec);
}

std::string Target_File(double Tx, double Ty, double Rx, double Ry) {
  return "Name\r\n\r\n\r\nV1 Part," + Sky_Text(Tx, Ty) + ",Ref P," + Sky_Text(Rx, Ry) + ",V,12.0,13.0,C1\r\n";
}

class Partial_Read : public ::testing::Test {
protected:
  TTarget_Catalogue Catalogue(const std::string& Text) const {
    TTarget_Catalogue C;
    Load_Targets_From_Text(Text, C, TNumber_Format{'.'});
    return C;
  }

  struct TBoth {
    TMeasure_Result Whole, Demand;
    TRecording_Messages Whole_Messages, Demand_Messages;
  };
  TBoth Measure_Both(const std::string& File, const TTarget_Catalogue& C, const TSettings& S) const {
    TBoth B;
    B.Whole = Measure_File(File, C, S, B.Whole_Messages, TOpen_Options{false, false});
    B.Demand = Measure_File(File, C, S, B.Demand_Messages, TOpen_Options{false, true});
    return B;
  }

  TScratch_Folder Scratch{"korvane-partial-test"};
  const fs::path& Dir = Scratch.Folder;
};

// Every field of the JSON line is the same text, so every number the same bits.
TEST_F(Partial_Read, Results_And_Refusals_Equal_The_Whole_Read) {
  const TStar_Field Solved = Make_Star_Field(Field(true, 60000.0));
  const std::string Unsigned = (Dir / "unsigned.fit").string();
  Write_Star_Field(Solved, Unsigned);
  // The same pixels as signed words, without BZERO.
  const std::string Signed = (Dir / "signed.fit").string();
  {
    TFits_Writer Header = Solved.Header;
    std::erase_if(Header.Cards, [](const std::string& Card) { return Card.starts_with("BZERO "); });
    std::vector<int16_t> Stored(Solved.Pixels.begin(), Solved.Pixels.end());
    Header.Write(Signed, TFits_Writer::Data_Bytes(Stored));
  }
  const std::string No_WCS = (Dir / "nowcs.fit").string();
  Write_Star_Field(Make_Star_Field(Field(false, 60000.0)), No_WCS);
  // Cut inside the last rows, which no aperture or annulus covers.
  const std::string Cut = (Dir / "cut.fit").string();
  {
    const std::string Bytes = Solved.Header.Header_Bytes() + TFits_Writer::Data_Bytes_Unsigned(Solved.Pixels);
    Put(Cut, Bytes.substr(0, Bytes.size() - 3 * Size * 2));
  }
  const std::string Byte_Image = (Dir / "bitpix8.fit").string();
  {
    TFits_Writer Header = Solved.Header;
    Header.Cards[1] = "BITPIX  =                    8";
    Header.Write(Byte_Image, TFits_Writer::Data_Bytes_Unsigned(Solved.Pixels));
  }
  const std::string No_Columns = (Dir / "naxis1.fit").string();
  { Standard_Header(0, Size).Write(No_Columns, ""); }
  const std::string Header_Only = (Dir / "short.fit").string();
  Put(Header_Only, Solved.Header.Header_Bytes().substr(0, 1000));

  TSettings S = Field_Measure_Settings(Field(true, 0.0), 8, 3, 5);
  TSettings No_Gain = S;
  No_Gain.Gain = 0.0;
  TSettings Fixed = S;
  Fixed.Snap_to_Centre = false;
  const std::string Walk = Target_File(199.0, 60.0, 65.0, 144.0); // the reference 6 pixels off
  const std::string Edge = Target_File(199.0, 60.0, 120.0, 1.0);
  const struct {
    std::string Name, File, Targets;
    const TSettings& Settings;
    int Code; // -1: the file is refused
  } Cases[] = {
      {"measured, the reference walks", Unsigned, Walk, S, 0},
      {"signed data", Signed, Walk, S, 0},
      {"reference on row 1", Unsigned, Edge, S, 0},
      {"reference not recentred", Unsigned, Walk, Fixed, 0},
      {"empty catalogue", Unsigned, "Name\r\n\r\n\r\n", S, 1},
      {"not plate-solved", No_WCS, Walk, S, 2},
      {"target outside", Unsigned, Target_File(230.0, 60.0, 60.0, 140.0), S, 3},
      {"reference outside", Unsigned, Target_File(199.0, 60.0, -40.0, 140.0), S, 4},
      {"no reference", Unsigned, "Name\r\n\r\n\r\nV1 Part," + Sky_Text(199.0, 60.0) + "\r\n", S, 5},
      {"gain 0", Unsigned, Walk, No_Gain, -1},
      {"file cut where nothing is measured", Cut, Walk, S, -1},
      {"8-bit data", Byte_Image, Walk, S, -1},
      {"no columns", No_Columns, Walk, S, -1},
      {"ends inside the header", Header_Only, Walk, S, -1},
      {"missing", (Dir / "missing.fit").string(), Walk, S, -1},
      {"a folder", Dir.string(), Walk, S, -1},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const TBoth B = Measure_Both(Case.File, Catalogue(Case.Targets), Case.Settings);
    EXPECT_EQ(Json_Line(B.Demand), Json_Line(B.Whole));
    EXPECT_EQ(B.Demand_Messages.Texts, B.Whole_Messages.Texts);
    EXPECT_EQ(B.Whole.Failed, Case.Code < 0) << B.Whole.Error;
    if (Case.Code >= 0) {
      EXPECT_EQ(Code_Number(B.Whole.Image.Last_Error), Case.Code);
    }
    if (Case.Name == "measured, the reference walks") { // the cases are what they say
      EXPECT_GT(std::hypot(B.Whole.Image.ReferenceX - 65.0, B.Whole.Image.ReferenceY - 144.0), 4.0);
      EXPECT_EQ(std::lround(B.Whole.Image.ObjectX), Size - 1);
    }
  }
}

// A file rewritten between two runs is measured as it is now, not as it was.
TEST_F(Partial_Read, A_Changed_File_Gives_Its_New_Values) {
  const std::string File = (Dir / "frame.fit").string();
  const TTarget_Catalogue C = Catalogue(Target_File(199.0, 60.0, 60.0, 140.0));
  const TSettings S = Field_Measure_Settings(Field(true, 0.0), 8, 3, 5);
  TRecording_Messages Messages;
  Write_Star_Field(Make_Star_Field(Field(true, 60000.0)), File);
  const TMeasure_Result First = Measure_File(File, C, S, Messages, TOpen_Options{false, true});
  Write_Star_Field(Make_Star_Field(Field(true, 15000.0)), File);
  const TMeasure_Result Second = Measure_File(File, C, S, Messages, TOpen_Options{false, true});
  const TMeasure_Result Whole = Measure_File(File, C, S, Messages, TOpen_Options{false, false});
  ASSERT_FALSE(Second.Failed) << Second.Error;
  EXPECT_EQ(Json_Line(Second), Json_Line(Whole));
  EXPECT_GT(Second.Image.Magnitude, First.Image.Magnitude + 1.0);
}

// Pixels served from a known array, each column range recorded as it is asked for.
class TCounting_Reader : public TImageArray::TPixel_Reader {
public:
  explicit TCounting_Reader(const TStar_Field& F) : Field(F) {}
  void Read(size_t Row, size_t First, size_t Count, uint16_t* Into) override {
    for (size_t i = First; i < First + Count; ++i) {
      ASSERT_LT(i, static_cast<size_t>(Field.Width));
      EXPECT_TRUE(Seen.insert({Row, i}).second) << "pixel read twice: " << i << ", " << Row;
      Into[i - First] = Field.Pixels[Row * static_cast<size_t>(Field.Width) + i];
    }
  }
  const TStar_Field& Field;
  std::set<std::pair<size_t, size_t>> Seen;
};

// Measuring through an on-demand array reads each needed pixel once and nothing far off,
// and measures what the whole array measures.
TEST_F(Partial_Read, Each_Pixel_Is_Read_Once_And_Only_Near_The_Star) {
  const TStar_Field_Description D = Field(true, 60000.0);
  const TStar_Field F = Make_Star_Field(D);
  TImage_Model Whole;
  Load_Star_Field(F, D, Whole);
  const struct {
    double X, Y;
    bool Snap;
    TAperture Aperture;
  } Cases[] = {
      {66.0, 145.0, true, {8, 3, 5}}, // walks to the star at (60, 140)
      {199.0, 60.0, false, {8, 3, 5}},
      {120.0, 1.0, true, {4, 0, 30}},
      {100.0, 100.0, true, {60, 2, 20}}, // boxes wider than the image
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(std::to_string(Case.X) + ", " + std::to_string(Case.Y));
    TImage_Model Demand = Whole;
    auto Reader = std::make_shared<TCounting_Reader>(F);
    Demand.Image_Array.Allocate_On_Demand(Whole.XSize, Whole.YSize, Reader);
    const TStar_Measurement A = Measure_One_Star(Whole, Case.Aperture, Case.Snap, Case.X, Case.Y);
    const TStar_Measurement B = Measure_One_Star(Demand, Case.Aperture, Case.Snap, Case.X, Case.Y);
    EXPECT_EQ(B.Measured, A.Measured);
    EXPECT_EQ(B.Passes, A.Passes);
    EXPECT_EQ(B.X, A.X);
    EXPECT_EQ(B.Y, A.Y);
    EXPECT_EQ(B.Npap_real, A.Npap_real);
    EXPECT_EQ(B.Net_Flux, A.Net_Flux);
    EXPECT_EQ(B.Sky_Fluxpp, A.Sky_Fluxpp);
    EXPECT_EQ(B.Annulus_Count, A.Annulus_Count);
    // Nothing beyond the outer edge of the annulus around any centre the walk could reach.
    const double Reach = Case.Aperture.Radius + Case.Aperture.Gap + Case.Aperture.Annulus + 2.0;
    for (const auto& [Row, Column] : Reader->Seen) {
      const double dx = static_cast<double>(Column) - A.X, dy = static_cast<double>(Row) - A.Y;
      const double Walked = std::hypot(Case.X - A.X, Case.Y - A.Y);
      ASSERT_LE(std::max(std::fabs(dx), std::fabs(dy)), Reach + Walked) << Column << ", " << Row;
    }
  }
}

} // namespace
