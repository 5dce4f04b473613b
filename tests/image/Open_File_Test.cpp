#include "image/Fits_Data.h"
#include "image/Image_Model.h"
#include "support/Fits_Writer.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"
#include "text/Number_Format.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <new>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

// Largest single allocation while tracking is on: proves that a lying header costs no memory.
namespace {
std::atomic<bool> Tracking{false};
std::atomic<size_t> Largest_Allocation{0};
} // namespace

[[gnu::noinline]] void* operator new(size_t Size) {
  if (Tracking.load(std::memory_order_relaxed) && Size > Largest_Allocation.load())
    Largest_Allocation = Size;
  if (void* Block = std::malloc(Size ? Size : 1))
    return Block;
  throw std::bad_alloc();
}
// Kept out of line: inlined into callers, the free() would look mismatched to the compiler.
[[gnu::noinline]] void operator delete(void* Block) noexcept {
  std::free(Block);
}
[[gnu::noinline]] void operator delete(void* Block, size_t) noexcept {
  std::free(Block);
}

namespace {

using TCards = std::vector<std::string>; // raw cards, padded to 80 by the writer

const std::string Not_Simple = "Not a simple FITs Format!";
const std::string No_Simple = "SIMPLE keyword not found!";
const std::string No_Bitpix = "BITPIX keyword not found!";
const std::string Not_16 = "Not a 16 bit image!";
const std::string No_Naxis = "NAXIS keyword not found!";
const std::string Not_2D = "Not a 2 dimensional image!";
const std::string Bscale = "BScale <> 1.0 not supported!";
const std::string Equals = "\"= \" Expected!";

// Six pixels of a 3 x 2 image, stored with BZERO 32768.
const std::vector<uint16_t> Six_Pixels = {10, 20, 30, 40, 50, 60};

class Open_File_Test : public ::testing::Test {
protected:
  // A 3 x 2 image with the standard header, then Extra cards, then six pixels.
  std::string Standard_File(const TCards& Extra, const std::string& Name = "image.fit") {
    TFits_Writer Writer = Standard_Header(3, 2);
    for (const auto& Card : Extra)
      Writer.Add_Raw(Card);
    return Scratch.Write(Name, Writer.Header_Bytes() + TFits_Writer::Data_Bytes_Unsigned(Six_Pixels));
  }
  // Opens Path; returns the error text when the open is abandoned.
  std::optional<std::string> Open(const std::string& Path) {
    try {
      Model.Open_File(Path, Messages);
    } catch (const TKorvane_Error& Error) {
      return std::string(Error.what());
    }
    return std::nullopt;
  }

