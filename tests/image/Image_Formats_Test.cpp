// Every pixel format the reader takes, written by cfitsio: the same physical values must give
// the 16-bit frame's measurement exactly, and a calibrated floating-point frame the aperture
// sum computed here.

#include "image/Image_Model.h"
#include "photometry/Analysis.h"
#include "photometry/Photometry.h"
#include "support/Recording_Messages.h"
#include "support/Star_Field.h"
#include "support/Test_Files.h"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <zlib.h>

// cfitsio loses a few bytes of a tile it cannot decompress (its own allocation, on its error
// path): the sanitizer build's leak checker passes over that library.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libcfitsio\n";
}

namespace {

constexpr double Field_RA = 150.0, Field_Dec = 30.0;
const double Cos_Dec = std::cos(Field_Dec * std::numbers::pi / 180.0);
// Target 40 px east and 10 px north of the centre, comparison 50 px west and 30 px south.
const double Target_RA_H = (Field_RA + 40 * 1.5 / 3600 / Cos_Dec) / 15,
             Target_Dec = Field_Dec + 10 * 1.5 / 3600;
const double Ref_RA_H = (Field_RA - 50 * 1.5 / 3600 / Cos_Dec) / 15, Ref_Dec = Field_Dec - 30 * 1.5 / 3600;

TTarget_Catalogue Field_Catalogue() {
  TTarget_Catalogue C;
  TTargetData& T = C.Targets[0];
  C.NTargets = 1;
  T.Name = "ZZ Fmt";
  T.RA = Target_RA_H;
  T.Dec = Target_Dec;
  T.RName = "Fmt C1";
  T.RRA = Ref_RA_H;
  T.RDec = Ref_Dec;
  T.RFilter = 'V';
  T.Rmag = 11.0;
  T.Threshold = 14.0;
  return C;
}

TStar_Field_Description Field_Description() {
  TStar_Field_Description D = Centred_Field(300, 240, Field_RA, Field_Dec);
  D.Sky = 800.0;
  D.FWHM = 3.2;
  D.Seed = 5;
  D.Stars = {Sky_Star(Target_RA_H, Target_Dec, 5000.0), Sky_Star(Ref_RA_H, Ref_Dec, 8000.0)};
  return D;
}

void Check(int Status, const std::string& What) {
  if (Status != 0) {
    char Text[FLEN_STATUS];
    fits_get_errstatus(Status, Text);
    FAIL() << What << ": " << Text;
  }
}

// How cfitsio writes one case.
struct TWrite {
  int Bitpix = 16;
  double Scale = 1.0, Zero = 0.0; // BSCALE and BZERO
  bool Extension = false;         // an empty primary HDU, the image in an extension
  int Compression = 0;            // a cfitsio compression type, 0: none
  long Planes = 0;                // a cube of so many planes, the frame in plane 2; 0: two axes
};

// Writes Values (physical, Columns x Rows) with the header cards of the 16-bit file (every card
// but the structural ones) as W says. Planes other than the frame's hold a gradient.
void Write_Case(const std::string& Path, const TWrite& W, const std::vector<double>& Values, long Columns,
                long Rows, const std::vector<std::string>& Cards) {
  int Status = 0;
  fitsfile* File = nullptr;
  fits_create_file(&File, ("!" + Path).c_str(), &Status);
  const int Axes_Count = W.Planes > 0 ? 3 : 2;
  long Axes[3] = {Columns, Rows, W.Planes};
  if (W.Extension) {
    fits_create_img(File, 8, 0, nullptr, &Status);
    // The observation cards stay in the primary HDU, the world coordinates go with the image.
    for (const std::string& Card : Cards)
      if (Card.starts_with("EXPOSURE") || Card.starts_with("DATE-OBS"))
        fits_write_record(File, Card.c_str(), &Status);
  }
  if (W.Compression != 0)
    fits_set_compression_type(File, W.Compression, &Status);
  // cfitsio compresses only values of the stored type: unsigned 16-bit (BZERO 32768 written
  // by cfitsio) or 32-bit integers.
  const bool Unsigned = W.Compression != 0 && W.Bitpix == 16 && W.Zero == 32768.0;
  fits_create_img(File, Unsigned ? USHORT_IMG : W.Bitpix, Axes_Count, Axes, &Status);
  if (!Unsigned && (W.Scale != 1.0 || W.Zero != 0.0)) {
    fits_write_key(File, TDOUBLE, "BSCALE", const_cast<double*>(&W.Scale), nullptr, &Status);
    fits_write_key(File, TDOUBLE, "BZERO", const_cast<double*>(&W.Zero), nullptr, &Status);
    fits_set_bscale(File, W.Scale, W.Zero, &Status);
  }
  for (const std::string& Card : Cards) {
    const std::string Key = Card.substr(0, 8);
    const bool Structural = Key.starts_with("SIMPLE") || Key.starts_with("BITPIX") ||
                            Key.starts_with("NAXIS") || Key.starts_with("BZERO") ||
                            Key.starts_with("BSCALE") || Key.starts_with("EXTEND");
    const bool In_Primary = W.Extension && (Key.starts_with("EXPOSURE") || Key.starts_with("DATE-OBS"));
    if (!Structural && !In_Primary)
      fits_write_record(File, Card.c_str(), &Status);
  }
  const LONGLONG Plane_Size = static_cast<LONGLONG>(Columns) * Rows;
  for (long Plane = 1; Plane <= std::max(W.Planes, 1L); ++Plane) {
    std::vector<double> Written = Values;
    if (W.Planes > 0 && Plane != 2)
      for (size_t k = 0; k < Written.size(); ++k)
        Written[k] = static_cast<double>(k % 97) * 3.0;
    const LONGLONG First = 1 + (Plane - 1) * Plane_Size;
    if (W.Compression == 0) {
      fits_write_img(File, TDOUBLE, First, Plane_Size, Written.data(), &Status);
    } else if (Unsigned) {
      std::vector<unsigned short> Stored(Written.begin(), Written.end());
      fits_write_img(File, TUSHORT, First, Plane_Size, Stored.data(), &Status);
    } else {
      std::vector<int> Stored(Written.begin(), Written.end());
      fits_write_img(File, TINT, First, Plane_Size, Stored.data(), &Status);
    }
  }
  fits_close_file(File, &Status);
  Check(Status, "write " + Path);
}

// The file gzip'ed as Gz_Path.
void Gzip(const std::string& Path, const std::string& Gz_Path) {
  const std::string Bytes = Get(Path);
  gzFile Out = gzopen(Gz_Path.c_str(), "wb");
  ASSERT_NE(Out, nullptr);
  ASSERT_EQ(gzwrite(Out, Bytes.data(), static_cast<unsigned>(Bytes.size())), static_cast<int>(Bytes.size()));
  gzclose(Out);
}

struct TResult {
  bool Measured = false;
  double Magnitude = 0, Std_Error = 0, ObjectX = 0, ObjectY = 0, ReferenceX = 0, ReferenceY = 0;
  double Object_Sky = 0, Reference_Sky = 0;
  std::vector<std::string> Messages;
};

TResult Measure(const std::string& Path, const TSettings& Settings, const TOpen_Options& Options = {}) {
  TImage_Model Image;
  TRecording_Messages Messages;
  TResult R;
  R.Measured =
      Open_And_Analyse(Image, Path, Field_Catalogue(), Measure_Settings_Of(Settings), Messages, Options);
  R.Magnitude = Image.Magnitude;
  R.Std_Error = Image.Std_Error;
  R.ObjectX = Image.ObjectX;
  R.ObjectY = Image.ObjectY;
  R.ReferenceX = Image.ReferenceX;
  R.ReferenceY = Image.ReferenceY;
  R.Object_Sky = Image.Ref_Background;
  R.Reference_Sky = Image.Star_Background;
  R.Messages = Messages.Texts;
  return R;
}

TEST(Image_Formats, Every_Format_Gives_The_16_Bit_Measurement) {
  TScratch_Folder Scratch;
  const TStar_Field_Description D = Field_Description();
  TStar_Field Field = Make_Star_Field(D);
  // Values on a grid of 4 from 700 to 1720, so that 8 bits with BSCALE 4 and BZERO 700 hold
  // them too; every other format holds them exactly as well.
  for (uint16_t& p : Field.Pixels)
    p = static_cast<uint16_t>(700 + 4 * std::clamp((p - 700 + 2) / 4, 0, 255));
  const std::string Reference_Path = Scratch.Path("frame16.fit");
  Write_Star_Field(Field, Reference_Path);
  const TSettings Settings = Field_Measure_Settings(D, 6, 3, 5);
  const TResult Reference = Measure(Reference_Path, Settings);
  ASSERT_TRUE(Reference.Measured);
  ASSERT_TRUE(Reference.Messages.empty());
  ASSERT_LT(Reference.Std_Error, 0.1);

  const std::vector<double> Values(Field.Pixels.begin(), Field.Pixels.end());
  struct TCase {
    const char* Name;
    TWrite Write;
    bool Gzipped = false;
  } const Cases[] = {
      {"8-bit, BSCALE 4, BZERO 700", {8, 4.0, 700.0}},
      {"16-bit signed, BZERO 0", {16}},
      {"32-bit integers", {32}},
      {"32-bit integers, BSCALE 0.5, BZERO -1000", {32, 0.5, -1000.0}},
      {"32-bit floating point", {-32}},
      {"64-bit floating point", {-64}},
      {"16-bit in an image extension", {16, 1.0, 32768.0, true}},
      {"floating point in an image extension", {-32, 1.0, 0.0, true}},
      {"RICE_1 tile-compressed", {16, 1.0, 32768.0, false, RICE_1}},
      {"GZIP_2 tile-compressed 32-bit", {32, 1.0, 0.0, false, GZIP_2}},
      {"GZIP_1 tile-compressed", {16, 1.0, 32768.0, false, GZIP_1}},
      {"HCOMPRESS_1 tile-compressed", {16, 1.0, 32768.0, false, HCOMPRESS_1}},
      {"PLIO_1 tile-compressed", {32, 1.0, 0.0, false, PLIO_1}},
      {"gzip'ed floating point", {-32}, true},
      {"gzip'ed RICE_1", {16, 1.0, 32768.0, false, RICE_1}, true},
      {"16-bit cube, plane 2", {16, 1.0, 32768.0, false, 0, 3}},
      {"floating-point cube, plane 2", {-32, 1.0, 0.0, false, 0, 3}},
      {"compressed cube, plane 2", {32, 1.0, 0.0, false, RICE_1, 3}},
  };
  int Index = 0;
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const std::string Path = Scratch.Path("case" + std::to_string(Index++) + ".fits");
    Write_Case(Path, Case.Write, Values, Field.Width, Field.Height, Field.Header.Cards);
    std::string Read_Path = Path;
    if (Case.Gzipped) {
      Read_Path = Path + ".gz";
      Gzip(Path, Read_Path);
    }
    TOpen_Options Options;
    Options.Plane = Case.Write.Planes > 0 ? 2 : 1;
    // Uncompressed files are measured both read whole and read on demand.
    const bool Direct = Case.Write.Compression == 0 && !Case.Gzipped;
    for (const bool On_Demand : {false, true}) {
      if (On_Demand && !Direct)
        continue;
      SCOPED_TRACE(On_Demand ? "on demand" : "whole");
      Options.Pixels_On_Demand = On_Demand;
      const TResult R = Measure(Read_Path, Settings, Options);
      ASSERT_TRUE(R.Measured);
      EXPECT_EQ(R.Magnitude, Reference.Magnitude);
      EXPECT_EQ(R.Std_Error, Reference.Std_Error);
      EXPECT_EQ(R.ObjectX, Reference.ObjectX);
      EXPECT_EQ(R.ObjectY, Reference.ObjectY);
      EXPECT_EQ(R.ReferenceX, Reference.ReferenceX);
      EXPECT_EQ(R.ReferenceY, Reference.ReferenceY);
      EXPECT_EQ(R.Object_Sky, Reference.Object_Sky);
      EXPECT_EQ(R.Reference_Sky, Reference.Reference_Sky);
      if (Case.Write.Planes > 0) {
        ASSERT_EQ(R.Messages.size(), 1u);
        EXPECT_NE(R.Messages[0].find("plane 2 is measured"), std::string::npos) << R.Messages[0];
      } else {
        EXPECT_TRUE(R.Messages.empty()) << R.Messages.front();
      }
    }
  }
}

