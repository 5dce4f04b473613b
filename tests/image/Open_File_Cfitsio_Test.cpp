// Files written by cfitsio, and files written by our test writer, read back by both readers.

#include "image/Image_Model.h"
#include "support/Fits_Writer.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"
#include "text/Number_Format.h"

#include <algorithm>
#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>

namespace {

void Check(int Status, const char* What) {
  if (Status != 0) {
    char Text[FLEN_STATUS];
    fits_get_errstatus(Status, Text);
    FAIL() << What << ": " << Text;
  }
}

// Every keyword card cfitsio sees must match ours: name, value text and comment.
void Compare_Header(const std::string& Path, const TImage_Model& Model) {
  int Status = 0;
  fitsfile* File = nullptr;
  fits_open_file(&File, Path.c_str(), READONLY, &Status);
  int Keys = 0, More = 0;
  fits_get_hdrspace(File, &Keys, &More, &Status);
  Check(Status, "hdrspace");
  EXPECT_EQ(Model.NKeys, static_cast<uint32_t>(Keys));
  for (int k = 1; k <= Keys && k <= static_cast<int>(Model.NKeys); ++k) {
    char Name[FLEN_KEYWORD], Value[FLEN_VALUE], Comment[FLEN_COMMENT];
    fits_read_keyn(File, k, Name, Value, Comment, &Status);
    Check(Status, "read_keyn");
    const size_t i = static_cast<size_t>(k - 1);
    SCOPED_TRACE(std::string(Name) + " card " + std::to_string(k));
    EXPECT_EQ(Model.Cards[i].Key, Name);
    EXPECT_EQ(Model.Cards[i].Value, Value);
    EXPECT_EQ(Trim_Right_Controls(Model.Cards[i].Comment), Trim_Controls(Comment));
  }
  fits_close_file(File, &Status);
}

double Cfitsio_Double(fitsfile* File, const char* Key) {
  int Status = 0;
  double Value = 0;
  fits_read_key(File, TDOUBLE, Key, &Value, nullptr, &Status);
  EXPECT_EQ(Status, 0) << Key;
  return Value;
}

// Writes a Columns x Rows image with cfitsio; Add_Keys writes the keywords.
template <typename T, typename Keys>
void Write_Cfitsio_Image(const std::string& Path, int Bitpix, int Datatype, long Columns, long Rows,
                         std::vector<T> Pixels, Keys Add_Keys) {
  int Status = 0;
  fitsfile* File = nullptr;
  long Axes[2] = {Columns, Rows};
  fits_create_file(&File, Path.c_str(), &Status);
  fits_create_img(File, Bitpix, 2, Axes, &Status);
  Add_Keys(File, Status);
  fits_write_img(File, Datatype, 1, static_cast<LONGLONG>(Pixels.size()), Pixels.data(), &Status);
  fits_close_file(File, &Status);
  Check(Status, "write");
}

// The first Count values of the open file's image as cfitsio reads them. Status carries
// on from the calls before (cfitsio does nothing once it is set).
template <typename T> std::vector<T> Cfitsio_Pixels(fitsfile* File, int Datatype, size_t Count, int& Status) {
  int Any_Null = 0;
  std::vector<T> Pixels(Count);
  fits_read_img(File, Datatype, 1, static_cast<LONGLONG>(Count), nullptr, Pixels.data(), &Any_Null, &Status);
  Check(Status, "read image");
  return Pixels;
}

// The file read by our reader, which must have nothing to report.
TImage_Model Open_Without_Messages(const std::string& Path) {
  TImage_Model Model;
  TRecording_Messages Messages;
  Model.Open_File(Path, Messages);
  EXPECT_TRUE(Messages.Texts.empty()) << Path;
  return Model;
}

TEST(Open_File_Cfitsio, Unsigned_Image_With_Long_Header) {
  TScratch_Folder Scratch;
  const std::string Path = Scratch.Path("cfitsio.fit");
  const long Columns = 700, Rows = 1600; // several read blocks
  std::vector<uint16_t> Pixels(static_cast<size_t>(Columns * Rows));
  for (size_t k = 0; k < Pixels.size(); ++k)
    Pixels[k] = static_cast<uint16_t>(k * 131 + k / 700 * 977);
  Pixels.front() = 65535;
  Pixels.back() = 0;

  Write_Cfitsio_Image(Path, USHORT_IMG, TUSHORT, Columns, Rows, Pixels, [](fitsfile* File, int& Status) {
    double Exposure = 60.0, JD = 2456000.5, AirMass = 1.2345, Crval1 = 123.456789012345, Crval2 = -45.5;
    fits_update_key(File, TDOUBLE, "EXPOSURE", &Exposure, "exposure time in seconds", &Status);
    fits_update_key(File, TDOUBLE, "JD", &JD, "start of exposure", &Status);
    fits_update_key(File, TDOUBLE, "AIRMASS", &AirMass, "air mass", &Status);
    fits_update_key(File, TSTRING, "DATE-OBS", const_cast<char*>("2012-03-14T20:00:00"), "UTC start",
                    &Status);
    fits_update_key(File, TSTRING, "FILTER", const_cast<char*>("V"), "Johnson V", &Status);
    fits_update_key(File, TSTRING, "OBJECT", const_cast<char*>("A/B Tau"), "name with a slash", &Status);
    fits_update_key(File, TDOUBLE, "CRVAL1", &Crval1, "RA", &Status);
    fits_update_key(File, TDOUBLE, "CRVAL2", &Crval2, "Dec", &Status);
    for (int k = 0; k < 180; ++k)
      fits_write_history(File, (" processing step " + std::to_string(k)).c_str(), &Status);
  });

  const TImage_Model Model = Open_Without_Messages(Path);
  ASSERT_EQ(Model.XSize, Columns);
  ASSERT_EQ(Model.YSize, Rows);

  int Status = 0;
  fitsfile* File = nullptr;
  fits_open_file(&File, Path.c_str(), READONLY, &Status);
  const std::vector<uint16_t> Read_Back = Cfitsio_Pixels<uint16_t>(File, TUSHORT, Pixels.size(), Status);
  size_t Mismatches = 0;
  for (size_t k = 0; k < Read_Back.size(); ++k)
    Mismatches += Model.Image_Array[k / Columns][k % Columns] != Read_Back[k];
  EXPECT_EQ(Mismatches, 0u);
  EXPECT_EQ(Model.Image_Array[0][0], 65535);
  EXPECT_EQ(Model.Image_Array[Rows - 1][Columns - 1], 0);

  EXPECT_EQ(Model.Exposure, Cfitsio_Double(File, "EXPOSURE"));
  EXPECT_EQ(Model.JD, Cfitsio_Double(File, "JD") + Cfitsio_Double(File, "EXPOSURE") / 172800.0);
  EXPECT_EQ(Model.AirMass, Cfitsio_Double(File, "AIRMASS"));
  EXPECT_EQ(Model.WCS1.crval[0], Cfitsio_Double(File, "CRVAL1"));
  EXPECT_EQ(Model.WCS1.crval[1], Cfitsio_Double(File, "CRVAL2"));
  fits_close_file(File, &Status);
  EXPECT_EQ(Model.Image_Filter_Letter, 'V');
  EXPECT_EQ(Model.Date_Obs.substr(0, 21), "'2012-03-14T20:00:00'");
  EXPECT_FALSE(Model.Plate_Solved);

  Compare_Header(Path, Model);
}

TEST(Open_File_Cfitsio, Signed_Image_Without_Offset) {
  // A signed image holds its values as they are stored: read as they are while none is
  // negative, as physical values once one is (never as the unsigned bit pattern).
  const std::vector<std::vector<int16_t>> Images = {
      {0, 1, 32767, 12345, 2, 100, 7, 0, 3, 4, 5, 6},
      {-32768, -1, 0, 1, 32767, -12345, 12345, -2, 2, 100, -100, 7},
  };
  for (const std::vector<int16_t>& Stored : Images) {
    TScratch_Folder Scratch;
    const std::string Path = Scratch.Path("signed.fit");
    Write_Cfitsio_Image(Path, SHORT_IMG, TSHORT, 4, 3, Stored, [](fitsfile*, int&) {});
    const bool Negative = *std::min_element(Stored.begin(), Stored.end()) < 0;
    const TImage_Model Model = Open_Without_Messages(Path);
    int Status = 0;
    fitsfile* File = nullptr;
    fits_open_file(&File, Path.c_str(), READONLY, &Status);
    const std::vector<int16_t> Read_Back = Cfitsio_Pixels<int16_t>(File, TSHORT, Stored.size(), Status);
    fits_close_file(File, &Status);
    ASSERT_EQ(Model.Image_Array.Holds_Float(), Negative);
    for (size_t k = 0; k < Stored.size(); ++k)
      if (Negative)
        EXPECT_EQ(Model.Image_Array.Float_Row(k / 4)[k % 4], Read_Back[k]) << k;
      else
        EXPECT_EQ(Model.Image_Array[k / 4][k % 4], static_cast<uint16_t>(Read_Back[k])) << k;
    Compare_Header(Path, Model);
  }
}

// Our test writer's files are valid FITS for cfitsio, with the values the reader finds.
TEST(Open_File_Cfitsio, Test_Writer_Files_Read_By_Both) {
  TScratch_Folder Scratch;
  const std::string Path = Scratch.Path("writer.fit");
  const std::vector<uint16_t> Physical = {0, 1, 32767, 32768, 65535, 4242, 100, 200, 300, 400, 500, 600};
  TFits_Writer Writer = Standard_Header(4, 3);
  Add_TAN_WCS(Writer, 83.822083, -5.391111, 2.5, 1.25, -2.777e-4, 1.2e-6, -1.3e-6, 2.777e-4);
  Writer.Add("OBJECT", "'NGC 1976'", "target");
  Writer.Write(Path, TFits_Writer::Data_Bytes_Unsigned(Physical));

  int Status = 0;
  fitsfile* File = nullptr;
  fits_open_file(&File, Path.c_str(), READONLY, &Status);
  EXPECT_EQ(Cfitsio_Pixels<uint16_t>(File, TUSHORT, Physical.size(), Status), Physical);
  EXPECT_EQ(Cfitsio_Double(File, "CRVAL1"), 83.822083);
  EXPECT_EQ(Cfitsio_Double(File, "CD1_2"), 1.2e-6);
  EXPECT_EQ(Cfitsio_Double(File, "CRPIX2"), 1.25);
  fits_close_file(File, &Status);

  const TImage_Model Model = Open_Without_Messages(Path);
  EXPECT_TRUE(Model.Plate_Solved);
  EXPECT_EQ(Model.WCS1.crval[0], 83.822083);
  EXPECT_EQ(Model.WCS1.cd[1], 1.2e-6);
  for (size_t k = 0; k < Physical.size(); ++k)
    EXPECT_EQ(Model.Image_Array[k / 4][k % 4], Physical[k]) << k;
  Compare_Header(Path, Model);
}

} // namespace

