#include "image/Image_Model.h"

#include "image/Fits_Cfitsio.h"
#include "image/Partial_Read.h"

#include "sky/Sky.h"

#include "text/Input_File.h"
#include "text/Number_Format.h"
#include "text/Text_Encoding.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

namespace {

constexpr size_t Card_Length = 80;
constexpr size_t Cards_Per_Record = 36;
constexpr size_t Record_Length = Card_Length * Cards_Per_Record;
// A header longer than this is taken as a hostile or broken file, not as an image.
constexpr size_t Max_Header_Records = 10000;
// Data are read in blocks of whole rows of about this size, and converted while in cache.
constexpr size_t Data_Block_Bytes = size_t{1} << 20;

// One 80-byte card split into keyword, value and comment (raw bytes, untrimmed).
struct TCard_Parts {
  std::string_view Key; // columns 1 to 8
  std::string Value;
  std::string Comment;
  bool Equals_Without_Blank = false; // '=' in column 9 but no blank in column 10
};

TCard_Parts Split_Card(std::string_view Card) {
  TCard_Parts Parts;
  Parts.Key = Card.substr(0, 8);
  const std::string_view Rest = Card.substr(9); // columns 10 to 80
  if (Card[8] != '=') {
    Parts.Comment.assign(Rest);
    return Parts;
  }
  if (Card[9] != ' ') {
    Parts.Equals_Without_Blank = true;
    return Parts;
  }
  // The value runs from its first non-blank up to the first '/' outside quotes; quotes and
  // inner blanks stay in it, and a doubled quote simply reopens the string.
  bool In_Quote = false, In_Comment = false, Started = false;
  for (char c : Rest) {
    if (In_Quote) {
      Parts.Value += c;
      if (c == '\'')
        In_Quote = false;
    } else if (In_Comment) {
      Parts.Comment += c;
    } else if (c == '/') {
      In_Comment = true;
    } else {
      if (Started) {
        Parts.Value += c;
      } else if (c != ' ') {
        Started = true;
        Parts.Value += c;
      }
      if (c == '\'')
        In_Quote = true;
    }
  }
  return Parts;
}

TKorvane_Error Abandon_File(const std::string& FName, const std::string& Cause) {
  return TKorvane_Error(FName + ": " + Cause);
}

// --- the keywords the reader takes into the model ---

// How a keyword's value is taken. Numbers always use a decimal point, as FITS writes them.
enum class TConvert {
  Number,          // a number; a value that does not convert stores the rule's default
  Reference_Pixel, // a number less the CRPIX offset of the options; the default is stored as it is
  Text,            // the value as written, quotes and trailing blanks kept, as UTF-8
  Filter_Letter,   // the value's second character, the letter inside the quotes; a shorter value
                   // abandons the file
  Raw,             // the raw value kept for later, read once the whole header is there
};

using TNumber_Field = double& (*)(TImage_Model&);
using TText_Field = std::string TImage_Model::*;
using TLetter_Field = char TImage_Model::*;
using TRaw_Field = std::optional<std::string> TObservation_Cards::*;

template <double TImage_Model::*Field> double& Model_Number(TImage_Model& M) {
  return M.*Field;
}
template <double TWCSRecord::*Field> double& WCS_Number(TImage_Model& M) {
  return M.WCS1.*Field;
}
template <auto Field, size_t Index> double& WCS_Element(TImage_Model& M) {
  return (M.WCS1.*Field)[Index];
}
template <auto Field, size_t Index> double& Model_Element(TImage_Model& M) {
  return (M.*Field)[Index];
}
template <TSip_Polynomial TWCSRecord::*Poly, size_t Index> double& Sip_Term(TImage_Model& M) {
  return (M.WCS1.*Poly).c[Index];
}

// One keyword of the table. Every card is looked up as it is read, wherever it stands (after
// an END card of its record too), so the last occurrence of a keyword wins, one whose value
// does not convert included; a found flag, once set by a value that converts, stays set.
struct TKeyword_Rule {
  std::string_view Key;
  TConvert Convert;
  std::variant<TNumber_Field, TText_Field, TLetter_Field, TRaw_Field> Field;
  double Default = 0.0;                // a number that does not convert stores this
  bool TImage_Model::*Found = nullptr; // set by a number that converts
  TNumber_Field Copy = nullptr;        // a second field that takes the same number
  TRaw_Field Raw = nullptr;            // a number's raw value is kept here too
};

constexpr TKeyword_Rule Keyword_Rules[] = {
    {"EXPOSURE", TConvert::Number, &Model_Number<&TImage_Model::Exposure>, 0.0, nullptr, nullptr,
     &TObservation_Cards::Exposure},
    {"EXPTIME", TConvert::Raw, &TObservation_Cards::Exptime},
    {"JD", TConvert::Number, &Model_Number<&TImage_Model::JD>, 0.0, nullptr, nullptr,
     &TObservation_Cards::JD},
    {"DATE-AVG", TConvert::Raw, &TObservation_Cards::Date_Avg},
    {"MJD-AVG", TConvert::Raw, &TObservation_Cards::Mjd_Avg},
    {"MJD-OBS", TConvert::Raw, &TObservation_Cards::Mjd_Obs},
    {"TIME-OBS", TConvert::Raw, &TObservation_Cards::Time_Obs},
    {"UT", TConvert::Raw, &TObservation_Cards::UT},
    {"AIRMASS", TConvert::Number, &Model_Number<&TImage_Model::AirMass>, 1.0, nullptr, nullptr,
     &TObservation_Cards::AirMass},
    {"SATURATE", TConvert::Number, &Model_Number<&TImage_Model::Saturate>,
     std::numeric_limits<double>::quiet_NaN(), &TImage_Model::SATURATE_found},
    {"DATAMAX", TConvert::Number, &Model_Number<&TImage_Model::Datamax>,
     std::numeric_limits<double>::quiet_NaN(), &TImage_Model::DATAMAX_found},
    {"SITELAT", TConvert::Raw, &TObservation_Cards::Site_Lat},
    {"SITELONG", TConvert::Raw, &TObservation_Cards::Site_Long},
    {"OBSGEO-B", TConvert::Raw, &TObservation_Cards::Obsgeo_B},
    {"OBSGEO-L", TConvert::Raw, &TObservation_Cards::Obsgeo_L},
    {"LAT-OBS", TConvert::Raw, &TObservation_Cards::Lat_Obs},
    {"LONG-OBS", TConvert::Raw, &TObservation_Cards::Long_Obs},
    {"DATE-OBS", TConvert::Text, &TImage_Model::Date_Obs, 0.0, nullptr, nullptr,
     &TObservation_Cards::Date_Obs},
    {"FILTER", TConvert::Filter_Letter, &TImage_Model::Image_Filter_Letter},
    {"CD1_1", TConvert::Number, &WCS_Element<&TWCSRecord::cd, 0>, 0.0, &TImage_Model::CD1_1_found},
    {"CD1_2", TConvert::Number, &WCS_Element<&TWCSRecord::cd, 1>, 0.0, &TImage_Model::CD1_2_found},
    {"CD2_1", TConvert::Number, &WCS_Element<&TWCSRecord::cd, 2>, 0.0, &TImage_Model::CD2_1_found},
    {"CD2_2", TConvert::Number, &WCS_Element<&TWCSRecord::cd, 3>, 0.0, &TImage_Model::CD2_2_found},
    {"CRPIX1", TConvert::Reference_Pixel, &WCS_Element<&TWCSRecord::crpix, 0>, 0.0,
     &TImage_Model::CRPIX1_found, &WCS_Number<&TWCSRecord::xrefpix>},
    {"CRPIX2", TConvert::Reference_Pixel, &WCS_Element<&TWCSRecord::crpix, 1>, 0.0,
     &TImage_Model::CRPIX2_found, &WCS_Number<&TWCSRecord::yrefpix>},
    {"CRVAL1", TConvert::Number, &WCS_Element<&TWCSRecord::crval, 0>, 0.0, &TImage_Model::CRVAL1_found},
    {"CRVAL2", TConvert::Number, &WCS_Element<&TWCSRecord::crval, 1>, 0.0, &TImage_Model::CRVAL2_found},
    {"CDELT1", TConvert::Number, &WCS_Element<&TWCSRecord::cdelt, 0>, 0.0, &TImage_Model::CDELT1_found},
    {"CDELT2", TConvert::Number, &WCS_Element<&TWCSRecord::cdelt, 1>, 0.0, &TImage_Model::CDELT2_found},
    {"LONPOLE", TConvert::Number, &WCS_Number<&TWCSRecord::longpole>, 180.0},
    {"CROTA2", TConvert::Number, &Model_Number<&TImage_Model::Crota2>, 0.0, &TImage_Model::CROTA2_found},
    {"PC1_1", TConvert::Number, &Model_Element<&TImage_Model::PC, 0>, 1.0, &TImage_Model::PC1_1_found},
    {"PC1_2", TConvert::Number, &Model_Element<&TImage_Model::PC, 1>, 0.0, &TImage_Model::PC1_2_found},
    {"PC2_1", TConvert::Number, &Model_Element<&TImage_Model::PC, 2>, 0.0, &TImage_Model::PC2_1_found},
    {"PC2_2", TConvert::Number, &Model_Element<&TImage_Model::PC, 3>, 1.0, &TImage_Model::PC2_2_found},
    {"A_ORDER", TConvert::Number, &Model_Element<&TImage_Model::Sip_Order, 0>, 0.0,
     &TImage_Model::A_ORDER_found},
    {"B_ORDER", TConvert::Number, &Model_Element<&TImage_Model::Sip_Order, 1>, 0.0,
     &TImage_Model::B_ORDER_found},
    {"AP_ORDER", TConvert::Number, &Model_Element<&TImage_Model::Sip_Order, 2>, 0.0,
     &TImage_Model::AP_ORDER_found},
    {"BP_ORDER", TConvert::Number, &Model_Element<&TImage_Model::Sip_Order, 3>, 0.0,
     &TImage_Model::BP_ORDER_found},
};

// A card without a value (all blanks, or no "= ") gives none: it takes back an earlier one.
void Keep_Raw(std::optional<std::string>& Raw, const std::string& Value) {
  if (Value.find_first_not_of(' ') == std::string::npos)
    Raw.reset();
  else
    Raw = Value;
}

// The SIP coefficients A_p_q, B_p_q, AP_p_q and BP_p_q (p and q 0..9), rows of the same kind
// made at compile time: a coefficient that is absent is 0; one that does not convert is NaN,
// which refuses the terms.
constexpr const char* Sip_Prefixes[] = {"A_", "B_", "AP_", "BP_"};
constexpr TSip_Polynomial TWCSRecord::*Sip_Polynomials[] = {&TWCSRecord::sip_a, &TWCSRecord::sip_b,
                                                            &TWCSRecord::sip_ap, &TWCSRecord::sip_bp};
constexpr size_t Sip_Rule_Count = 4 * Sip_Terms;

struct TSip_Names {
  char Text[Sip_Rule_Count][8] = {};
};

constexpr TSip_Names Make_Sip_Names() {
  TSip_Names N;
  for (size_t k = 0; k < Sip_Rule_Count; ++k) {
    char* Out = N.Text[k];
    for (const char* c = Sip_Prefixes[k / Sip_Terms]; *c != '\0'; ++c)
      *Out++ = *c;
    const size_t Index = k % Sip_Terms;
    *Out++ = static_cast<char>('0' + Index / (Max_Sip_Order + 1));
    *Out++ = '_';
    *Out++ = static_cast<char>('0' + Index % (Max_Sip_Order + 1));
  }
  return N;
}

constexpr TSip_Names Sip_Names = Make_Sip_Names();

template <size_t K> constexpr TKeyword_Rule Sip_Rule() {
  return {std::string_view(Sip_Names.Text[K]), TConvert::Number,
          &Sip_Term<Sip_Polynomials[K / Sip_Terms], K % Sip_Terms>, std::numeric_limits<double>::quiet_NaN()};
}

template <size_t... K>
constexpr std::array<TKeyword_Rule, sizeof...(K)> Make_Sip_Rules(std::index_sequence<K...>) {
  return {Sip_Rule<K>()...};
}

constexpr auto Sip_Rules = Make_Sip_Rules(std::make_index_sequence<Sip_Rule_Count>());

const TKeyword_Rule* Find_Rule(std::string_view Key) {
  const auto Match = [Key](const TKeyword_Rule& R) { return R.Key == Key; };
  const auto Rule = std::find_if(std::begin(Keyword_Rules), std::end(Keyword_Rules), Match);
  if (Rule != std::end(Keyword_Rules))
    return &*Rule;
  if (Key.size() < 5 || (Key[0] != 'A' && Key[0] != 'B'))
    return nullptr;
  const auto Term = std::find_if(Sip_Rules.begin(), Sip_Rules.end(), Match);
  return Term != Sip_Rules.end() ? &*Term : nullptr;
}

// Takes one card's value into the model by its keyword's rule; a keyword without a rule is
// kept as a card only. Value is the card's raw value (Latin-1, trailing blanks kept).
void Apply_Keyword(TImage_Model& M, std::string_view Key, const std::string& Value, double Crpix_Offset,
                   const std::string& FName) {
  const TKeyword_Rule* const Rule = Find_Rule(Key);
  if (Rule == nullptr)
    return;
  using enum TConvert;
  switch (Rule->Convert) {
  case Number:
  case Reference_Pixel: {
    const std::optional<double> N = Try_Str_To_Float(Value, '.');
    double Taken = Rule->Default;
    if (N)
      Taken = Rule->Convert == Reference_Pixel ? *N - Crpix_Offset : *N;
    std::get<TNumber_Field>(Rule->Field)(M) = Taken;
    if (Rule->Copy)
      Rule->Copy(M) = Taken;
    if (N && Rule->Found)
      M.*Rule->Found = true;
    if (Rule->Raw)
      Keep_Raw(M.Observation_Cards.*Rule->Raw, Value);
    return;
  }
  case Raw:
    Keep_Raw(M.Observation_Cards.*std::get<TRaw_Field>(Rule->Field), Value);
    return;
  case Text:
    M.*std::get<TText_Field>(Rule->Field) = Latin1_To_UTF8(Value);
    if (Rule->Raw)
      Keep_Raw(M.Observation_Cards.*Rule->Raw, Value);
    return;
  case Filter_Letter:
    if (Value.size() < 2)
      throw Abandon_File(FName, std::string(Rule->Key) + " value '" + Latin1_To_UTF8(Value) +
                                    "' is too short to give a filter letter");
    M.*std::get<TLetter_Field>(Rule->Field) = Value[1];
    return;
  }
}

// --- the steps of reading the header ---

// Takes one 80-byte card into M.Cards and applies its keyword; true for an END card, whose
// index becomes NKeys.
bool Take_Card(TImage_Model& M, std::string_view Card, const std::string& FName, TMessages& Messages,
               double Crpix_Offset) {
  const uint32_t i = static_cast<uint32_t>(M.Cards.size());
  const TCard_Parts Parts = Split_Card(Card);
  const std::string Key = Trim_Right_Controls(Parts.Key);
  const bool End = Key == "END";
  if (End)
    M.NKeys = i;
  if (Parts.Equals_Without_Blank)
    Messages.Show("\"= \" Expected!");
  // Header bytes are ISO 8859-1; the model's text is UTF-8.
  M.Cards.push_back(THeader_Card{Latin1_To_UTF8(Key), Latin1_To_UTF8(Trim_Right_Controls(Parts.Value)),
                                 Latin1_To_UTF8(Trim_Left_Controls(Parts.Comment))});
  Apply_Keyword(M, Key, Parts.Value, Crpix_Offset, FName);
  return End;
}

// Reads whole records up to the one holding an END card into M.Cards (after the cards there
// when Append), NKeys the index of the last END card of that record. Each card's keyword is
// applied as soon as the card is read, so a keyword that abandons the file stops the reading
// at its card.
void Read_Cards(TImage_Model& M, const std::string& FName, TInput_File& File, TMessages& Messages,
                double Crpix_Offset, bool Append = false) {
  if (!Append)
    M.Cards.clear();
  bool End_Found = false;
  char Record[Record_Length];
  for (size_t Records = 0; !End_Found; ++Records) {
    if (Records == Max_Header_Records)
      throw Abandon_File(FName, "no END card in the first " + std::to_string(Max_Header_Records) +
                                    " header records; not a FITS image");
    if (File.Read(Record, Record_Length) < Record_Length)
      throw Abandon_File(FName, Records == 0 && File.Size() < Record_Length
                                    ? "file ends inside the header (shorter than one 2880-byte header record)"
                                    : "file ends inside the header");
    for (size_t c = 0; c < Cards_Per_Record; ++c)
      End_Found |= Take_Card(M, std::string_view(Record + c * Card_Length, Card_Length), FName, Messages,
                             Crpix_Offset);
  }
}

// The cards of a header as cfitsio gives them (whole cards, END last), appended to M.Cards.
void Take_Cards(TImage_Model& M, const std::string& Text, const std::string& FName, TMessages& Messages,
                double Crpix_Offset) {
  for (size_t c = 0; c + Card_Length <= Text.size(); c += Card_Length)
    if (Take_Card(M, std::string_view(Text).substr(c, Card_Length), FName, Messages, Crpix_Offset))
      return;
}

// A card's value without the quotes of a string and its trailing blanks, which a FITS
// string value does not count.
std::string_view Unquoted(std::string_view Value) {
  if (Value.size() >= 2 && Value.front() == '\'' && Value.back() == '\'')
    Value = Value.substr(1, Value.size() - 2);
  while (!Value.empty() && Value.back() == ' ')
    Value.remove_suffix(1);
  return Value;
}

// The value of card Key among the cards from First to the next END card, unquoted; null when
// there is none.
std::optional<std::string> Card_Value(const TImage_Model& M, std::string_view Key, size_t First) {
  for (size_t k = First; k < M.Cards.size() && M.Cards[k].Key != "END"; ++k)
    if (M.Cards[k].Key == Key)
      return std::string(Unquoted(M.Cards[k].Value));
  return std::nullopt;
}

// The binary table of a compressed image, its cards from First on: its mandatory cards in
// their places, at most 999 fields, and rows and heap within the file.
void Check_Table_Sizes(const TImage_Model& M, const std::string& FName, const TInput_File& File,
                       size_t First) {
  const char* const Keys[] = {"XTENSION", "BITPIX", "NAXIS",  "NAXIS1",
                              "NAXIS2",   "PCOUNT", "GCOUNT", "TFIELDS"};
  long long Value[8] = {};
  for (size_t k = 1; k < 8; ++k) {
    const size_t i = First + k;
    const auto Number = i < M.Cards.size() && M.Cards[i].Key == Keys[k]
                            ? Try_Str_To_Int(M.Cards[i].Value, 0, INT64_MAX / 4)
                            : std::nullopt;
    if (!Number)
      throw Abandon_File(FName, std::string("the compressed image's table has no valid ") + Keys[k] +
                                    " card in its place");
    Value[k] = *Number;
  }
  const uint64_t Data_Start = uint64_t{M.Cards.size()} * Card_Length;
  const uint64_t Rows_Bytes = static_cast<uint64_t>(Value[3]) * static_cast<uint64_t>(Value[4]);
  const bool Rows_Overflow =
      Value[4] != 0 && Rows_Bytes / static_cast<uint64_t>(Value[4]) != uint64_t(Value[3]);
  if (Value[1] != 8 || Value[2] != 2 || Value[6] != 1 || Value[7] < 1 || Value[7] > 999 || Rows_Overflow ||
      File.Size() < Data_Start || File.Size() - Data_Start < Rows_Bytes ||
      File.Size() - Data_Start - Rows_Bytes < static_cast<uint64_t>(Value[5]))
    throw Abandon_File(FName, "the compressed image's table does not fit the file (" +
                                  std::to_string(Value[4]) + " rows of " + std::to_string(Value[3]) +
                                  " bytes, a heap of " + std::to_string(Value[5]) + " bytes, " +
                                  std::to_string(Value[7]) + " fields)");
}

// A primary HDU without data (NAXIS 0), whose image must follow in an extension.
bool Primary_Without_Data(const TImage_Model& M) {
  return M.Cards.size() > 2 && M.Cards[2].Key == "NAXIS" && Try_Str_To_Int(M.Cards[2].Value) == 0;
}

// SIMPLE (XTENSION for an extension starting at First), BITPIX and NAXIS by position, the
// first three cards: findings only, in this order, then the refusal of a sample size the
// reader does not take, whose data would be read as garbage. Returns NAXIS (-1 without it).
// The findings of a 16-bit primary HDU are those it always had; other images must have two
// or three axes.
int Check_Mandatory_Keywords(TImage_Model& M, const std::string& FName, TMessages& Messages, size_t First) {
  const std::vector<THeader_Card>& Cards = M.Cards;
  if (First == 0) {
    if (Cards[0].Key != "SIMPLE")
      Messages.Show("SIMPLE keyword not found!");
    else if (Cards[0].Value != "T")
      Messages.Show("Not a simple FITs Format!");
  }
  M.BitPix = 0;
  if (Cards[First + 1].Key != "BITPIX") {
    Messages.Show("BITPIX keyword not found!");
  } else {
    const auto Bits = Try_Str_To_Int(Cards[First + 1].Value, -32768, 32767);
    if (!Bits)
      throw Abandon_File(FName,
                         "BITPIX value '" + Cards[First + 1].Value + "' is not an integer in -32768..32767");
    M.BitPix = static_cast<int16_t>(*Bits);
  }
  const bool Readable = Sample_Bytes(M.BitPix) != 0;
  if (!Readable)
    Messages.Show("Not a 16 bit image!");
  int Axes = -1;
  if (Cards[First + 2].Key != "NAXIS") {
    Messages.Show("NAXIS keyword not found!");
  } else {
    const auto Value = Try_Str_To_Int(Cards[First + 2].Value);
    if (!Value)
      throw Abandon_File(FName, "NAXIS value '" + Cards[First + 2].Value + "' is not an integer");
    Axes = static_cast<int>(std::clamp<long long>(*Value, -1, 1000));
    // A 16-bit primary HDU of other axes is read by NAXIS1 and NAXIS2 as it always was; with
    // three and a NAXIS3 card, as a cube.
    if (M.BitPix == 16 && First == 0 && *Value != 2) {
      const THeader_Card* Planes = M.Find_Card("NAXIS3", 3);
      if (*Value != 3 || Planes == nullptr || Try_Str_To_Int(Planes->Value, 1) == std::nullopt) {
        Messages.Show("Not a 2 dimensional image!");
        Axes = 2;
      }
    }
  }
  if (!Readable)
    throw Abandon_File(FName,
                       Cards[First + 1].Key == "BITPIX"
                           ? "BITPIX " + std::to_string(M.BitPix) +
                                 " is not supported; images of BITPIX 8, 16, 32, -32 and -64 can be read"
                           : "no BITPIX keyword; images of BITPIX 8, 16, 32, -32 and -64 can be read");
  if ((M.BitPix != 16 || First != 0) && Axes != 2 && Axes != 3)
    throw Abandon_File(FName,
                       (Axes < 0 ? std::string("no NAXIS keyword") : "NAXIS " + Cards[First + 2].Value) +
                           ": only images of 2 axes, or of 3 (a colour frame or a cube, one plane of "
                           "which is measured), can be read");
  return Axes;
}

// Cfitsio reads compressed and gzip'ed images whole; a plane of more pixels is refused before
// anything is allocated (1 GiB of values).
constexpr uint64_t Max_Unpacked_Pixels = uint64_t{1} << 28;
// A gzip'ed file is unpacked whole into memory: at most 1 GiB.
constexpr uint64_t Max_Gzip_Bytes = uint64_t{1} << 30;

// The largest physical value a sample of Bitpix bits can hold under Scale and Zero; infinity
// for floating-point samples, which have no such bound.
double Largest_Stored_Value(int Bitpix, double Scale, double Zero) {
  double Low = 0.0, High = 0.0;
  switch (Bitpix) {
  case 8:
    High = 255.0;
    break;
  case 16:
    Low = -32768.0;
    High = 32767.0;
    break;
  case 32:
    Low = -2147483648.0;
    High = 2147483647.0;
    break;
  default:
    return std::numeric_limits<double>::infinity();
  }
  return Zero + Scale * (Scale > 0.0 ? High : Low);
}

// NAXIS1, NAXIS2 (NAXIS3 for a cube), BZERO and BSCALE, each its first occurrence from index
// First + 3 on, a value that does not convert refused; then the check, before anything is
// allocated, that the file holds the rows the header promises (for a file read directly;
// cfitsio checks the others as it reads them). A 16-bit primary HDU keeps its 16-bit values
// (BZERO 0..65535, BSCALE not applied); every other image is read as physical values.
TData_Layout Read_Data_Layout(TImage_Model& M, const std::string& FName, const TInput_File& File,
                              TMessages& Messages, size_t First, int Axes, uint32_t Plane, bool Direct) {
  auto Find = [&M, First](std::string_view Key) -> const std::string* {
    const THeader_Card* Card = M.Find_Card(Key, First + 3);
    return Card != nullptr ? &Card->Value : nullptr;
  };
  auto Size_Value = [&](std::string_view Key, long long Most) -> long long {
    const std::string* Text = Find(Key);
    if (!Text)
      return 0;
    const auto Size = Try_Str_To_Int(*Text, 0, Most);
    if (!Size)
      throw Abandon_File(FName, std::string(Key) + " value '" + *Text + "' is not an integer in 0.." +
                                    std::to_string(Most));
    return *Size;
  };
  M.XSize = static_cast<uint16_t>(Size_Value("NAXIS1", 65535));
  M.YSize = static_cast<uint16_t>(Size_Value("NAXIS2", 65535));
  M.Planes = 1;
  M.Plane = 1;
  if (Axes == 3) {
    M.Planes = static_cast<uint32_t>(Size_Value("NAXIS3", INT32_MAX));
    if (M.Planes == 0)
      throw Abandon_File(FName, "NAXIS3 is missing or 0: the cube has no plane to show or measure");
    if (Plane < 1 || Plane > M.Planes)
      throw Abandon_File(FName, "image plane " + std::to_string(Plane) +
                                    " is asked for, but the image holds " + std::to_string(M.Planes) +
                                    (M.Planes == 1 ? " plane" : " planes") +
                                    " (NAXIS3); choose a plane from 1 to " + std::to_string(M.Planes));
    M.Plane = Plane;
    Messages.Show("3-dimensional image (NAXIS3 = " + std::to_string(M.Planes) + "): plane " +
                  std::to_string(Plane) + " is measured; the setting Image Plane chooses another");
  }
  const uint64_t Plane_Index = M.Plane - 1;
  const uint64_t Data_Start = static_cast<uint64_t>(M.Cards.size()) * Card_Length;
  const std::string Pixels_Text = std::to_string(M.XSize) + " x " + std::to_string(M.YSize) + " pixels";

  if (M.BitPix == 16 && First == 0 && Direct) {
    uint16_t Zero_Offset = 0;
    if (const std::string* Text = Find("BZERO")) {
      const auto Zero = Try_Str_To_Float(*Text, '.');
      if (!Zero)
        throw Abandon_File(FName, "BZERO value '" + *Text + "' is not a number");
      const double Offset = std::trunc(*Zero + 0.5);
      // Checked before rounding: -1 would round to -0, which passes.
      if (!(*Zero >= 0.0 && Offset <= 65535.0))
        throw Abandon_File(FName, "BZERO " + *Text + " is outside the supported range 0..65535");
      Zero_Offset = static_cast<uint16_t>(Offset);
    }
    double Scale = 1.0;
    if (const std::string* Text = Find("BSCALE")) {
      const auto Value = Try_Str_To_Float(*Text, '.');
      if (!Value)
        throw Abandon_File(FName, "BSCALE value '" + *Text + "' is not a number");
      Scale = *Value;
    }
    if (Scale != 1.0)
      Messages.Show("BScale <> 1.0 not supported!");
    M.Stored_Maximum = 65535.0;

    const uint64_t Data_Bytes = uint64_t{2} * M.XSize * M.YSize;
    // Planes before the one read; at most 2^31 planes of less than 2^33 bytes each.
    const uint64_t Skipped = Data_Bytes * Plane_Index;
    if (File.Size() < Data_Start || File.Size() - Data_Start < Data_Bytes ||
        File.Size() - Data_Start - Data_Bytes < Skipped)
      throw Abandon_File(FName,
                         "file ends inside the data (" + Pixels_Text + " need " + std::to_string(Data_Bytes) +
                             " bytes" +
                             (Skipped > 0 ? " after " + std::to_string(Skipped) + " of earlier planes" : "") +
                             ", the file holds " +
                             std::to_string(File.Size() > Data_Start ? File.Size() - Data_Start : 0) + ")");
    return TData_Layout{Data_Start + Skipped, Zero_Offset};
  }

  TData_Layout Layout;
  Layout.Physical = true;
  Layout.Bitpix = M.BitPix;
  const auto Number = [&](std::string_view Key, double Default) {
    const std::string* Text = Find(Key);
    if (!Text)
      return Default;
    const auto Value = Try_Str_To_Float(*Text, '.');
    if (!Value || !std::isfinite(*Value))
      throw Abandon_File(FName, std::string(Key) + " value '" + *Text + "' is not a number");
    return *Value;
  };
  Layout.Zero = Number("BZERO", 0.0);
  Layout.Scale = Number("BSCALE", 1.0);
  if (Layout.Scale == 0.0)
    throw Abandon_File(FName, "BSCALE is 0: every pixel would have the value of BZERO");
  if (const std::string* Text = Find("BLANK"); Text != nullptr && M.BitPix > 0) {
    const auto Blank = Try_Str_To_Int(*Text);
    if (!Blank)
      throw Abandon_File(FName, "BLANK value '" + *Text + "' is not an integer");
    Layout.Has_Blank = true;
    Layout.Blank = *Blank;
  }
  M.Stored_Maximum = Largest_Stored_Value(M.BitPix, Layout.Scale, Layout.Zero);
  const uint64_t Pixels = uint64_t{M.XSize} * M.YSize;
  if (!Direct) {
    if (Pixels > Max_Unpacked_Pixels)
      throw Abandon_File(FName, "a compressed or gzip'ed image may have up to " +
                                    std::to_string(Max_Unpacked_Pixels) + " pixels; this one has " +
                                    Pixels_Text);
    return Layout;
  }
  // At most 2^32 pixels of 8 bytes, and 2^31 planes of them: the products fit 64 bits.
  const uint64_t Data_Bytes = Pixels * Sample_Bytes(M.BitPix);
  uint64_t Skipped = 0;
  if (__builtin_mul_overflow(Data_Bytes, Plane_Index, &Skipped) || File.Size() < Data_Start ||
      File.Size() - Data_Start < Data_Bytes || File.Size() - Data_Start - Data_Bytes < Skipped)
    throw Abandon_File(FName,
                       "file ends inside the data (" + Pixels_Text + " of BITPIX " +
                           std::to_string(M.BitPix) + " need " + std::to_string(Data_Bytes) + " bytes" +
                           (Skipped > 0 ? " after " + std::to_string(Skipped) + " of earlier planes" : "") +
                           ", the file holds " +
                           std::to_string(File.Size() > Data_Start ? File.Size() - Data_Start : 0) + ")");
  Layout.Start = Data_Start + Skipped;
  return Layout;
}

// Reads and converts every pixel into Array, in blocks of whole rows. On a failure no
// half-read picture is left behind.
// Position is where File's reading stands: the first plane is read on from there, a later
// one from its place.
void Read_All_Pixels(const std::string& FName, TInput_File& File, const TData_Layout& Layout,
                     uint16_t Columns, uint16_t Rows, TImageArray& Array, uint64_t Position) {
  const uint64_t Row_Bytes = uint64_t{2} * Columns;
  Array.Allocate_For_Overwrite(Columns, Rows);
  if (Row_Bytes * Rows == 0)
    return;
  const bool In_Order = Layout.Start == Position;
  const size_t Rows_Per_Block = std::max<size_t>(1, Data_Block_Bytes / Row_Bytes);
  for (size_t Row = 0; Row < Rows; Row += Rows_Per_Block) {
    const size_t Block_Rows = std::min<size_t>(Rows_Per_Block, Rows - Row);
    uint16_t* const Block = Array[Row];
    const size_t Bytes = Block_Rows * Row_Bytes;
    if ((In_Order ? File.Read(Block, Bytes) : File.Read_At(Block, Bytes, Layout.Start + Row * Row_Bytes)) <
        Bytes) {
      Array = TImageArray();
      throw Abandon_File(FName, "file ends inside the data");
    }
    if (!Convert_Words(Block, Block_Rows * Columns, Layout.Zero_Offset)) {
      Array = TImageArray();
      throw TPixel_Range_Error(FName + ": " + Pixel_Range_Text(Layout.Zero_Offset));
    }
  }
}

// The same for samples of any other format, read block by block and converted to physical
// values.
void Read_All_Samples(const std::string& FName, TInput_File& File, const TData_Layout& Layout,
                      uint16_t Columns, uint16_t Rows, TImageArray& Array) {
  const size_t Sample = Sample_Bytes(Layout.Bitpix);
  const uint64_t Row_Bytes = uint64_t{Sample} * Columns;
  Array.Allocate_Float_For_Overwrite(Columns, Rows);
  if (Row_Bytes * Rows == 0)
    return;
  const size_t Rows_Per_Block = std::max<size_t>(1, Data_Block_Bytes / Row_Bytes);
  // Samples of a float's size are read into the array itself and converted in place.
  const bool In_Place = Sample == sizeof(float);
  float Least = std::numeric_limits<float>::infinity(), Most = -Least;
  std::vector<unsigned char> Stored(In_Place ? 0 : Rows_Per_Block * Row_Bytes);
  for (size_t Row = 0; Row < Rows; Row += Rows_Per_Block) {
    const size_t Block_Rows = std::min<size_t>(Rows_Per_Block, Rows - Row);
    const size_t Bytes = Block_Rows * Row_Bytes;
    float* const Into = Array.Float_Row(Row);
    unsigned char* const Block = In_Place ? reinterpret_cast<unsigned char*>(Into) : Stored.data();
    if (File.Read_At(Block, Bytes, Layout.Start + Row * Row_Bytes) < Bytes) {
      Array = TImageArray();
      throw Abandon_File(FName, "file ends inside the data");
    }
    Convert_Samples(Block, Block_Rows * Columns, Layout, Into);
    // The range for the display, while the block is in the cache.
    Widen_Finite_Range(Into, Block_Rows * Columns, Least, Most);
  }
  Array.Set_Float_Range(Least, Most);
}

// --- the observation values, once the whole header is read ---

// A number of a card that is there: null when there is none or it does not convert.
std::optional<double> Card_Number(const std::optional<std::string>& Raw) {
  if (!Raw)
    return std::nullopt;
  const std::optional<double> N = Try_Str_To_Float(*Raw, '.');
  return N && std::isfinite(*N) ? N : std::nullopt;
}

std::string Card_Text(std::string_view Key, const std::string& Raw) {
  std::string Value = Latin1_To_UTF8(Raw);
  while (!Value.empty() && Value.back() == ' ')
    Value.pop_back();
  return std::string(Key) + " = " + Value;
}

// EXPOSURE, else EXPTIME; without either the exposure stays as the EXPOSURE row left it (0).
void Take_Exposure(TImage_Model& M) {
  const TObservation_Cards& C = M.Observation_Cards;
  M.Exposure_From.clear();
  if (const auto Seconds = Card_Number(C.Exposure)) {
    M.Exposure = *Seconds;
    M.Exposure_From = "EXPOSURE";
  } else if (const auto Time = Card_Number(C.Exptime)) {
    M.Exposure = *Time;
    M.Exposure_From = "EXPTIME";
  }
}

// Julian dates outside these bounds (before the year 1, after 9999) are no observation.
constexpr double Earliest_JD = 1721425.5, Latest_JD = 5373484.5;

// The time of mid-exposure from the first card that gives one: JD (the start), DATE-AVG or
// MJD-AVG (the middle), DATE-OBS (with TIME-OBS or UT when it holds only a date) or MJD-OBS
// (the start). Without any, JD holds half the exposure only and Time_From stays empty.
void Take_Time(TImage_Model& M) {
  const TObservation_Cards& C = M.Observation_Cards;
  const double Half_Exposure = M.Exposure / 172800.0;
  std::vector<std::string> Problems;
  const auto Take = [&](double Mid, std::string From, const std::string& Key, const std::string& Raw) {
    if (!(Mid >= Earliest_JD && Mid <= Latest_JD)) {
      Problems.push_back(Card_Text(Key, Raw) + " gives a date outside the years 1 to 9999");
      return false;
    }
    M.JD = Mid;
    M.Time_From = std::move(From);
    return true;
  };
  const auto Modified = [&](const std::optional<std::string>& Raw, const char* Key, double Add) {
    if (!Raw)
      return false;
    const auto Days = Card_Number(Raw);
    if (!Days) {
      Problems.push_back(Card_Text(Key, *Raw) + " is not a number");
      return false;
    }
    return Take(*Days + 2400000.5 + Add, Key, Key, *Raw);
  };
  const auto Calendar = [&](const std::optional<std::string>& Raw, const char* Key, double Add) {
    if (!Raw)
      return false;
    const auto Date = Parse_ISO_Date(*Raw);
    if (!Date) {
      Problems.push_back(Card_Text(Key, *Raw) + " is not an ISO 8601 date (YYYY-MM-DDThh:mm:ss.sss)");
      return false;
    }
    std::string From = Key;
    double Seconds = Date->Seconds_Of_Day;
    if (!Date->Has_Time) {
      const std::optional<std::string>& Clock = C.Time_Obs ? C.Time_Obs : C.UT;
      const char* Clock_Key = C.Time_Obs ? "TIME-OBS" : "UT";
      if (!Clock) {
        Problems.push_back(Card_Text(Key, *Raw) +
                           " holds no time of day, and there is no TIME-OBS or UT card");
        return false;
      }
      const auto Of_Day = Parse_Time_Of_Day(*Clock);
      if (!Of_Day) {
        Problems.push_back(Card_Text(Clock_Key, *Clock) + " is not a time of day (hh:mm:ss.sss)");
        return false;
      }
      Seconds = *Of_Day;
      From += std::string("+") + Clock_Key;
    }
    return Take(Julian_Date(Date->Year, Date->Month, Date->Day, Seconds) + Add, From, Key, *Raw);
  };

  M.Time_From.clear();
  M.Time_Problem.clear();
  // DATE-OBS without a value counts as none, as it gives no file name either.
  const std::optional<std::string> Date_Obs = M.Date_Obs.empty() ? std::nullopt : C.Date_Obs;
  const auto Start = [&] {
    if (!C.JD)
      return false;
    const auto Days = Card_Number(C.JD);
    if (!Days) {
      Problems.push_back(Card_Text("JD", *C.JD) + " is not a number");
      return false;
    }
    return Take(*Days + Half_Exposure, "JD", "JD", *C.JD);
  };
  // A card that is there but gives no time (JD = 0, a date written 02/01/14) passes to the next.
  if (Start() || Calendar(C.Date_Avg, "DATE-AVG", 0.0) || Modified(C.Mjd_Avg, "MJD-AVG", 0.0) ||
      Calendar(Date_Obs, "DATE-OBS", Half_Exposure) || Modified(C.Mjd_Obs, "MJD-OBS", Half_Exposure))
    return;
  M.JD = Half_Exposure; // as without any time card: the report is refused
  // Said when a report is asked for, the only use of the time.
  for (const std::string& Problem : Problems)
    M.Time_Problem += (M.Time_Problem.empty() ? "" : "; ") + Problem;
}

// AIRMASS as it stands, else no air mass until the analysis computes one from the site;
// the site from the first pair of cards that is there.
void Take_Air_Mass_And_Site(TImage_Model& M, TMessages& Messages) {
  const TObservation_Cards& C = M.Observation_Cards;
  M.AirMass_From = Card_Number(C.AirMass) ? "AIRMASS" : "";
  M.Site.reset();
  const struct {
    const std::optional<std::string>& Latitude;
    const std::optional<std::string>& Longitude;
    const char* Latitude_Key;
    const char* Longitude_Key;
  } Pairs[] = {{C.Site_Lat, C.Site_Long, "SITELAT", "SITELONG"},
               {C.Obsgeo_B, C.Obsgeo_L, "OBSGEO-B", "OBSGEO-L"},
               {C.Lat_Obs, C.Long_Obs, "LAT-OBS", "LONG-OBS"}};
  for (const auto& Pair : Pairs) {
    if (!Pair.Latitude || !Pair.Longitude)
      continue;
    const auto Latitude = Parse_Angle(*Pair.Latitude);
    const auto Longitude = Parse_Angle(*Pair.Longitude);
    if (!Latitude || std::abs(*Latitude) > 90.0) {
      Messages.Show(Card_Text(Pair.Latitude_Key, *Pair.Latitude) +
                    " is not a latitude (degrees, or \"D M S\", -90 to 90): it gives no air mass");
      continue;
    }
    if (!Longitude || std::abs(*Longitude) > 360.0) {
      Messages.Show(Card_Text(Pair.Longitude_Key, *Pair.Longitude) +
                    " is not a longitude (degrees east, or \"D M S\", -360 to 360): it gives no air mass");
      continue;
    }
    // East longitudes 0..360 and signed -180..180 are the same angle.
    double East = std::fmod(*Longitude, 360.0);
    if (East > 180.0)
      East -= 360.0;
    else if (East <= -180.0)
      East += 360.0;
    M.Site = TSite{*Latitude, East};
    return;
  }
}

} // namespace