// A dark-subtracted 16-bit frame of signed words, negative ones among them, without BZERO:
// its physical values, read whole or (found negative as they are measured) read again whole,
// measure as the same values stored as floating point.
TEST(Image_Formats, Signed_16_Bit_Words_Below_0_Are_Physical_Values) {
  TScratch_Folder Scratch;
  const TStar_Field_Description D = Field_Description();
  const TStar_Field Field = Make_Star_Field(D);
  std::vector<double> Values(Field.Pixels.begin(), Field.Pixels.end());
  for (double& v : Values)
    v = std::min(v, 30000.0) - 780.0; // the sky's noise reaches below 0
  ASSERT_LT(*std::min_element(Values.begin(), Values.end()), -20.0);
  const std::string Float_Path = Scratch.Path("float.fits"), Words_Path = Scratch.Path("words.fits");
  Write_Case(Float_Path, TWrite{-32}, Values, Field.Width, Field.Height, Field.Header.Cards);
  Write_Case(Words_Path, TWrite{16}, Values, Field.Width, Field.Height, Field.Header.Cards);
  const TSettings Settings = Field_Measure_Settings(D, 6, 3, 5);
  const TResult Reference = Measure(Float_Path, Settings);
  ASSERT_TRUE(Reference.Measured);
  for (const bool On_Demand : {false, true}) {
    SCOPED_TRACE(On_Demand ? "on demand" : "whole");
    TOpen_Options Options;
    Options.Pixels_On_Demand = On_Demand;
    const TResult R = Measure(Words_Path, Settings, Options);
    ASSERT_TRUE(R.Measured);
    EXPECT_EQ(R.Magnitude, Reference.Magnitude);
    EXPECT_EQ(R.Std_Error, Reference.Std_Error);
    EXPECT_EQ(R.ObjectX, Reference.ObjectX);
    EXPECT_EQ(R.ReferenceY, Reference.ReferenceY);
    EXPECT_EQ(R.Object_Sky, Reference.Object_Sky);
  }
}