  TScratch_Folder Scratch;
  TImage_Model Model;
  TRecording_Messages Messages;
};

TEST_F(Open_File_Test, Minimal_File_Loads_Without_Messages) {
  const std::string Path = Standard_File({});
  ASSERT_EQ(std::filesystem::file_size(Path), 2880u + 12u);
  ASSERT_EQ(Open(Path), std::nullopt);
  EXPECT_TRUE(Messages.Texts.empty());
  EXPECT_EQ(Model.NKeys, 6u);
  EXPECT_EQ(Model.Cards.size(), 36u);
  EXPECT_EQ(Model.Cards[6].Key, "END");
  EXPECT_EQ(Model.Cards[0].Value, "T");
  EXPECT_EQ(Model.Cards[5].Value, "32768");
  EXPECT_EQ(Trim_Right_Controls(Model.Cards[1].Comment), "number of bits per data pixel");
  EXPECT_EQ(Model.XSize, 3);
  EXPECT_EQ(Model.YSize, 2);
  EXPECT_FALSE(Model.Plate_Solved);
  EXPECT_FALSE(Model.WCS1.rotmat);
  EXPECT_EQ(Code_Number(Model.Last_Error), 2);
  EXPECT_EQ(Model.FileName, Path);
  EXPECT_EQ(Model.Caption_String, Path);
  EXPECT_EQ(Model.WCS1.rodeg, 57.295779);
  EXPECT_EQ(Model.WCS1.longpole, 180.0);
  EXPECT_EQ(Model.Image_Array[0][0], 10);
  EXPECT_EQ(Model.Image_Array[0][2], 30);
  EXPECT_EQ(Model.Image_Array[1][0], 40);
  EXPECT_EQ(Model.Image_Array[1][2], 60);
}

TEST_F(Open_File_Test, Zero_Offset_Gives_Values_Within_0_To_65535) {
  // Stored bytes 80 00, 7F FF, FF FF: the signed words -32768, 32767, -1.
  const std::string Full_Range("\x80\x00\x7F\xFF\xFF\xFF", 6);
  // The signed words 0, 32767, 1: never negative.
  const std::string Non_Negative("\x00\x00\x7F\xFF\x00\x01", 6);
  struct TCase {
    const char* Bzero; // nullptr: no BZERO card
    const std::string& Data;
    std::vector<int> Expected; // empty: the open is abandoned
    const char* Refusal;       // then: what the message names
    bool Physical = false;     // read as floating-point values
  };
  const TCase Cases[] = {
      {"32768", Full_Range, {0, 65535, 32767}, nullptr},
      {"32767.5", Full_Range, {0, 65535, 32767}, nullptr},
      {"32768.4", Full_Range, {0, 65535, 32767}, nullptr},
      {"3.2768E4", Full_Range, {0, 65535, 32767}, nullptr},
      {"0", Non_Negative, {0, 32767, 1}, nullptr},
      {nullptr, Non_Negative, {0, 32767, 1}, nullptr},
      {"32768", Non_Negative, {32768, 65535, 32769}, nullptr},
      // Signed values that fall outside 16-bit pixels are physical values, never wrapped.
      {"0", Full_Range, {-32768, 32767, -1}, nullptr, true},
      {nullptr, Full_Range, {-32768, 32767, -1}, nullptr, true},
      {"65535", Full_Range, {32767, 98302, 65534}, nullptr, true},
      {"1000", Full_Range, {-31768, 33767, 999}, nullptr, true},
      {"-1", Non_Negative, {}, "BZERO"},
      {"-0.4", Non_Negative, {}, "BZERO"},
      {"-1.5", Non_Negative, {}, "BZERO"},
      {"65535.5", Non_Negative, {}, "BZERO"},
      {"'32768'", Non_Negative, {}, "BZERO"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Bzero ? Case.Bzero : "no BZERO");
    TFits_Writer Writer;
    Writer.Add("SIMPLE", "T");
    Writer.Add("BITPIX", "16");
    Writer.Add("NAXIS", "2");
    Writer.Add("NAXIS1", "3");
    Writer.Add("NAXIS2", "1");
    if (Case.Bzero)
      Writer.Add("BZERO", Case.Bzero);
    // Stored bytes 80 00, 7F FF, FF FF.
    const std::string Path = Scratch.Write("zero.fit", Writer.Header_Bytes() + Case.Data);
    for (const bool On_Demand : {false, true}) {
      TImage_Model Fresh;
      Model = Fresh;
      std::optional<std::string> Error;
      std::vector<int> Values;
      try {
        Model.Open_File(Path, Messages, TOpen_Options{false, On_Demand});
        // Read on demand, the pixels are converted as they are first asked for; words out of
        // the 16-bit range show then, and the measurement reads the image again whole.
        if (Model.Image_Array.Holds_Float()) {
          const float* Row = Model.Image_Array.Float_Span(0, 0, 2);
          Values.assign(Row, Row + 3);
        } else {
          const uint16_t* Row = Model.Image_Array.Span(0, 0, 2);
          Values.assign(Row, Row + 3);
        }
      } catch (const TPixel_Range_Error& E) {
        EXPECT_TRUE(Case.Physical && On_Demand) << E.what();
        continue;
      } catch (const TKorvane_Error& E) {
        Error = E.what();
      }
      EXPECT_EQ(Model.Image_Array.Holds_Float(), Case.Physical);
      if (Case.Expected.empty()) {
        ASSERT_TRUE(Error.has_value()) << "read on demand: " << On_Demand;
        EXPECT_NE(Error->find(Path + ": "), std::string::npos) << *Error;
        EXPECT_NE(Error->find(Case.Refusal), std::string::npos) << *Error;
        continue;
      }
      ASSERT_EQ(Error, std::nullopt);
      EXPECT_EQ(Values, Case.Expected) << "on demand " << On_Demand;
    }
  }
}

// END at card N: the header takes whole records and the data start right after them.
// Long headers (hundreds of HISTORY cards) load.
TEST_F(Open_File_Test, Header_Of_Any_Length_Ends_With_Its_Record) {
  for (const size_t End_Card : {36u, 37u, 72u, 144u, 145u, 700u}) {
    SCOPED_TRACE(End_Card);
    TFits_Writer Writer = Standard_Header(3, 2);
    while (Writer.Cards.size() < End_Card - 1)
      Writer.Add_Raw("HISTORY   filler card " + std::to_string(Writer.Cards.size()));
    const std::string Header = Writer.Header_Bytes();
    ASSERT_EQ(Header.size(), (End_Card + 35) / 36 * 2880);
    const std::string Path =
        Scratch.Write("long.fit", Header + TFits_Writer::Data_Bytes_Unsigned(Six_Pixels));
    TImage_Model Fresh;
    Model = Fresh;
    ASSERT_EQ(Open(Path), std::nullopt);
    EXPECT_EQ(Model.NKeys, End_Card - 1);
    EXPECT_EQ(Model.Cards.size(), Header.size() / 80);
    EXPECT_EQ(Model.Cards[End_Card - 2].Key, "HISTORY");
    EXPECT_EQ(Trim_Right_Controls(Model.Cards[End_Card - 2].Comment),
              "filler card " + std::to_string(End_Card - 2));
    EXPECT_EQ(Model.Image_Array[0][0], 10);
    EXPECT_EQ(Model.Image_Array[1][2], 60);
  }
}

TEST_F(Open_File_Test, Header_Bound_Is_Ten_Thousand_Records) {
  const size_t Cards = 10000 * 36;
  std::string Header = Standard_Header(3, 2).Header_Bytes(false);
  Header.resize(6 * 80);
  Header.reserve(Cards * 80 + 2880);
  std::string Filler = "COMMENT   a very long header";
  Filler.resize(80, ' ');
  while (Header.size() < (Cards - 1) * 80)
    Header += Filler;
  const std::string Data = TFits_Writer::Data_Bytes_Unsigned(Six_Pixels);
  std::string End_Card = "END";
  End_Card.resize(80, ' ');
  std::string At_Bound = Header + End_Card + Data;
  ASSERT_EQ(Open(Scratch.Write("bound.fit", At_Bound)), std::nullopt);
  EXPECT_EQ(Model.NKeys, Cards - 1);
  EXPECT_EQ(Model.Image_Array[1][2], 60);

  At_Bound.clear();
  At_Bound.shrink_to_fit();
  std::string Beyond = Header;
  Beyond.append(2880 + 80, ' ');
  Beyond.replace(Cards * 80, 80, End_Card);
  Beyond += Data;
  const std::string Path = Scratch.Write("beyond.fit", Beyond);
  TImage_Model Fresh;
  Model = Fresh;
  const auto Error = Open(Path);
  ASSERT_TRUE(Error.has_value());
  EXPECT_EQ(Error->rfind(Path + ": ", 0), 0u) << *Error;
  EXPECT_NE(Error->find("END"), std::string::npos) << *Error;
}

TEST_F(Open_File_Test, Cards_Split_Into_Keyword_Value_And_Comment) {
  struct TCase {
    std::string Card, Key, Value, Comment;
    bool Message;
  };
  const TCase Cases[] = {
      {"HISTORY   written by hand", "HISTORY", "", "written by hand", false},
      {"COMMENT   = not a value / really", "COMMENT", "", "= not a value / really", false},
      {"OBJECT  =   'A/B 12'  / target name", "OBJECT", "'A/B 12'", "target name", false},
      {"OBJECT  = 'O''Hara / x' / the name", "OBJECT", "'O''Hara / x'", "the name", false},
      {"NOTE    = 'a  '   /c", "NOTE", "'a  '", "c", false},
      {"GAIN    =X1.5 / gain", "GAIN", "", "", true},
      {"GAIN    =     1.5", "GAIN", "1.5", "", false},
      {"GAIN    = 1.5\t\x01", "GAIN", "1.5", "", false},
      {"OBSERVER= 'Ren\xE9' / \xB0"
       "C",
       "OBSERVER", "'Ren\xC3\xA9'",
       "\xC2\xB0"
       "C",
       false},
      {"KEY1  \t = 1", "KEY1", "1", "", false},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Card);
    TImage_Model Fresh;
    Model = Fresh;
    Messages.Texts.clear();
    ASSERT_EQ(Open(Standard_File({Case.Card, "AFTER   = 7 / next"})), std::nullopt);
    EXPECT_EQ(Model.Cards[6].Key, Case.Key);
    EXPECT_EQ(Model.Cards[6].Value, Case.Value);
    EXPECT_EQ(Trim_Right_Controls(Model.Cards[6].Comment), Case.Comment);
    EXPECT_EQ(Messages.Texts, Case.Message ? std::vector<std::string>{Equals} : std::vector<std::string>{});
    // Neighbouring cards are not disturbed.
    EXPECT_EQ(Model.Cards[5].Value, "32768");
    EXPECT_EQ(Model.Cards[7].Key, "AFTER");
    EXPECT_EQ(Model.Cards[7].Value, "7");
    EXPECT_EQ(Trim_Right_Controls(Model.Cards[7].Comment), "next");
    EXPECT_EQ(Model.NKeys, 8u);
  }
}