const char* const Time_Cards_Text =
    "JD, DATE-AVG, MJD-AVG, DATE-OBS (with TIME-OBS or UT when it holds only a "
    "date) or MJD-OBS";

void TImage_Model::Open_File(const std::string& FName, TMessages& Messages, const TOpen_Options& Options) {
  WCS_Calculator = TWCS();
  WCS1 = TWCSRecord();
  Caption_String = FName;
  FileName = FName;
  TInput_File File(FName);
  std::unique_ptr<TCfitsio_Image> Unpacked;
  const TData_Layout Layout = Read_Header(FName, File, Messages, Options, Unpacked);
  if (Unpacked) {
    Image_Array.Allocate_Float_For_Overwrite(XSize, YSize);
    if (uint64_t{XSize} * YSize > 0) {
      try {
        Unpacked->Read_Plane(Plane, XSize, YSize, Image_Array.Float_Row(0));
      } catch (...) {
        Image_Array = TImageArray();
        throw;
      }
    }
    Image_Array.Finish_Float();
  } else if (Options.Pixels_On_Demand) {
    if (Layout.Physical)
      Image_Array.Allocate_Float_On_Demand(XSize, YSize, Pixels_From_File(std::move(File), Layout, XSize));
    else
      Image_Array.Allocate_On_Demand(XSize, YSize, Pixels_From_File(std::move(File), Layout, XSize));
  } else if (Layout.Physical) {
    Read_All_Samples(FName, File, Layout, XSize, YSize, Image_Array);
  } else {
    try {
      Read_All_Pixels(FName, File, Layout, XSize, YSize, Image_Array, uint64_t{Cards.size()} * Card_Length);
    } catch (const TPixel_Range_Error&) {
      // Signed words below 0 once the zero offset is added (a dark-subtracted frame without
      // BZERO 32768): their physical values, as for every other format.
      const TData_Layout Signed = Signed_Words_Layout(Layout);
      Read_All_Samples(FName, File, Signed, XSize, YSize, Image_Array);
      Stored_Maximum = Largest_Stored_Value(16, 1.0, Signed.Zero);
    }
  }
  Finish_Open(FName, Messages);
}