// A dark-subtracted, flat-fielded frame: a negative fractional sky and noise-free stars of
// fractional values that end within 7 pixels, so the sky annulus holds the sky alone.
TEST(Image_Formats, Calibrated_Float_Frame_Gives_The_Aperture_Sum) {
  TScratch_Folder Scratch;
  const TStar_Field_Description D = Field_Description();
  const TStar_Field Field = Make_Star_Field(D); // for its header and star positions
  const double Sky = -3.375;
  const double Sigma = D.FWHM / 2.3548200450309493;
  const double Amplitude[2] = {431.7, 1207.3}; // target, comparison
  std::vector<double> Values(static_cast<size_t>(Field.Width) * Field.Height, Sky);
  for (size_t s = 0; s < 2; ++s) {
    const TCCDPosition P = Field.Star_Positions[s];
    for (int y = 0; y < Field.Height; ++y)
      for (int x = 0; x < Field.Width; ++x) {
        const double r2 = (x - P.x) * (x - P.x) + (y - P.y) * (y - P.y);
        if (r2 < 49.0)
          Values[static_cast<size_t>(y) * Field.Width + x] +=
              Amplitude[s] * std::exp(-r2 / (2 * Sigma * Sigma));
      }
  }
  const std::string Path = Scratch.Path("calibrated.fits");
  Write_Case(Path, TWrite{-32}, Values, Field.Width, Field.Height, Field.Header.Cards);

  TImage_Model Image;
  TRecording_Messages Messages;
  ASSERT_TRUE(Open_And_Analyse(Image, Path, Field_Catalogue(),
                               Measure_Settings_Of(Field_Measure_Settings(D, 6, 3, 5)), Messages));
  EXPECT_EQ(Image.Ref_Background, static_cast<float>(Sky));
  EXPECT_EQ(Image.Star_Background, static_cast<float>(Sky));
  // The aperture sum with partial edge weights, less the sky, at the measured centres: the
  // values as stored (floats).
  const auto Net = [&](double X, double Y) {
    const double R = 6.0;
    double Sum = 0.0, Weights = 0.0;
    for (int y = 0; y < Field.Height; ++y)
      for (int x = 0; x < Field.Width; ++x) {
        const double d = std::hypot(x - X, y - Y) - 0.707;
        const double w = std::clamp((R - d) / 1.414, 0.0, 1.0);
        Sum += w * static_cast<float>(Values[static_cast<size_t>(y) * Field.Width + x]);
        Weights += w;
      }
    return Sum - static_cast<float>(Sky) * Weights;
  };
  const double Target = Net(Image.ObjectX, Image.ObjectY),
               Comparison = Net(Image.ReferenceX, Image.ReferenceY);
  EXPECT_NEAR(Image.Net_Flux, Comparison, 1e-6 * Comparison);
  EXPECT_NEAR(Image.Magnitude, 11.0 - 2.5 * std::log10(Target / Comparison), 1e-9);
  EXPECT_NEAR(Image.ReferenceX, Field.Star_Positions[1].x, 0.05);
  EXPECT_NEAR(Image.ReferenceY, Field.Star_Positions[1].y, 0.05);
  // No saturation level for floating-point samples without SATURATE or DATAMAX.
  EXPECT_TRUE(Image.Saturated.empty());
  EXPECT_EQ(Image.Saturation_Level(), INFINITY);

  // A frame whose sky was subtracted down below 0 has lost the sky's photon noise: said as
  // such, not as a fault of the camera settings.
  for (double& v : Values)
    v -= 500.0;
  Write_Case(Path, TWrite{-32}, Values, Field.Width, Field.Height, Field.Header.Cards);
  TImage_Model Subtracted;
  try {
    Open_And_Analyse(Subtracted, Path, Field_Catalogue(),
                     Measure_Settings_Of(Field_Measure_Settings(D, 6, 3, 5)), Messages);
    ADD_FAILURE() << "a sky below 0 was measured";
  } catch (const TKorvane_Error& E) {
    EXPECT_NE(std::string(E.what()).find("the sky level is below 0 (-503.38 ADU a pixel)"), std::string::npos)
        << E.what();
  }
}

