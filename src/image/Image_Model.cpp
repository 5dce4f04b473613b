#include "image/Image_Model.h"

#include "image/Partial_Read.h"

#include "text/Input_File.h"
#include "text/Number_Format.h"
#include "text/Text_Encoding.h"

#include <algorithm>
#include <cmath>
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
};

using TNumber_Field = double& (*)(TImage_Model&);
using TText_Field = std::string TImage_Model::*;
using TLetter_Field = char TImage_Model::*;

template <double TImage_Model::*Field> double& Model_Number(TImage_Model& M) {
  return M.*Field;
}
template <double TWCSRecord::*Field> double& WCS_Number(TImage_Model& M) {
  return M.WCS1.*Field;
}
template <auto Field, size_t Index> double& WCS_Element(TImage_Model& M) {
  return (M.WCS1.*Field)[Index];
}

// One keyword of the table. Every card is looked up as it is read, wherever it stands (after
// an END card of its record too), so the last occurrence of a keyword wins, one whose value
// does not convert included; a found flag, once set by a value that converts, stays set.
struct TKeyword_Rule {
  std::string_view Key;
  TConvert Convert;
  std::variant<TNumber_Field, TText_Field, TLetter_Field> Field;
  double Default = 0.0;                // a number that does not convert stores this
  bool TImage_Model::*Found = nullptr; // set by a number that converts
  TNumber_Field Copy = nullptr;        // a second field that takes the same number
};

constexpr TKeyword_Rule Keyword_Rules[] = {
    {"EXPOSURE", TConvert::Number, &Model_Number<&TImage_Model::Exposure>, 0.0},
    {"JD", TConvert::Number, &Model_Number<&TImage_Model::JD>, 0.0},
    {"AIRMASS", TConvert::Number, &Model_Number<&TImage_Model::AirMass>, 1.0},
    {"DATE-OBS", TConvert::Text, &TImage_Model::Date_Obs},
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
    {"CDELT1", TConvert::Number, &WCS_Element<&TWCSRecord::cdelt, 0>, 0.0},
    {"CDELT2", TConvert::Number, &WCS_Element<&TWCSRecord::cdelt, 1>, 0.0},
    {"LONPOLE", TConvert::Number, &WCS_Number<&TWCSRecord::longpole>, 180.0},
};

// Takes one card's value into the model by its keyword's rule; a keyword without a rule is
// kept as a card only. Value is the card's raw value (Latin-1, trailing blanks kept).
void Apply_Keyword(TImage_Model& M, std::string_view Key, const std::string& Value, double Crpix_Offset,
                   const std::string& FName) {
  const auto Rule = std::find_if(std::begin(Keyword_Rules), std::end(Keyword_Rules),
                                 [Key](const TKeyword_Rule& R) { return R.Key == Key; });
  if (Rule == std::end(Keyword_Rules))
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
    return;
  }
  case Text:
    M.*std::get<TText_Field>(Rule->Field) = Latin1_To_UTF8(Value);
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

// Reads whole records up to the one holding an END card into M.Cards, NKeys the index of the
// last END card of that record. Each card's keyword is applied as soon as the card is read,
// so a keyword that abandons the file stops the reading at its card.
void Read_Cards(TImage_Model& M, const std::string& FName, TInput_File& File, TMessages& Messages,
                double Crpix_Offset) {
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
    for (size_t c = 0; c < Cards_Per_Record; ++c) {
      const std::string_view Card(Record + c * Card_Length, Card_Length);
      const uint32_t i = static_cast<uint32_t>(M.Cards.size());
      const TCard_Parts Parts = Split_Card(Card);
      const std::string Key = Trim_Right_Controls(Parts.Key);
      if (Key == "END") {
        End_Found = true;
        M.NKeys = i;
      }
      if (Parts.Equals_Without_Blank)
        Messages.Show("\"= \" Expected!");
      // Header bytes are ISO 8859-1; the model's text is UTF-8.
      M.Cards.push_back(THeader_Card{Latin1_To_UTF8(Key), Latin1_To_UTF8(Trim_Right_Controls(Parts.Value)),
                                     Latin1_To_UTF8(Trim_Left_Controls(Parts.Comment))});
      Apply_Keyword(M, Key, Parts.Value, Crpix_Offset, FName);
    }
  }
}