TData_Layout TImage_Model::Read_Header(const std::string& FName, TInput_File& File, TMessages& Messages,
                                       const TOpen_Options& Options,
                                       std::unique_ptr<TCfitsio_Image>& Unpacked) {
  for (const TKeyword_Rule& Rule : Keyword_Rules)
    if (Rule.Found)
      this->*Rule.Found = false;
  Observation_Cards = TObservation_Cards();
  Image_Cards_From = 0;
  Tile_Compressed = false;
  // CRPIX read as the FITS standard counts pixels, from 1, moves to the 0-based convention.
  const double Crpix_Offset = Options.Fits_Crpix ? 1.0 : 0.0;
  unsigned char Magic[2] = {};
  if (Starts_As_Gzip(Magic, File.Read_At(Magic, sizeof Magic, 0))) {
    // cfitsio unpacks the whole file into memory: its own length field (the size modulo
    // 2^32) must promise no more than a large frame does.
    unsigned char Tail[4] = {};
    if (File.Size() >= 18 && File.Read_At(Tail, 4, File.Size() - 4) == 4) {
      const uint32_t Unpacked_Size = Tail[0] | Tail[1] << 8 | Tail[2] << 16 | uint32_t{Tail[3]} << 24;
      if (Unpacked_Size > Max_Gzip_Bytes)
        throw Abandon_File(FName, "the gzip'ed file unpacks to " + std::to_string(Unpacked_Size) +
                                      " bytes; at most " + std::to_string(Max_Gzip_Bytes) + " can be read");
    }
    Cards.clear();
    Unpacked = std::make_unique<TCfitsio_Image>(FName);
    Take_Cards(*this, Unpacked->Cards(1), FName, Messages, Crpix_Offset);
    if (Unpacked->Image_HDU() > 1) {
      Image_Cards_From = Cards.size();
      Take_Cards(*this, Unpacked->Cards(Unpacked->Image_HDU()), FName, Messages, Crpix_Offset);
    }
  } else {
    Read_Cards(*this, FName, File, Messages, Crpix_Offset);
    // A primary HDU without data: the image is in the extension after it, whose cards follow
    // the primary ones (a keyword of both takes the extension's value).
    if (Primary_Without_Data(*this) && File.Size() > uint64_t{Cards.size()} * Card_Length) {
      Image_Cards_From = Cards.size();
      Read_Cards(*this, FName, File, Messages, Crpix_Offset, true);
      const bool Is_Extension = Cards[Image_Cards_From].Key == "XTENSION";
      const auto Extension = Card_Value(*this, "XTENSION", Image_Cards_From);
      if (Is_Extension && Extension == "BINTABLE" && Card_Value(*this, "ZIMAGE", Image_Cards_From) == "T") {
        // A tile-compressed image: its header as the image it holds comes from cfitsio, once
        // the table's sizes are known to fit the file (cfitsio allocates by them).
        Check_Table_Sizes(*this, FName, File, Image_Cards_From);
        Cards.resize(Image_Cards_From);
        Tile_Compressed = true;
        Unpacked = std::make_unique<TCfitsio_Image>(FName);
        Take_Cards(*this, Unpacked->Cards(Unpacked->Image_HDU()), FName, Messages, Crpix_Offset);
      } else if (!Is_Extension || Extension != "IMAGE") {
        throw Abandon_File(FName, "the primary HDU holds no image (NAXIS 0) and the HDU after it is " +
                                      (Extension ? "XTENSION = '" + Latin1_To_UTF8(*Extension) + "'"
                                                 : std::string("no extension")) +
                                      ", not an image");
      }
    }
  }
  try {
    Decide_Plate_Solved();
  } catch (const TKorvane_Error& Error) {
    throw Abandon_File(FName, Error.what());
  }
  if (!WCS_Note.empty())
    Messages.Show(WCS_Note);
  const size_t First = Image_Cards_From;
  if (Cards.size() < First + 3)
    throw Abandon_File(FName, "the image's header holds fewer than three cards");
  const int Axes = Check_Mandatory_Keywords(*this, FName, Messages, First);
  return Read_Data_Layout(*this, FName, File, Messages, First, Axes, Options.Plane, Unpacked == nullptr);
}