// Header numbers are written with a decimal point whatever the user's locale; the test runs
// under a decimal-comma C locale when the system has one.
TEST_F(Open_File_Test, Observation_Values_From_Keywords) {
  const std::string Saved_Locale = std::setlocale(LC_ALL, nullptr);
  for (const char* Comma_Locale : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"})
    if (std::setlocale(LC_ALL, Comma_Locale))
      break;
  struct TCase {
    TCards Cards;
    double Exposure, JD, AirMass;
    std::string Date_Obs;
    char Filter; // '\0': no letter; '!': the open is abandoned
  };
  const TCase Cases[] = {
      {{"EXPOSURE= 60", "JD      = 2456000.5"}, 60, 2456000.5 + 60.0 / 172800.0, 1.0, "", '\0'},
      {{"JD      = 2456000.25", "EXPOSURE=              120.5 / s"},
       120.5,
       2456000.25 + 120.5 / 172800.0,
       1.0,
       "",
       '\0'},
      {{"EXPOSURE= '60'"}, 0, 0, 1.0, "", '\0'},
      {{"EXPOSURE= 1.5D2"}, 0, 0, 1.0, "", '\0'},
      {{"EXPOSURE= 60,5", "AIRMASS = 1,25"}, 0, 0, 1.0, "", '\0'},
      {{"exposure= 30"}, 0, 0, 1.0, "", '\0'},
      {{"EXPOSURE= 10", "EXPOSURE= 2.0E1"}, 20, 20.0 / 172800.0, 1.0, "", '\0'},
      {{"AIRMASS = 1.25"}, 0, 0, 1.25, "", '\0'},
      {{"AIRMASS = 1.5", "AIRMASS = 'high'"}, 0, 0, 1.0, "", '\0'},
      // Without JD the time comes from DATE-OBS: 2012-03-14 0 h UTC is JD 2456000.5.
      {{"DATE-OBS= '2012-03-14T20:00:00' / start"},
       0,
       2456000.5 + 20.0 / 24.0,
       1.0,
       "'2012-03-14T20:00:00' ",
       '\0'},
      {{"FILTER  = 'V'"}, 0, 0, 1.0, "", 'V'},
      {{"FILTER  = 'Rc      ' / filter"}, 0, 0, 1.0, "", 'R'},
      {{"FILTER  = ''"}, 0, 0, 1.0, "", '\''},
      {{"FILTER  = 'B'", "FILTER  = 'I'"}, 0, 0, 1.0, "", 'I'},
      {{"FILTER  =" + std::string(70, ' ') + "V"}, 0, 0, 1.0, "", '!'}, // one character, in column 80
      {{"FILTER  filter wheel empty"}, 0, 0, 1.0, "", '!'},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Cards[0]);
    TImage_Model Fresh;
    Model = Fresh;
    const auto Error = Open(Standard_File(Case.Cards));
    if (Case.Filter == '!') {
      ASSERT_TRUE(Error.has_value());
      EXPECT_NE(Error->find("FILTER"), std::string::npos) << *Error;
      continue;
    }
    ASSERT_EQ(Error, std::nullopt);
    EXPECT_DOUBLE_EQ(Model.Exposure, Case.Exposure);
    EXPECT_DOUBLE_EQ(Model.JD, Case.JD);
    EXPECT_DOUBLE_EQ(Model.AirMass, Case.AirMass);
    EXPECT_EQ(Model.Date_Obs, Case.Date_Obs);
    EXPECT_EQ(Model.Image_Filter_Letter, Case.Filter);
  }
  EXPECT_TRUE(Messages.Texts.empty());
  std::setlocale(LC_ALL, Saved_Locale.c_str());
}