// A header as a plate solver following the FITS standard writes it: CRPIX counts pixels from
// 1. Read as it stands (the program's convention), every sky position lands one pixel right
// and down of where cfitsio's own transform puts it; read with Fits_Crpix, exactly there.
TEST(Open_File_Cfitsio, Standard_Crpix_Is_One_Pixel_Off_Unless_Asked_For) {
  TScratch_Folder Scratch;
  const std::string Path = Scratch.Path("solved.fit");
  const long Columns = 120, Rows = 90;
  Write_Cfitsio_Image(
      Path, USHORT_IMG, TUSHORT, Columns, Rows, std::vector<uint16_t>(Columns * Rows, 1000),
      [](fitsfile* File, int& Status) {
        double Crval1 = 310.5, Crval2 = 45.25, Crpix1 = 60.5, Crpix2 = 45.0;
        // East left, turned by 0.04 rad: a rotation cfitsio's transform can hold.
        const double S = 3.9e-4, C = std::cos(0.04), N = std::sin(0.04);
        double Cd[4] = {-S * C, S * N, S * N, S * C};
        const char* Names[4] = {"CD1_1", "CD1_2", "CD2_1", "CD2_2"};
        fits_update_key(File, TSTRING, "CTYPE1", const_cast<char*>("RA---TAN-SIP"), "", &Status);
        fits_update_key(File, TSTRING, "CTYPE2", const_cast<char*>("DEC--TAN-SIP"), "", &Status);
        fits_update_key(File, TDOUBLE, "CRVAL1", &Crval1, "", &Status);
        fits_update_key(File, TDOUBLE, "CRVAL2", &Crval2, "", &Status);
        fits_update_key(File, TDOUBLE, "CRPIX1", &Crpix1, "", &Status);
        fits_update_key(File, TDOUBLE, "CRPIX2", &Crpix2, "", &Status);
        for (int k = 0; k < 4; ++k)
          fits_update_key(File, TDOUBLE, Names[k], &Cd[k], "", &Status);
      });

  // cfitsio's transform: 1-based pixels, as the standard has them.
  int Status = 0;
  fitsfile* File = nullptr;
  fits_open_file(&File, Path.c_str(), READONLY, &Status);
  double Xref, Yref, Xref_Pix, Yref_Pix, Xinc, Yinc, Rot;
  char Type[5];
  fits_read_img_coord(File, &Xref, &Yref, &Xref_Pix, &Yref_Pix, &Xinc, &Yinc, &Rot, Type, &Status);
  fits_close_file(File, &Status);
  Check(Status, "read_img_coord");

  const struct {
    double RA, Dec; // degrees
  } Stars[] = {{310.5, 45.25}, {310.49, 45.26}, {310.52, 45.245}};
  for (const bool Fits_Crpix : {false, true}) {
    TImage_Model Model;
    TRecording_Messages Messages;
    Model.Open_File(Path, Messages, TOpen_Options{Fits_Crpix});
    ASSERT_TRUE(Model.Plate_Solved);
    EXPECT_NE(Model.Distortion_Note().find("RA---TAN-SIP"), std::string::npos);
    for (const auto& Star : Stars) {
      SCOPED_TRACE(std::to_string(Star.RA) + " " + std::to_string(Star.Dec) +
                   (Fits_Crpix ? " standard" : ""));
      double X1 = 0, Y1 = 0;
      Status = 0;
      fits_world_to_pix(Star.RA, Star.Dec, Xref, Yref, Xref_Pix, Yref_Pix, Xinc, Yinc, Rot, Type, &X1, &Y1,
                        &Status);
      ASSERT_EQ(Status, 0);
      TCCDPosition P;
      Model.WCS_Calculator.tnxpix(Model.WCS1, P, Star.RA, Star.Dec);
      const double Offset = Fits_Crpix ? 0.0 : 1.0; // the 0-based pixel is the standard's less 1
      EXPECT_NEAR(P.x, X1 - 1.0 + Offset, 2e-3);
      EXPECT_NEAR(P.y, Y1 - 1.0 + Offset, 2e-3);
    }
  }
}