void TImage_Model::Finish_Open(const std::string& FName, TMessages& Messages) {
  Take_Exposure(*this);
  Take_Time(*this);
  Take_Air_Mass_And_Site(*this, Messages);

  if (XSize == 0 || YSize == 0)
    throw Abandon_File(FName, std::string(XSize == 0 ? "NAXIS1" : "NAXIS2") +
                                  " is missing or 0: the image has no pixels to show or measure");
}

namespace {

// The value of CTYPE1 or CTYPE2 without its quotes and trailing blanks; empty when absent.
std::string_view Axis_Type(const TImage_Model& M, const char* Key) {
  // The image HDU's card, else the primary HDU's.
  const THeader_Card* Card = M.Find_Card(Key, M.Image_Cards_From);
  if (Card == nullptr && M.Image_Cards_From > 0)
    Card = M.Find_Card(Key);
  return Card != nullptr ? Unquoted(Card->Value) : std::string_view();
}

bool Names_Sip(const TImage_Model& M) {
  return Axis_Type(M, "CTYPE1").ends_with("-SIP") && Axis_Type(M, "CTYPE2").ends_with("-SIP");
}

// A SIP order as read: an integer 0..Max_Sip_Order, else the reason it is refused.
std::optional<std::string> Take_Sip_Order(double Value, const char* Key, int& Order) {
  if (!(Value >= 0.0 && Value <= Max_Sip_Order) || Value != std::trunc(Value))
    return std::string(Key) + " must be an integer from 0 to " + std::to_string(Max_Sip_Order) +
           ": the distortion terms cannot be used";
  Order = static_cast<int>(Value);
  return std::nullopt;
}

// Takes the SIP orders into the record: false, with the reason in Note, when they are
// unusable.
bool Take_Sip(TImage_Model& M, std::string& Note) {
  TWCSRecord& W = M.WCS1;
  W.sip = false;
  for (TSip_Polynomial* P : {&W.sip_a, &W.sip_b, &W.sip_ap, &W.sip_bp})
    P->order = -1;
  if (!Names_Sip(M) || (!M.A_ORDER_found && !M.B_ORDER_found))
    return true;
  if (!M.A_ORDER_found || !M.B_ORDER_found) {
    Note = std::string(M.A_ORDER_found ? "B_ORDER" : "A_ORDER") +
           " is missing: the distortion terms need both A_ORDER and B_ORDER";
    return false;
  }
  const bool Found[4] = {M.A_ORDER_found, M.B_ORDER_found, M.AP_ORDER_found, M.BP_ORDER_found};
  const char* Keys[4] = {"A_ORDER", "B_ORDER", "AP_ORDER", "BP_ORDER"};
  TSip_Polynomial* Polys[4] = {&W.sip_a, &W.sip_b, &W.sip_ap, &W.sip_bp};
  for (int k = 0; k < 4; ++k) {
    if (!Found[k])
      continue;
    if (auto Refused = Take_Sip_Order(M.Sip_Order[k], Keys[k], Polys[k]->order)) {
      Note = *Refused;
      return false;
    }
    // A coefficient that is not finite would make every position undefined.
    for (const double c : Polys[k]->c)
      if (!std::isfinite(c)) {
        Note = std::string(Keys[k]).substr(0, k < 2 ? 1 : 2) +
               "_p_q holds a value that is not a finite number: the distortion terms cannot be used";
        return false;
      }
  }
  W.sip = true;
  return true;
}

} // namespace