TEST_F(Open_File_Test, Plate_Solved_Needs_All_Eight_Keywords) {
  const TCards Eight = {"CRVAL1  = 123.5",   "CRVAL2  = -45.25", "CRPIX1  = 1.5",    "CRPIX2  = 0.5",
                        "CD1_1   = -2.0E-4", "CD1_2   = 1.0E-5", "CD2_1   = 1.5E-5", "CD2_2   = 2.0E-4"};
  ASSERT_EQ(Open(Standard_File(Eight)), std::nullopt);
  EXPECT_TRUE(Model.Plate_Solved);
  EXPECT_TRUE(Model.WCS1.rotmat);
  EXPECT_EQ(Code_Number(Model.Last_Error), 1);
  EXPECT_EQ(Model.WCS1.crval[0], 123.5);
  EXPECT_EQ(Model.WCS1.crval[1], -45.25);
  EXPECT_EQ(Model.WCS1.crpix[0], 1.5);
  EXPECT_EQ(Model.WCS1.xrefpix, 1.5);
  EXPECT_EQ(Model.WCS1.yrefpix, 0.5);
  EXPECT_EQ(Model.WCS1.cd[1], 1.0E-5);
  EXPECT_EQ(Model.WCS1.cd[2], 1.5E-5);
  // Inverse of [[a b][c d]] is [[d -b][-c a]] / (ad - bc), here ad - bc = -4.015e-8.
  const double Det = -2.0E-4 * 2.0E-4 - 1.0E-5 * 1.5E-5;
  EXPECT_NEAR(Model.WCS1.dc[0], 2.0E-4 / Det, 5e-6);
  EXPECT_NEAR(Model.WCS1.dc[1], -1.0E-5 / Det, 5e-6);
  EXPECT_NEAR(Model.WCS1.dc[2], -1.5E-5 / Det, 5e-6);
  EXPECT_NEAR(Model.WCS1.dc[3], -2.0E-4 / Det, 5e-6);

  // Seven of eight (one missing or one that does not convert) is not plate-solved; CDELT
  // and LONPOLE play no part.
  for (size_t Dropped = 0; Dropped < Eight.size(); ++Dropped) {
    for (const bool Unconvertible : {false, true}) {
      SCOPED_TRACE(Eight[Dropped] + (Unconvertible ? " quoted" : " missing"));
      TCards Cards = {"CDELT1  = 1.0E-4", "CDELT2  = 1.0E-4", "LONPOLE = 170.0"};
      for (size_t k = 0; k < Eight.size(); ++k)
        if (k != Dropped)
          Cards.push_back(Eight[k]);
        else if (Unconvertible)
          Cards.push_back(Eight[k].substr(0, 10) + "'" + Eight[k].substr(10) + "'");
      TImage_Model Fresh;
      Model = Fresh;
      ASSERT_EQ(Open(Standard_File(Cards)), std::nullopt);
      EXPECT_FALSE(Model.Plate_Solved);
      EXPECT_FALSE(Model.WCS1.rotmat);
      EXPECT_EQ(Code_Number(Model.Last_Error), 2);
      EXPECT_EQ(Model.WCS1.longpole, 170.0);
      EXPECT_EQ(Model.WCS1.cdelt[1], 1.0E-4);
    }
  }
}

