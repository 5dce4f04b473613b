// World-coordinate layouts as the FITS reader takes them (CD; CDELT with CROTA2 or PC; SIP
// distortion), each read back through tnxpos/tnxpix and compared with wcslib parsing the
// same header cards.

#include "image/Image_Model.h"
#include "support/Fits_Writer.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"

#include <gtest/gtest.h>
#include <wcslib/wcs.h>
#include <wcslib/wcshdr.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using TCards = std::vector<std::pair<std::string, std::string>>;

std::string Real(double Value) {
  char Buffer[32];
  std::snprintf(Buffer, sizeof Buffer, "%.17G", Value);
  return Buffer;
}

constexpr int Columns = 2000, Rows = 1500;
constexpr double Scale = 1.2 / 3600.0; // degrees per pixel

// The header of a 2000 x 1500 frame at RA 201.3, Dec +47.2 with CRPIX as the standard counts.
TFits_Writer Frame(const std::string& Ctype_Suffix, const TCards& Cards) {
  TFits_Writer W = Standard_Header(Columns, Rows);
  W.Add("CTYPE1", "'RA---TAN" + Ctype_Suffix + "'");
  W.Add("CTYPE2", "'DEC--TAN" + Ctype_Suffix + "'");
  W.Add("CRVAL1", "201.3");
  W.Add("CRVAL2", "47.2");
  W.Add("CRPIX1", "1000.5");
  W.Add("CRPIX2", "750.5");
  for (const auto& [Key, Value] : Cards)
    W.Add(Key, Value);
  return W;
}

// Our reader on the header, with CRPIX counted from 1 as the standard has it.
struct TRead {
  TImage_Model Model;
  TRecording_Messages Messages;
};

void Read(TRead& R, const TFits_Writer& W) {
  TScratch_Folder Scratch;
  const std::string Path = Scratch.Path("frame.fit");
  W.Write(Path, TFits_Writer::Data_Bytes_Unsigned(std::vector<uint16_t>(size_t{Columns} * Rows, 0)));
  R.Model.Open_File(Path, R.Messages, TOpen_Options{true});
}

// wcslib on the same cards: its pixels count from 1, ours from 0.
class TWcslib {
public:
  explicit TWcslib(const TFits_Writer& W) {
    std::string Header = W.Header_Bytes(false);
    int Rejected = 0;
    if (wcspih(Header.data(), static_cast<int>(Header.size() / 80), WCSHDR_all, 0, &Rejected, &Count, &Wcs) !=
            0 ||
        Count < 1 || wcsset(Wcs) != 0)
      ADD_FAILURE() << "wcslib does not take the header";
  }
  TWcslib(const TWcslib&) = delete;
  TWcslib& operator=(const TWcslib&) = delete;
  ~TWcslib() { wcsvfree(&Count, &Wcs); }

  TSkyPosition Sky(double x, double y) {
    const double pix[2] = {x + 1.0, y + 1.0};
    double img[2], phi, theta, world[2] = {};
    int stat;
    EXPECT_EQ(wcsp2s(Wcs, 1, 2, pix, img, &phi, &theta, world, &stat), 0);
    return {world[0], world[1]};
  }
  TCCDPosition Pixel(const TSkyPosition& S) {
    const double world[2] = {S.RA, S.Dec};
    double phi, theta, img[2], pix[2] = {};
    int stat;
    EXPECT_EQ(wcss2p(Wcs, 1, 2, world, &phi, &theta, img, pix, &stat), 0);
    return {pix[0] - 1.0, pix[1] - 1.0};
  }

private:
  int Count = 0;
  wcsprm* Wcs = nullptr;
};

// Pixels across the frame, corners included: where a distortion is largest.
const TCCDPosition Probe_Pixels[] = {{0, 0}, {1999, 0}, {0, 1499}, {1999, 1499}, {999.5, 749.5}, {1500, 300}};

struct TLayout_Case {
  const char* Name;
  TCards Cards;
  std::string Suffix = "";
  bool Solved = true;
  bool Pointing = false;         // a CDELT layout without distortion terms
  std::string Note = "";         // part of the reader's message, when one is expected
  double Pixel_Tolerance = 3e-5; // tnxpix against wcslib's sky-to-pixel, px
};

// Distortion of a solver-style third-order fit, Strength 1: about 2 px at the corners.
// With Inverse also AP/BP, the negated forward terms: a first-order inverse, good to 1e-3 px
// only for a weak distortion (Strength 0.1: about 3e-4 px at the corners).
TCards Sip_Terms(bool Inverse, double Strength = 1.0) {
  const std::pair<const char*, double> Forward[] = {
      {"A_2_0", 2.1E-6},  {"A_1_1", -1.3E-6}, {"A_0_2", 7.5E-7},  {"A_3_0", -2.2E-9}, {"A_1_2", 1.1E-9},
      {"B_2_0", -9.0E-7}, {"B_1_1", 1.7E-6},  {"B_0_2", -2.4E-6}, {"B_2_1", 1.9E-9},  {"B_0_3", -1.4E-9}};
  TCards C = {{"CD1_1", Real(-Scale * 0.996)},
              {"CD1_2", Real(Scale * 0.087)},
              {"CD2_1", Real(Scale * 0.087)},
              {"CD2_2", Real(Scale * 0.996)},
              {"A_ORDER", "3"},
              {"B_ORDER", "3"}};
  for (const auto& [Key, Value] : Forward)
    C.push_back({Key, Real(Value * Strength)});
  if (Inverse) {
    C.push_back({"AP_ORDER", "3"});
    C.push_back({"BP_ORDER", "3"});
    for (const auto& [Key, Value] : Forward)
      C.push_back({std::string(1, Key[0]) + "P" + (Key + 1), Real(-Value * Strength)});
  }
  return C;
}

