// The header as the model takes it: for a varied set of headers, every field the header
// fills, the findings in order and the refusal, read whole and read on demand (whose array
// has no block of rows). The expected texts are what the reader gave before its keywords
// moved into one table.

#include "image/Display.h"
#include "image/Image_Model.h"
#include "support/Fits_Writer.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"

#include <gtest/gtest.h>

#include <charconv>
#include <string>
#include <vector>

namespace {

using TCards = std::vector<std::string>;

std::string Number(double Value) {
  char Buffer[64];
  const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  return std::string(Buffer, Result.ptr);
}

std::string Numbers(const double* Values, size_t Count) {
  std::string Text;
  for (size_t k = 0; k < Count; ++k)
    Text += " " + Number(Values[k]);
  return Text;
}

// Every header field of the model, one line per kind. Trailing blanks of DATE-OBS, which
// keeps its value as written, are counted rather than shown.
std::string Header_Fields(const TImage_Model& M) {
  std::string Date = M.Date_Obs;
  size_t Blanks = 0;
  while (!Date.empty() && Date.back() == ' ') {
    Date.pop_back();
    ++Blanks;
  }
  std::string Text = "EXPOSURE " + Number(M.Exposure) + " JD " + Number(M.JD) + " AIRMASS " +
                     Number(M.AirMass) + " DATE-OBS [" + Date + "]+" + std::to_string(Blanks) + " FILTER " +
                     std::to_string(static_cast<unsigned char>(M.Image_Filter_Letter)) + "\n";
  const TWCSRecord& W = M.WCS1;
  Text += "CRVAL" + Numbers(W.crval, 2) + " CRPIX" + Numbers(W.crpix, 2) + " REF " + Number(W.xrefpix) + " " +
          Number(W.yrefpix) + " CD" + Numbers(W.cd, 4) + " CDELT" + Numbers(W.cdelt, 2) + " LONPOLE " +
          Number(W.longpole) + "\n";
  Text += "DC" + Numbers(W.dc, 4) + (W.rotmat ? " ROTMAT" : "") + "\n";
  Text += "FOUND";
  const std::pair<const char*, bool> Flags[] = {{"CRVAL1", M.CRVAL1_found}, {"CRVAL2", M.CRVAL2_found},
                                                {"CRPIX1", M.CRPIX1_found}, {"CRPIX2", M.CRPIX2_found},
                                                {"CD1_1", M.CD1_1_found},   {"CD1_2", M.CD1_2_found},
                                                {"CD2_1", M.CD2_1_found},   {"CD2_2", M.CD2_2_found}};
  for (const auto& [Name, Found] : Flags)
    if (Found)
      Text += std::string(" ") + Name;
  Text += std::string(M.Plate_Solved ? " SOLVED" : "") + " CODE " +
          std::to_string(Code_Number(M.Last_Error)) + "\n";
  Text += "BITPIX " + std::to_string(M.BitPix) + " SIZE " + std::to_string(M.XSize) + "x" +
          std::to_string(M.YSize) + " NKEYS " + std::to_string(M.NKeys) + " CARDS " +
          std::to_string(M.Cards.size());
  // Only a header that gives a saturation level shows it.
  if (M.SATURATE_found || M.DATAMAX_found)
    Text += "\nSATURATION " + Number(M.Saturation_Level());
  return Text;
}

const std::string Equals = "\"= \" Expected!";

// A plate-solved world-coordinate system with a distinct value in every element.
const TCards WCS = {"CRVAL1  = 310.5 / RA", "CRVAL2  = 45.25",  "CRPIX1  = 200.5",  "CRPIX2  = 150.25",
                    "CD1_1   = -4.1E-4",    "CD1_2   = 1.0E-6", "CD2_1   = 2.0E-6", "CD2_2   = 4.2E-4",
                    "CDELT1  = -4.0E-4",    "CDELT2  = 4.0E-4", "LONPOLE = 175.0"};
const TCards Observation = {"EXPOSURE= 120.0 / s", "JD      = 2460218.3125", "AIRMASS = 1.31",
                            "DATE-OBS= '2023-09-30T19:30:00' / start", "FILTER  = 'V'"};

TCards Join(std::initializer_list<TCards> Parts) {
  TCards All;
  for (const TCards& Part : Parts)
    All.insert(All.end(), Part.begin(), Part.end());
  return All;
}

TEST(Header_Keywords, Every_Header_Gives_The_Same_Model_Findings_And_Refusal) {
  struct TCase {
    const char* Name;
    TCards Cards;        // after SIMPLE, BITPIX 16, NAXIS 2, NAXIS1 3, NAXIS2 2, BZERO 32768
    bool Whole_Header;   // Cards are the whole header before END instead
    bool Fits_Crpix;     // CRPIX counted from 1
    std::string Fields;  // Header_Fields afterwards, refused or not
    TCards Messages;     // in the order shown
    std::string Refusal; // the error after "FILE: ", empty when the image opens
  };
  // The model of the plate-solved header with its observation values, in whatever order.
  const std::string Solved_Fields =
      "EXPOSURE 120 JD 2460218.3131944444 AIRMASS 1.31 DATE-OBS ['2023-09-30T19:30:00']+1 FILTER 86\n"
      "CRVAL 310.5 45.25 CRPIX 200.5 150.25 REF 200.5 150.25 CD -0.00041 1e-06 2e-06 0.00042 CDELT -4e-04 "
      "4e-04 LONPOLE 175\n"
      "DC -2438.9960627634987 5.807133482770235 11.61426696554047 2380.9247279357965 ROTMAT\n"
      "FOUND CRVAL1 CRVAL2 CRPIX1 CRPIX2 CD1_1 CD1_2 CD2_1 CD2_2 SOLVED CODE 1\n"
      "BITPIX 16 SIZE 3x2 NKEYS 22 CARDS 36";
  const TCase Cases[] = {
      {"plate-solved with observation values", Join({Observation, WCS}), false, false, Solved_Fields, {}, ""},
      {"the same cards in another order",
       Join({{WCS[7], WCS[2], Observation[4], WCS[0], WCS[10], Observation[1]},
             {WCS[5], WCS[3], WCS[9], WCS[6], Observation[0], WCS[1]},
             {WCS[4], Observation[3], WCS[8], Observation[2]}}),
       false,
       false,
       Solved_Fields,
       {},
       ""},
      {"CRPIX counted from 1",
       Join({WCS, {"CRPIX2  = 'x'"}}),
       false,
       true,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 310.5 45.25 CRPIX 199.5 0 REF 199.5 0 CD -0.00041 1e-06 2e-06 0.00042 CDELT -4e-04 4e-04 "
       "LONPOLE 175\n"
       "DC -2438.9960627634987 5.807133482770235 11.61426696554047 2380.9247279357965 ROTMAT\n"
       "FOUND CRVAL1 CRVAL2 CRPIX1 CRPIX2 CD1_1 CD1_2 CD2_1 CD2_2 SOLVED CODE 1\n"
       "BITPIX 16 SIZE 3x2 NKEYS 18 CARDS 36",
       {},
       ""},
      {"repeated keywords: the last counts, one that does not convert too",
       Join({WCS,
             Observation,
             {"EXPOSURE= 30", "FILTER  = 'Rc' / red", "CRVAL1  = 12.5", "CRVAL2  = 'north'",
              "AIRMASS = 'high'", "CD2_2   = 1,5E-4", "LONPOLE = x", "CDELT1  = 2.5E-4",
              "JD      = 2460000.5", "DATE-OBS= 'caf\xE9'", "CRPIX1  = 3"}}),
       false,
       false,
       "EXPOSURE 30 JD 2460000.500173611 AIRMASS 1 DATE-OBS ['caf\xC3\xA9']+64 FILTER 82\n"
       "CRVAL 12.5 0 CRPIX 3 150.25 REF 3 150.25 CD -0.00041 1e-06 2e-06 0 CDELT 0.00025 4e-04 LONPOLE 180\n"
       "DC -0 5e+05 1e+06 2.05e+08 ROTMAT\n"
       "FOUND CRVAL1 CRVAL2 CRPIX1 CRPIX2 CD1_1 CD1_2 CD2_1 CD2_2 SOLVED CODE 1\n"
       "BITPIX 16 SIZE 3x2 NKEYS 33 CARDS 36",
       {},
       ""},
      {"values that do not convert, and keywords in other case or spelling",
       {"CRVAL1  = '310.5'", "CRVAL2  = 45.25.1", "CRPIX1  = 1.5D2", "CRPIX2  =", "CD1_1   = -4.1E-4",
        "CD1_2   = 0", "CD2_1   = 0", "CD2_2   = 4.2E-4", "EXPOSURE=  60", "exposure= 30",
        "JD        2460218.5", "LONPOLE = ''", "CDELT2  = inf", "AIRMASS = +1.5e0", "FILTER  = B"},
       false,
       false,
       "EXPOSURE 60 JD 0.00034722222222222224 AIRMASS 1.5 DATE-OBS []+0 FILTER 32\n"
       "CRVAL 0 0 CRPIX 0 0 REF 0 0 CD -0.00041 0 0 0.00042 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CD1_1 CD1_2 CD2_1 CD2_2 CODE 2\n"
       "BITPIX 16 SIZE 3x2 NKEYS 21 CARDS 36",
       {},
       ""},
      {"no reference pixel, no observation values",
       {WCS[0], WCS[1], WCS[4], WCS[5], WCS[6], WCS[7]},
       false,
       false,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 310.5 45.25 CRPIX 0 0 REF 0 0 CD -0.00041 1e-06 2e-06 0.00042 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CRVAL1 CRVAL2 CD1_1 CD1_2 CD2_1 CD2_2 CODE 2\n"
       "BITPIX 16 SIZE 3x2 NKEYS 12 CARDS 36",
       {},
       ""},
      {"keywords with control characters and blanks after them",
       Join({{"CRVAL1\t = 310.5", "CRVAL2  \t= 45.25"}, {WCS.begin() + 2, WCS.end()}, {"EXPOSURE\x01= 60"}}),
       false,
       true,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 310.5 0 CRPIX 199.5 149.25 REF 199.5 149.25 CD -0.00041 1e-06 2e-06 0.00042 CDELT -4e-04 4e-04 "
       "LONPOLE 175\n"
       "DC 0 0 0 0\n"
       "FOUND CRVAL1 CRPIX1 CRPIX2 CD1_1 CD1_2 CD2_1 CD2_2 CODE 2\n"
       "BITPIX 16 SIZE 3x2 NKEYS 18 CARDS 36",
       {},
       ""},
      {"cards after a first END in its record, and the last END",
       Join({WCS, {"END", "EXPOSURE= 99", "NAXIS1  = 7", "CRVAL1  = 1.0"}}),
       false,
       false,
       "EXPOSURE 99 JD 0.0005729166666666667 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 1 45.25 CRPIX 200.5 150.25 REF 200.5 150.25 CD -0.00041 1e-06 2e-06 0.00042 CDELT -4e-04 4e-04 "
       "LONPOLE 175\n"
       "DC -2438.9960627634987 5.807133482770235 11.61426696554047 2380.9247279357965 ROTMAT\n"
       "FOUND CRVAL1 CRVAL2 CRPIX1 CRPIX2 CD1_1 CD1_2 CD2_1 CD2_2 SOLVED CODE 1\n"
       "BITPIX 16 SIZE 3x2 NKEYS 21 CARDS 36",
       {},
       ""},
      {"SATURATE wins over DATAMAX",
       {"SATURATE= 52000.5", "DATAMAX = 40000"},
       false,
       false,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 0 0 CRPIX 0 0 REF 0 0 CD 0 0 0 0 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CODE 2\n"
       "BITPIX 16 SIZE 3x2 NKEYS 8 CARDS 36\n"
       "SATURATION 52000.5",
       {},
       ""},
      {"a SATURATE whose last value does not convert leaves DATAMAX",
       {"SATURATE= 60000", "DATAMAX = 40000", "SATURATE= 'high'"},
       false,
       false,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 0 0 CRPIX 0 0 REF 0 0 CD 0 0 0 0 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CODE 2\n"
       "BITPIX 16 SIZE 3x2 NKEYS 9 CARDS 36\n"
       "SATURATION 40000",
       {},
       ""},
      {"world keywords and findings among the mandatory positions",
       {"SIMPLE  = F", "BITPIX  = 16", "CRVAL1  = 5.5", "GAIN    =X1", "NAXIS1  = 3", "NAXIS2  = 2",
        "BZERO   = 32768", "BSCALE  = 2.0", "NAXIS   = 3", "BZERO   = 0", "BSCALE  = 'x'", "NAXIS2  = 9"},
       true,
       false,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 5.5 0 CRPIX 0 0 REF 0 0 CD 0 0 0 0 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CRVAL1 CODE 2\n"
       "BITPIX 16 SIZE 3x2 NKEYS 12 CARDS 36",
       {Equals, "Not a simple FITs Format!", "NAXIS keyword not found!", "BScale <> 1.0 not supported!"},
       ""},
      {"mandatory findings in order",
       {"SIMPLE  = F", "BITPIX  = 16", "NAXIS   = 3", "NAXIS1  = 3", "NAXIS2  = 2", "BZERO   = 32768",
        "BSCALE  = 2.0", "OBJECT  =X'x'"},
       true,
       false,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 0 0 CRPIX 0 0 REF 0 0 CD 0 0 0 0 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CODE 2\n"
       "BITPIX 16 SIZE 3x2 NKEYS 8 CARDS 36",
       {Equals, "Not a simple FITs Format!", "Not a 2 dimensional image!", "BScale <> 1.0 not supported!"},
       ""},
      {"a short FILTER stops the reading at its card",
       {"EXPOSURE= 60", "GAIN    =X1", "FILTER  =" + std::string(70, ' ') + "V", "JD      = 2460218.5",
        "GAIN    =X2"},
       false,
       false,
       "EXPOSURE 60 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 0 0 CRPIX 0 0 REF 0 0 CD 0 0 0 0 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CODE 1\n"
       "BITPIX 0 SIZE 0x0 NKEYS 0 CARDS 9",
       {Equals},
       "FILTER value 'V' is too short to give a filter letter"},
      {"a singular CD matrix is refused before the mandatory findings",
       {"SIMPLE  = F", "BITPIX  = 8", "NAXIS   = 2", "NAXIS1  = 3", "NAXIS2  = 2", "CRVAL1  = 1",
        "CRVAL2  = 2", "CRPIX1  = 1", "CRPIX2  = 1", "CD1_1   = 1.0E-4", "CD1_2   = 2.0E-4",
        "CD2_1   = 2.0E-4", "CD2_2   = 4.0E-4"},
       true,
       false,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 1 2 CRPIX 1 1 REF 1 1 CD 1e-04 2e-04 2e-04 4e-04 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0 ROTMAT\n"
       "FOUND CRVAL1 CRVAL2 CRPIX1 CRPIX2 CD1_1 CD1_2 CD2_1 CD2_2 SOLVED CODE 1\n"
       "BITPIX 0 SIZE 0x0 NKEYS 13 CARDS 36",
       {},
       "singular CD matrix: the image's CD1_1..CD2_2 cannot be inverted"},
      {"a 12-bit image is refused after the findings",
       {"SIMPLE  = T", "BITPIX  = 12", "NAXIS   = 1", "NAXIS1  = 3", "NAXIS2  = 2", "EXPOSURE= 10"},
       true,
       false,
       "EXPOSURE 10 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 0 0 CRPIX 0 0 REF 0 0 CD 0 0 0 0 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CODE 2\n"
       "BITPIX 12 SIZE 0x0 NKEYS 6 CARDS 36",
       {"Not a 16 bit image!"},
       "BITPIX 12 is not supported; images of BITPIX 8, 16, 32, -32 and -64 can be read"},
      {"no BITPIX card",
       {"SIMPLE  = T", "NAXIS   = 2", "BITPIX  = 16", "NAXIS1  = 3", "NAXIS2  = 2"},
       true,
       false,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 0 0 CRPIX 0 0 REF 0 0 CD 0 0 0 0 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CODE 2\n"
       "BITPIX 0 SIZE 0x0 NKEYS 5 CARDS 36",
       {"BITPIX keyword not found!", "Not a 16 bit image!", "NAXIS keyword not found!"},
       "no BITPIX keyword; images of BITPIX 8, 16, 32, -32 and -64 can be read"},
      {"a BZERO that is not a number",
       {"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 3", "NAXIS2  = 2", "BZERO   = 'z'",
        "BZERO   = 0"},
       true,
       false,
       "EXPOSURE 0 JD 0 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 0 0 CRPIX 0 0 REF 0 0 CD 0 0 0 0 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CODE 2\n"
       "BITPIX 16 SIZE 3x2 NKEYS 7 CARDS 36",
       {},
       "BZERO value ''z'' is not a number"},
      {"no NAXIS1: refused once the exposure moved JD to mid-exposure",
       {"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 2", "NAXIS2  = 2", "EXPOSURE= 60", "JD      = 2460218.5"},
       true,
       false,
       "EXPOSURE 60 JD 2460218.500347222 AIRMASS 1 DATE-OBS []+0 FILTER 0\n"
       "CRVAL 0 0 CRPIX 0 0 REF 0 0 CD 0 0 0 0 CDELT 0 0 LONPOLE 180\n"
       "DC 0 0 0 0\n"
       "FOUND CODE 2\n"
       "BITPIX 16 SIZE 0x2 NKEYS 6 CARDS 36",
       {},
       "NAXIS1 is missing or 0: the image has no pixels to show or measure"},
  };
  TScratch_Folder Scratch;
  const std::vector<uint16_t> Six_Pixels = {10, 20, 30, 40, 50, 60};
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    TFits_Writer Writer = Case.Whole_Header ? TFits_Writer() : Standard_Header(3, 2);
    for (const std::string& Card : Case.Cards)
      Writer.Add_Raw(Card);
    const std::string Path =
        Scratch.Write("header.fit", Writer.Header_Bytes() + TFits_Writer::Data_Bytes_Unsigned(Six_Pixels));
    for (const bool On_Demand : {false, true}) {
      SCOPED_TRACE(On_Demand ? "read on demand" : "read whole");
      TImage_Model Model;
      TRecording_Messages Messages;
      std::string Refusal;
      try {
        Model.Open_File(Path, Messages, TOpen_Options{Case.Fits_Crpix, On_Demand});
      } catch (const TKorvane_Error& Error) {
        Refusal = Error.what();
        ASSERT_EQ(Refusal.rfind(Path + ": ", 0), 0u) << Refusal;
        Refusal.erase(0, Path.size() + 2);
      }
      EXPECT_EQ(Header_Fields(Model), Case.Fields);
      EXPECT_EQ(Messages.Texts, Case.Messages);
      EXPECT_EQ(Refusal, Case.Refusal);
      if (!Refusal.empty())
        continue;
      // The data start after the header's last record and take the first BZERO.
      for (size_t Row = 0; Row < 2; ++Row) {
        const uint16_t* Values = Model.Image_Array.Span(Row, 0, 2);
        for (size_t Column = 0; Column < 3; ++Column)
          EXPECT_EQ(Values[Column], Six_Pixels[Row * 3 + Column]) << Row << ", " << Column;
      }
      // An array read on demand has no block of rows to hand out or to walk.
      if (On_Demand) {
        EXPECT_THROW(Model.Image_Array[1], TKorvane_Error);
        EXPECT_THROW(Build_Histogram(Model.Image_Array), TKorvane_Error);
      } else {
        EXPECT_EQ(Model.Image_Array[1][2], 60);
      }
    }
  }
}

} // namespace