// Files the reader cannot take: a clear refusal naming the file, never a misread.
TEST(Image_Formats, Unreadable_Files_Are_Refused_With_Their_Name) {
  TScratch_Folder Scratch;
  const std::vector<double> Values(64 * 48, 100.0);
  struct TCase {
    const char* Name;
    std::function<std::string()> Make;
    uint32_t Plane;
    const char* Error;
  } const Cases[] = {
      {"a plane beyond NAXIS3",
       [&] {
         Write_Case(Scratch.Path("cube.fits"), TWrite{-32, 1.0, 0.0, false, 0, 3}, Values, 64, 48, {});
         return Scratch.Path("cube.fits");
       },
       4, "image plane 4 is asked for, but the image holds 3 planes"},
      {"four axes",
       [&] {
         Write_Case(Scratch.Path("four.fits"), TWrite{-32}, Values, 64, 48, {});
         std::string Bytes = Get(Scratch.Path("four.fits"));
         Bytes.replace(Bytes.find("NAXIS   =                    2"), 30, "NAXIS   =                    4");
         return Scratch.Write("four.fits", Bytes);
       },
       1, "NAXIS 4: only images of 2 axes, or of 3"},
      {"a cut floating-point file",
       [&] {
         Write_Case(Scratch.Path("cut.fits"), TWrite{-64}, Values, 64, 48, {});
         const std::string Bytes = Get(Scratch.Path("cut.fits"));
         return Scratch.Write("cut.fits", Bytes.substr(0, Bytes.size() - 2880 * 3));
       },
       1, "file ends inside the data (64 x 48 pixels of BITPIX -64 need 24576 bytes"},
      {"a damaged compressed tile",
       [&] {
         std::vector<double> Noise(Values);
         for (size_t k = 0; k < Noise.size(); ++k)
           Noise[k] = static_cast<double>((k * 7919) % 1000);
         Write_Case(Scratch.Path("damaged.fits"), TWrite{16, 1.0, 32768.0, false, RICE_1}, Noise, 64, 48, {});
         std::string Bytes = Get(Scratch.Path("damaged.fits"));
         // The compressed bytes follow the table's two headers and its 48 row descriptors.
         const size_t Heap = Bytes.find("END     ", 2880) / 2880 * 2880 + 2880 + 48 * 8;
         for (size_t k = Heap; k < Heap + 400 && k < Bytes.size(); ++k)
           Bytes[k] = static_cast<char>(0xA5 ^ k);
         return Scratch.Write("damaged.fits", Bytes);
       },
       1, "the image data cannot be"},
      {"a compressed image of more pixels than may be unpacked",
       [&] {
         Write_Case(Scratch.Path("huge.fits"), TWrite{16, 1.0, 32768.0, false, RICE_1}, Values, 64, 48, {});
         std::string Bytes = Get(Scratch.Path("huge.fits"));
         // 65535 x 4800 pixels in the same 48 tiles of 100 rows each.
         const std::pair<const char*, const char*> Sizes[] = {{"ZNAXIS1 =                   64", "65535"},
                                                              {"ZNAXIS2 =                   48", " 4800"},
                                                              {"ZTILE1  =                   64", "65535"},
                                                              {"ZTILE2  =                    1", "  100"}};
         for (const auto& [Card, Value] : Sizes)
           Bytes.replace(Bytes.find(Card), 30, std::string(Card).substr(0, 25) + Value);
         return Scratch.Write("huge.fits", Bytes);
       },
       1, "a compressed or gzip'ed image may have up to 268435456 pixels"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const std::string Path = Case.Make();
    TImage_Model Image;
    TRecording_Messages Messages;
    TOpen_Options Options;
    Options.Plane = Case.Plane;
    try {
      Image.Open_File(Path, Messages, Options);
      ADD_FAILURE() << "opened";
    } catch (const TKorvane_Error& Error) {
      const std::string Text = Error.what();
      EXPECT_EQ(Text.rfind(Path + ": ", 0), 0u) << Text;
      EXPECT_NE(Text.find(Case.Error), std::string::npos) << Text;
    }
    EXPECT_TRUE(Image.Image_Array.Empty());
  }
}

} // namespace