// SIMPLE, BITPIX and NAXIS by position, the first three cards: findings only, in this order,
// then the refusal of any sample size but 16 bits, whose data would be read as garbage.
void Check_Mandatory_Keywords(TImage_Model& M, const std::string& FName, TMessages& Messages) {
  const std::vector<THeader_Card>& Cards = M.Cards;
  if (Cards[0].Key != "SIMPLE")
    Messages.Show("SIMPLE keyword not found!");
  else if (Cards[0].Value != "T")
    Messages.Show("Not a simple FITs Format!");
  if (Cards[1].Key != "BITPIX") {
    Messages.Show("BITPIX keyword not found!");
  } else {
    const auto Bits = Try_Str_To_Int(Cards[1].Value, -32768, 32767);
    if (!Bits)
      throw Abandon_File(FName, "BITPIX value '" + Cards[1].Value + "' is not an integer in -32768..32767");
    M.BitPix = static_cast<int16_t>(*Bits);
  }
  if (M.BitPix != 16)
    Messages.Show("Not a 16 bit image!");
  if (Cards[2].Key != "NAXIS") {
    Messages.Show("NAXIS keyword not found!");
  } else {
    const auto Axes = Try_Str_To_Int(Cards[2].Value);
    if (!Axes)
      throw Abandon_File(FName, "NAXIS value '" + Cards[2].Value + "' is not an integer");
    if (*Axes != 2)
      Messages.Show("Not a 2 dimensional image!");
  }
  if (M.BitPix != 16)
    throw Abandon_File(FName, Cards[1].Key == "BITPIX"
                                  ? "BITPIX " + std::to_string(M.BitPix) +
                                        " is not supported; only 16-bit images can be read"
                                  : "no BITPIX keyword; only 16-bit images can be read");
}

// NAXIS1, NAXIS2, BZERO and BSCALE, each its first occurrence from index 3 on, a value that
// does not convert refused; then the check, before anything is allocated, that the file holds
// the rows the header promises.
TData_Layout Read_Data_Layout(TImage_Model& M, const std::string& FName, const TInput_File& File,
                              TMessages& Messages) {
  auto Find = [&M](std::string_view Key) -> const std::string* {
    const THeader_Card* Card = M.Find_Card(Key, 3);
    return Card != nullptr ? &Card->Value : nullptr;
  };
  auto Size_Value = [&](std::string_view Key) -> uint16_t {
    const std::string* Text = Find(Key);
    if (!Text)
      return 0;
    const auto Size = Try_Str_To_Int(*Text, 0, 65535);
    if (!Size)
      throw Abandon_File(FName, std::string(Key) + " value '" + *Text + "' is not an integer in 0..65535");
    return static_cast<uint16_t>(*Size);
  };
  M.XSize = Size_Value("NAXIS1");
  M.YSize = Size_Value("NAXIS2");
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

  const uint64_t Data_Start = static_cast<uint64_t>(M.Cards.size()) * Card_Length;
  const uint64_t Data_Bytes = uint64_t{2} * M.XSize * M.YSize;
  if (File.Size() < Data_Start || File.Size() - Data_Start < Data_Bytes)
    throw Abandon_File(
        FName, "file ends inside the data (" + std::to_string(M.XSize) + " x " + std::to_string(M.YSize) +
                   " pixels need " + std::to_string(Data_Bytes) + " bytes, the file holds " +
                   std::to_string(File.Size() > Data_Start ? File.Size() - Data_Start : 0) + ")");
  return TData_Layout{Data_Start, Zero_Offset};
}