void TImage_Model::Decide_Plate_Solved() {
  const bool Reference = CRPIX1_found && CRPIX2_found && CRVAL1_found && CRVAL2_found;
  const bool All_CD = CD1_1_found && CD1_2_found && CD2_1_found && CD2_2_found;
  const bool Any_CD = CD1_1_found || CD1_2_found || CD2_1_found || CD2_2_found;
  const bool Cdelt = !Any_CD && CDELT1_found && CDELT2_found;
  WCS_Note.clear();
  Pointing_WCS = false;
  Plate_Solved = Reference && (All_CD || Cdelt);
  if (Plate_Solved && Cdelt) {
    // CDi_j = CDELTi PCi_j; without a PC matrix, the rotation by CROTA2 (0 when absent).
    const double* d = WCS1.cdelt;
    if (PC1_1_found || PC1_2_found || PC2_1_found || PC2_2_found) {
      for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j)
          WCS1.cd[2 * i + j] = d[i] * PC[2 * i + j];
    } else {
      const double Rho = Crota2 * std::numbers::pi / 180.0;
      const double c = std::cos(Rho), n = std::sin(Rho);
      WCS1.cd[0] = d[0] * c;
      WCS1.cd[1] = -d[1] * n;
      WCS1.cd[2] = d[0] * n;
      WCS1.cd[3] = d[1] * c;
    }
  }
  if (Plate_Solved && !Take_Sip(*this, WCS_Note))
    Plate_Solved = false;
  WCS1.rotmat = Plate_Solved;
  if (Plate_Solved && Cdelt) {
    try {
      Invert_CD_Matrix(WCS1);
    } catch (const TKorvane_Error&) {
      WCS_Note = "CDELT1 and CDELT2 with CROTA2 or the PC matrix give no usable world coordinates (a "
                 "singular or undefined matrix)";
      Plate_Solved = WCS1.rotmat = false;
    }
    Pointing_WCS = Plate_Solved && !WCS1.sip;
  } else if (Plate_Solved) {
    Invert_CD_Matrix(WCS1);
  }
  if (!Plate_Solved)
    Last_Error = TResult_Code::Not_Plate_Solved;
}