TEST_F(Open_File_Test, Singular_CD_Matrix_Abandons) {
  const std::string Path =
      Standard_File({"CRVAL1  = 10.0", "CRVAL2  = 20.0", "CRPIX1  = 1.0", "CRPIX2  = 1.0", "CD1_1   = 1.0E-4",
                     "CD1_2   = 2.0E-4", "CD2_1   = 2.0E-4", "CD2_2   = 4.0E-4"});
  const auto Error = Open(Path);
  ASSERT_TRUE(Error.has_value());
  EXPECT_EQ(Error->rfind(Path + ": ", 0), 0u) << *Error;
}

TEST_F(Open_File_Test, Mandatory_Keyword_Findings_And_Size_Keywords) {
  struct TCase {
    TCards Cards; // the whole header before END
    std::vector<std::string> Messages;
    const char* Error; // nullptr: loads with the six pixels unscaled
  };
  const TCards Good = {"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 2",
                       "NAXIS1  = 3", "NAXIS2  = 2",  "BZERO   = 32768"};
  auto With = [&Good](size_t Index, const std::string& Card) {
    TCards Cards = Good;
    Cards[Index] = Card;
    return Cards;
  };
  auto Plus = [&Good](const std::string& Card) {
    TCards Cards = Good;
    Cards.push_back(Card);
    return Cards;
  };
  const TCase Cases[] = {
      {Good, {}, nullptr},
      {With(0, "SIMPLE  = F"), {Not_Simple}, nullptr},
      {With(0, "SIMPLEX = T"), {No_Simple}, nullptr},
      {With(2, "NAXIS   = 3"), {Not_2D}, nullptr},
      {With(2, "NAXES   = 2"), {No_Naxis}, nullptr},
      {Plus("BSCALE  = 2.0"), {Bscale}, nullptr},
      {Plus("BSCALE  = 1"), {}, nullptr},
      {Plus("NAXIS1  = 5"), {}, nullptr}, // the first NAXIS1 counts
      {With(1, "BITPIX  = 12"), {Not_16}, "BITPIX 12"},
      {{"SIMPLE  = F", "BITPIX  = 24", "NAXIS   = 3", "NAXIS1  = 3", "NAXIS2  = 2"},
       {Not_Simple, Not_16},
       "BITPIX 24"},
      {{"SIMPLE  = T", "NAXIS   = 2", "NAXIS1  = 3", "NAXIS2  = 2"}, {No_Bitpix, Not_16, No_Naxis}, "BITPIX"},
      {With(1, "BITPIX  = 16.0"), {}, "BITPIX"},
      {With(1, "BITPIX  = 32768"), {}, "BITPIX"},
      {With(2, "NAXIS   = two"), {}, "NAXIS"},
      {With(3, "NAXIS1  = 70000"), {}, "NAXIS1"},
      {With(3, "NAXIS1  = '3'"), {}, "NAXIS1"},
      {With(3, "NAXIS1  = 0"), {}, "NAXIS1"},
      {With(4, "COMMENT   no NAXIS2"), {}, "NAXIS2"},
      {Plus("BSCALE  = 'one'"), {}, "BSCALE"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Cards.size() > 1 ? Case.Cards[1] + " / " + Case.Cards.back() : "");
    TFits_Writer Writer;
    for (const auto& Card : Case.Cards)
      Writer.Add_Raw(Card);
    const std::string Path =
        Scratch.Write("keys.fit", Writer.Header_Bytes() + TFits_Writer::Data_Bytes_Unsigned(Six_Pixels));
    TImage_Model Fresh;
    Model = Fresh;
    Messages.Texts.clear();
    const auto Error = Open(Path);
    EXPECT_EQ(Messages.Texts, Case.Messages);
    if (Case.Error) {
      ASSERT_TRUE(Error.has_value());
      EXPECT_EQ(Error->rfind(Path + ": ", 0), 0u) << *Error;
      EXPECT_NE(Error->find(Case.Error), std::string::npos) << *Error;
      continue;
    }
    ASSERT_EQ(Error, std::nullopt);
    ASSERT_EQ(Model.XSize, 3);
    ASSERT_EQ(Model.YSize, 2);
    for (size_t k = 0; k < 6; ++k)
      EXPECT_EQ(Model.Image_Array[k / 3][k % 3], Six_Pixels[k]);
  }
}