// Reads and converts every pixel into Array, in blocks of whole rows. On a failure no
// half-read picture is left behind.
void Read_All_Pixels(const std::string& FName, TInput_File& File, const TData_Layout& Layout,
                     uint16_t Columns, uint16_t Rows, TImageArray& Array) {
  const uint64_t Row_Bytes = uint64_t{2} * Columns;
  Array.Allocate_For_Overwrite(Columns, Rows);
  if (Row_Bytes * Rows == 0)
    return;
  const size_t Rows_Per_Block = std::max<size_t>(1, Data_Block_Bytes / Row_Bytes);
  for (size_t Row = 0; Row < Rows; Row += Rows_Per_Block) {
    const size_t Block_Rows = std::min<size_t>(Rows_Per_Block, Rows - Row);
    uint16_t* const Block = Array[Row];
    const size_t Bytes = Block_Rows * Row_Bytes;
    if (File.Read(Block, Bytes) < Bytes) {
      Array = TImageArray();
      throw Abandon_File(FName, "file ends inside the data");
    }
    if (!Convert_Words(Block, Block_Rows * Columns, Layout.Zero_Offset)) {
      Array = TImageArray();
      throw Abandon_File(FName, Pixel_Range_Text(Layout.Zero_Offset));
    }
  }
}

} // namespace

void TImage_Model::Open_File(const std::string& FName, TMessages& Messages, const TOpen_Options& Options) {
  WCS_Calculator = TWCS();
  WCS1 = TWCSRecord();
  Caption_String = FName;
  FileName = FName;
  TInput_File File(FName);
  const TData_Layout Layout = Read_Header(FName, File, Messages, Options);
  if (Options.Pixels_On_Demand)
    Image_Array.Allocate_On_Demand(XSize, YSize, Pixels_From_File(std::move(File), Layout, XSize));
  else
    Read_All_Pixels(FName, File, Layout, XSize, YSize, Image_Array);
  Finish_Open(FName);
}

TData_Layout TImage_Model::Read_Header(const std::string& FName, TInput_File& File, TMessages& Messages,
                                       const TOpen_Options& Options) {
  for (const TKeyword_Rule& Rule : Keyword_Rules)
    if (Rule.Found)
      this->*Rule.Found = false;
  // CRPIX read as the FITS standard counts pixels, from 1, moves to the 0-based convention.
  Read_Cards(*this, FName, File, Messages, Options.Fits_Crpix ? 1.0 : 0.0);
  try {
    Decide_Plate_Solved();
  } catch (const TKorvane_Error& Error) {
    throw Abandon_File(FName, Error.what());
  }
  Check_Mandatory_Keywords(*this, FName, Messages);
  return Read_Data_Layout(*this, FName, File, Messages);
}

void TImage_Model::Finish_Open(const std::string& FName) {
  JD = JD + Exposure / 172800.0;

  if (XSize == 0 || YSize == 0)
    throw Abandon_File(FName, std::string(XSize == 0 ? "NAXIS1" : "NAXIS2") +
                                  " is missing or 0: the image has no pixels to show or measure");
}

void TImage_Model::Decide_Plate_Solved() {
  Plate_Solved = CD1_1_found && CD1_2_found && CD2_1_found && CD2_2_found && CRPIX1_found && CRPIX2_found &&
                 CRVAL1_found && CRVAL2_found;
  WCS1.rotmat = Plate_Solved;
  if (Plate_Solved)
    Invert_CD_Matrix(WCS1);
  else
    Last_Error = TResult_Code::Not_Plate_Solved;
}

const THeader_Card* TImage_Model::Find_Card(std::string_view Key, size_t From) const {
  for (size_t k = From; k <= NKeys && k < Cards.size(); ++k)
    if (Cards[k].Key == Key)
      return &Cards[k];
  return nullptr;
}

std::string TImage_Model::Distortion_Note() const {
  for (const char* Key : {"CTYPE1", "CTYPE2"}) {
    const THeader_Card* Card = Find_Card(Key);
    if (Card == nullptr)
      continue;
    // A string value: quotes around it, blanks inside them at the end.
    std::string_view Type = Card->Value;
    if (Type.size() >= 2 && Type.front() == '\'' && Type.back() == '\'')
      Type = Type.substr(1, Type.size() - 2);
    while (!Type.empty() && Type.back() == ' ')
      Type.remove_suffix(1);
    if (Type.ends_with("-SIP"))
      return std::string(Key) + " is '" + std::string(Type) +
             "': its distortion terms are not applied, so stars far from the reference pixel may be "
             "misplaced";
  }
  return {};
}