bool TImage_Model::Apply_Solution(const std::string& Path, TMessages& Messages) {
  TImage_Model Solution;
  TInput_File File(Path);
  Read_Cards(Solution, Path, File, Messages, 1.0);
  try {
    Solution.Decide_Plate_Solved();
  } catch (const TKorvane_Error& Error) {
    WCS_Note = "the plate solution " + Path + " cannot be used: " + Error.what();
    return false;
  }
  if (!Solution.Plate_Solved) {
    WCS_Note = "the plate solution " + Path + " holds no usable world coordinates" +
               (Solution.WCS_Note.empty() ? "" : ": " + Solution.WCS_Note);
    return false;
  }
  WCS_Calculator = TWCS();
  WCS1 = Solution.WCS1;
  Plate_Solved = true;
  Pointing_WCS = false;
  Solved_Here = true;
  WCS_Note.clear();
  return true;
}

double TImage_Model::Saturation_Level(double Setting) const {
  // A card whose last value does not convert (NaN) or is not above 0 gives no level: read as
  // 0 it would call every star saturated.
  const auto Usable = [](bool Found, double Level) { return Found && std::isfinite(Level) && Level > 0.0; };
  if (Usable(SATURATE_found, Saturate))
    return Saturate;
  if (Usable(DATAMAX_found, Datamax))
    return Datamax;
  if (Usable(true, Setting))
    return Setting;
  return Stored_Maximum;
}

const THeader_Card* TImage_Model::Find_Card(std::string_view Key, size_t From) const {
  for (size_t k = From; k <= NKeys && k < Cards.size(); ++k)
    if (Cards[k].Key == Key)
      return &Cards[k];
  return nullptr;
}

std::string TImage_Model::Distortion_Note() const {
  // Applied terms need no note; refused ones have WCS_Note.
  if (WCS1.sip || !WCS_Note.empty())
    return {};
  for (const char* Key : {"CTYPE1", "CTYPE2"}) {
    const std::string_view Type = Axis_Type(*this, Key);
    if (Type.ends_with("-SIP"))
      return std::string(Key) + " is '" + std::string(Type) +
             "' but the header holds no usable distortion terms (A_ORDER, B_ORDER and both axes -SIP), so "
             "none are applied: stars far from the reference pixel may be misplaced";
  }
  return {};
}