std::vector<TLayout_Case> Layout_Cases() {
  const double c = std::cos(0.4), s = std::sin(0.4);
  std::vector<TLayout_Case> Cases = {
      {"CD matrix",
       {{"CD1_1", Real(-Scale * c)},
        {"CD1_2", Real(Scale * s)},
        {"CD2_1", Real(Scale * s)},
        {"CD2_2", Real(Scale * c)}}},
      {"CDELT and CROTA2, east left",
       {{"CDELT1", Real(-Scale)}, {"CDELT2", Real(Scale)}, {"CROTA2", "23.5"}},
       "",
       true,
       true},
      {"CDELT and CROTA2, mirrored",
       {{"CDELT1", Real(Scale)}, {"CDELT2", Real(Scale * 1.01)}, {"CROTA2", "-141.0"}},
       "",
       true,
       true},
      {"CDELT without rotation", {{"CDELT1", Real(-Scale)}, {"CDELT2", Real(Scale)}}, "", true, true},
      {"CDELT and PC, PC2_1 left to the unit matrix",
       {{"CDELT1", Real(-Scale)},
        {"CDELT2", Real(Scale)},
        {"PC1_1", "0.94"},
        {"PC1_2", "-0.33"},
        {"PC2_2", "0.95"}},
       "",
       true,
       true},
      {"CDELT, PC and CROTA2: PC wins",
       {{"CDELT1", Real(-Scale)},
        {"CDELT2", Real(Scale)},
        {"CROTA2", "70.0"},
        {"PC1_1", "0.8"},
        {"PC1_2", "0.6"},
        {"PC2_1", "-0.6"},
        {"PC2_2", "0.8"}},
       "",
       true,
       true},
      {"CD and CDELT: CD wins",
       {{"CDELT1", "0.5"},
        {"CDELT2", "0.5"},
        {"CROTA2", "10.0"},
        {"CD1_1", Real(-Scale)},
        {"CD1_2", "0.0"},
        {"CD2_1", "0.0"},
        {"CD2_2", Real(Scale)}}},
      {"SIP with its inverse terms", Sip_Terms(true, 0.1), "-SIP", true, false, "", 1e-3},
      {"SIP, inverse by iteration", Sip_Terms(false), "-SIP", true, false, "", 1e-3},
      // Not solved: wcslib is not asked.
      {"partial CD with CDELT",
       {{"CDELT1", Real(-Scale)}, {"CDELT2", Real(Scale)}, {"CD1_1", Real(-Scale)}, {"CD2_2", Real(Scale)}},
       "",
       false},
      {"CDELT1 of 0", {{"CDELT1", "0.0"}, {"CDELT2", Real(Scale)}}, "", false, false, "singular"},
  };
  // Hostile SIP orders: refused with a message naming the keyword, never a crash or a hang.
  for (const char* Order : {"10", "-1", "2.5", "1E300", "NaN"}) {
    TCards C = Sip_Terms(false);
    C[4].second = Order;
    Cases.push_back({"A_ORDER out of range", C, "-SIP", false, false,
                     std::string(Order) == "NaN" ? "A_ORDER" : "A_ORDER must be an integer from 0 to 9"});
  }
  TCards Huge = Sip_Terms(false);
  Huge.push_back({"B_1_2", "1E999"});
  Cases.push_back(
      {"SIP coefficient beyond the double range", Huge, "-SIP", false, false, "not a finite number"});
  return Cases;
}

} // namespace

TEST(Header_Layout, Each_Layout_Places_The_Sky_As_Wcslib_Does) {
  for (const TLayout_Case& C : Layout_Cases()) {
    SCOPED_TRACE(C.Name);
    const TFits_Writer W = Frame(C.Suffix, C.Cards);
    TRead R;
    Read(R, W);
    const TImage_Model& M = R.Model;
    ASSERT_EQ(M.Plate_Solved, C.Solved);
    EXPECT_EQ(M.Pointing_WCS, C.Pointing);
    EXPECT_TRUE(M.Distortion_Note().empty()) << M.Distortion_Note();
    std::string Shown;
    for (const auto& Line : R.Messages.Texts)
      Shown += Line + "\n";
    if (C.Note.empty())
      EXPECT_EQ(Shown, "");
    else
      EXPECT_NE(Shown.find(C.Note), std::string::npos) << Shown;
    if (!C.Solved) {
      EXPECT_EQ(M.Last_Error, TResult_Code::Not_Plate_Solved);
      continue;
    }
    TWcslib Reference(W);
    for (const TCCDPosition& P : Probe_Pixels) {
      SCOPED_TRACE(std::to_string(P.x) + ", " + std::to_string(P.y));
      const TSkyPosition Expected = Reference.Sky(P.x, P.y);
      TSkyPosition Got;
      M.WCS_Calculator.tnxpos(M.WCS1, Got, P.x, P.y);
      // The transform's sphere radius, 57.295779 degrees per radian, is short of 180 / pi by
      // 1e-8 of itself: that, not the layout, sets the agreement, a few 1e-9 degrees here.
      EXPECT_NEAR(Got.RA, Expected.RA, 1e-8);
      EXPECT_NEAR(Got.Dec, Expected.Dec, 1e-8);
      // The sky point back to a pixel: wcslib's answer is the reference, ours must agree.
      const TCCDPosition Back = Reference.Pixel(Expected);
      TCCDPosition Ours;
      M.WCS_Calculator.tnxpix(M.WCS1, Ours, Expected.RA, Expected.Dec);
      EXPECT_NEAR(Ours.x, Back.x, C.Pixel_Tolerance);
      EXPECT_NEAR(Ours.y, Back.y, C.Pixel_Tolerance);
    }
  }
}