TEST_F(Open_File_Test, Files_That_Cannot_Be_Read_Are_Refused_With_Their_Name) {
  const std::string Header = Standard_Header(3, 2).Header_Bytes();
  const std::string Data = TFits_Writer::Data_Bytes_Unsigned(Six_Pixels);
  TFits_Writer Long = Standard_Header(3, 2);
  for (int k = 0; k < 40; ++k)
    Long.Add_Raw("HISTORY   line");
  const struct {
    std::string Name, Bytes, Error;
  } Cases[] = {
      {"empty.fit", "", "ends inside the header"},
      {"cut-header.fit", Header.substr(0, 2000), "ends inside the header"},
      {"cut-end-record.fit", Standard_Header(3, 2).Header_Bytes(false), "ends inside the header"},
      {"cut-second-record.fit", Long.Header_Bytes().substr(0, 4000), "ends inside the header"},
      {"cut-data.fit", Header + Data.substr(0, 11), "ends inside the data"},
      {"no-data.fit", Header, "ends inside the data"},
      {"huge.fit", Standard_Header(65535, 65535).Header_Bytes() + std::string(120, '\0'),
       "ends inside the data"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const std::string Path = Scratch.Write(Case.Name, Case.Bytes);
    TImage_Model Fresh;
    Model = Fresh;
    Largest_Allocation = 0;
    Tracking = true;
    const auto Error = Open(Path);
    Tracking = false;
    ASSERT_TRUE(Error.has_value());
    EXPECT_EQ(Error->rfind(Path + ": ", 0), 0u) << *Error;
    EXPECT_NE(Error->find(Case.Error), std::string::npos) << *Error;
    EXPECT_LT(Largest_Allocation.load(), size_t{1} << 20);
  }
  const std::string Missing = Scratch.Path("missing.fit");
  EXPECT_EQ(Open(Missing), Missing + ": cannot open the file: No such file or directory");
  EXPECT_EQ(Open(Scratch.Folder.string()), Scratch.Folder.string() + ": not a regular file");
}

// The file is only read: a read-only file opens for a user who may not write it.
TEST_F(Open_File_Test, Read_Only_File_Opens) {
  const std::string Path = Standard_File({});
  ASSERT_EQ(::chmod(Path.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(Scratch.Folder.c_str(), 0755), 0);
  EXPECT_EXIT(
      {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
          std::_Exit(3);
        if (::access(Path.c_str(), W_OK) == 0)
          std::_Exit(4); // still writable: the check would prove nothing
        TImage_Model Reader;
        TRecording_Messages Sink;
        try {
          Reader.Open_File(Path, Sink);
        } catch (const TKorvane_Error& Error) {
          std::fputs(Error.what(), stderr);
          std::_Exit(1);
        }
        std::_Exit(Reader.Image_Array[1][2] == 60 ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

} // namespace
