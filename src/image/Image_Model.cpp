#include "image/Image_Model.h"

#include "image/Partial_Read.h"

#include "text/Input_File.h"
#include "text/Number_Format.h"
#include "text/Text_Encoding.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include <sys/mman.h>

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

} // namespace

bool Convert_Words(uint16_t* Words, size_t Count, uint16_t Zero_Offset) {
  const auto Swap = [](uint16_t w) {
    if constexpr (std::endian::native == std::endian::little)
      w = static_cast<uint16_t>((w << 8) | (w >> 8));
    return w;
  };
  // Fixed-length groups so that the compiler vectorises the body at every optimisation level.
  constexpr size_t Group = 32;
  if (Zero_Offset == 32768) {
    // The usual unsigned image: every stored word gives a value in range.
    size_t i = 0;
    for (; i + Group <= Count; i += Group)
      for (size_t j = 0; j < Group; ++j)
        Words[i + j] = static_cast<uint16_t>(Swap(Words[i + j]) + Zero_Offset);
    for (; i < Count; ++i)
      Words[i] = static_cast<uint16_t>(Swap(Words[i]) + Zero_Offset);
    return true;
  }
  int16_t Low = INT16_MAX, High = INT16_MIN;
  const auto Convert = [&](uint16_t& Word) {
    const uint16_t w = Swap(Word);
    const auto Signed = static_cast<int16_t>(w);
    Low = std::min(Low, Signed);
    High = std::max(High, Signed);
    Word = static_cast<uint16_t>(w + Zero_Offset);
  };
  size_t i = 0;
  for (; i + Group <= Count; i += Group)
    for (size_t j = 0; j < Group; ++j)
      Convert(Words[i + j]);
  for (; i < Count; ++i)
    Convert(Words[i]);
  return Count == 0 || (Low + int32_t{Zero_Offset} >= 0 && High + int32_t{Zero_Offset} <= 65535);
}

std::string Pixel_Range_Text(uint16_t Zero_Offset) {
  if (Zero_Offset == 0)
    return "the image holds negative pixel values (a signed image without BZERO, as after sky or dark "
           "subtraction); only values 0 to 65535 can be measured";
  return "the image holds pixel values outside 0 to 65535 with BZERO " + std::to_string(Zero_Offset) +
         "; only values 0 to 65535 can be measured";
}

void TImage_Model::Open_File(const std::string& FName, TMessages& Messages, const TOpen_Options& Options) {
  WCS_Calculator = TWCS();
  WCS1 = TWCSRecord();
  Caption_String = FName;
  FileName = FName;
  if (Options.Pixels_On_Demand) {
    Open_Pixels_On_Demand(*this, FName, Messages, Options);
    return;
  }

  TInput_File File(FName);
  const TData_Layout Layout = Read_Header(FName, File, Messages, Options);
  const uint64_t Row_Bytes = uint64_t{2} * XSize;
  const uint64_t Data_Bytes = Row_Bytes * YSize;
  Image_Array.Allocate_For_Overwrite(XSize, YSize);
  if (Data_Bytes > 0) {
    const size_t Rows_Per_Block = std::max<size_t>(1, Data_Block_Bytes / Row_Bytes);
    for (size_t Row = 0; Row < YSize; Row += Rows_Per_Block) {
      const size_t Rows = std::min<size_t>(Rows_Per_Block, YSize - Row);
      uint16_t* const Block = Image_Array[Row];
      const size_t Bytes = Rows * Row_Bytes;
      if (File.Read(Block, Bytes) < Bytes) {
        Image_Array = TImageArray(); // no half-read picture is left behind
        throw Abandon_File(FName, "file ends inside the data");
      }
      if (!Convert_Words(Block, Rows * XSize, Layout.Zero_Offset)) {
        Image_Array = TImageArray();
        throw Abandon_File(FName, Pixel_Range_Text(Layout.Zero_Offset));
      }
    }
  }
  Finish_Open(FName);
}

void TImage_Model::Finish_Open(const std::string& FName) {
  JD = JD + Exposure / 172800.0;

  if (XSize == 0 || YSize == 0)
    throw Abandon_File(FName, std::string(XSize == 0 ? "NAXIS1" : "NAXIS2") +
                                  " is missing or 0: the image has no pixels to show or measure");
}

TData_Layout TImage_Model::Read_Header(const std::string& FName, TInput_File& File, TMessages& Messages,
                                       const TOpen_Options& Options) {
  // CRPIX read as the FITS standard counts pixels, from 1, moves to the 0-based convention.
  const double Crpix_Offset = Options.Fits_Crpix ? 1.0 : 0.0;
  auto Abandon = [&FName](const std::string& Cause) { return Abandon_File(FName, Cause); };

  Cards.clear();
  CD1_1_found = CD1_2_found = CD2_1_found = CD2_2_found = false;

  // Header: whole records until the one holding the END card.
  bool End_Found = false;
  char Record[Record_Length];
  for (size_t Records = 0; !End_Found; ++Records) {
    if (Records == Max_Header_Records)
      throw Abandon("no END card in the first " + std::to_string(Max_Header_Records) +
                    " header records; not a FITS image");
    if (File.Read(Record, Record_Length) < Record_Length)
      throw Abandon(Records == 0 && File.Size() < Record_Length
                        ? "file ends inside the header (shorter than one 2880-byte header record)"
                        : "file ends inside the header");
    for (size_t c = 0; c < Cards_Per_Record; ++c) {
      const std::string_view Card(Record + c * Card_Length, Card_Length);
      const uint32_t i = static_cast<uint32_t>(Cards.size());
      TCard_Parts Parts = Split_Card(Card);
      const std::string Key = Trim_Right_Controls(Parts.Key);
      if (Key == "END") {
        End_Found = true;
        NKeys = i;
      }
      if (Parts.Equals_Without_Blank)
        Messages.Show("\"= \" Expected!");
      // Header bytes are ISO 8859-1; the model's text is UTF-8.
      Cards.push_back(THeader_Card{Latin1_To_UTF8(Key), Latin1_To_UTF8(Trim_Right_Controls(Parts.Value)),
                                   Latin1_To_UTF8(Trim_Left_Controls(Parts.Comment))});

      // Keyword actions: every card, so the last occurrence of a keyword wins. Numbers
      // always use a decimal point, as FITS writes them.
      const std::string& Value = Parts.Value;
      auto Number = [&Value]() { return Try_Str_To_Float(Value, '.'); };
      if (Key == "EXPOSURE") {
        Exposure = Number().value_or(0.0);
      } else if (Key == "JD") {
        JD = Number().value_or(0.0);
      } else if (Key == "AIRMASS") {
        AirMass = Number().value_or(1.0);
      } else if (Key == "DATE-OBS") {
        Date_Obs = Latin1_To_UTF8(Value);
      } else if (Key == "CD1_1" || Key == "CD1_2" || Key == "CD2_1" || Key == "CD2_2") {
        const size_t Element = (Key[2] == '1' ? 0 : 2) + (Key[4] == '1' ? 0 : 1);
        bool* const Flags[4] = {&CD1_1_found, &CD1_2_found, &CD2_1_found, &CD2_2_found};
        const auto N = Number();
        WCS1.cd[Element] = N.value_or(0.0);
        if (N)
          *Flags[Element] = true;
      } else if (Key == "CRPIX1") {
        const auto N = Number();
        WCS1.crpix[0] = WCS1.xrefpix = N ? *N - Crpix_Offset : 0.0;
        if (N)
          CRPIX1_found = true;
      } else if (Key == "CRPIX2") {
        const auto N = Number();
        WCS1.crpix[1] = WCS1.yrefpix = N ? *N - Crpix_Offset : 0.0;
        if (N)
          CRPIX2_found = true;
      } else if (Key == "CRVAL1") {
        const auto N = Number();
        WCS1.crval[0] = N.value_or(0.0);
        if (N)
          CRVAL1_found = true;
      } else if (Key == "CRVAL2") {
        const auto N = Number();
        WCS1.crval[1] = N.value_or(0.0);
        if (N)
          CRVAL2_found = true;
      } else if (Key == "CDELT1") {
        WCS1.cdelt[0] = Number().value_or(0.0);
      } else if (Key == "CDELT2") {
        WCS1.cdelt[1] = Number().value_or(0.0);
      } else if (Key == "LONPOLE") {
        WCS1.longpole = Number().value_or(180.0);
      } else if (Key == "FILTER") {
        if (Value.size() < 2)
          throw Abandon("FILTER value '" + Latin1_To_UTF8(Value) + "' is too short to give a filter letter");
        Image_Filter_Letter = Value[1];
      }
    }
  }

  try {
    Decide_Plate_Solved();
  } catch (const TKorvane_Error& Error) {
    throw Abandon(Error.what());
  }

  // Mandatory keywords by position: findings only, in this order.
  if (Cards[0].Key != "SIMPLE")
    Messages.Show("SIMPLE keyword not found!");
  else if (Cards[0].Value != "T")
    Messages.Show("Not a simple FITs Format!");
  if (Cards[1].Key != "BITPIX") {
    Messages.Show("BITPIX keyword not found!");
  } else {
    const auto Bits = Try_Str_To_Int(Cards[1].Value, -32768, 32767);
    if (!Bits)
      throw Abandon("BITPIX value '" + Cards[1].Value + "' is not an integer in -32768..32767");
    BitPix = static_cast<int16_t>(*Bits);
  }
  if (BitPix != 16)
    Messages.Show("Not a 16 bit image!");
  if (Cards[2].Key != "NAXIS") {
    Messages.Show("NAXIS keyword not found!");
  } else {
    const auto Axes = Try_Str_To_Int(Cards[2].Value);
    if (!Axes)
      throw Abandon("NAXIS value '" + Cards[2].Value + "' is not an integer");
    if (*Axes != 2)
      Messages.Show("Not a 2 dimensional image!");
  }
  // Data of another sample size would be read as garbage.
  if (BitPix != 16)
    throw Abandon(Cards[1].Key == "BITPIX" ? "BITPIX " + std::to_string(BitPix) +
                                                 " is not supported; only 16-bit images can be read"
                                           : "no BITPIX keyword; only 16-bit images can be read");

  // Keywords by search, first occurrence from index 3 on.
  auto Find = [this](std::string_view Key) -> const std::string* {
    const THeader_Card* Card = Find_Card(Key, 3);
    return Card != nullptr ? &Card->Value : nullptr;
  };
  auto Size_Value = [&](std::string_view Key) -> uint16_t {
    const std::string* Text = Find(Key);
    if (!Text)
      return 0;
    const auto Size = Try_Str_To_Int(*Text, 0, 65535);
    if (!Size)
      throw Abandon(std::string(Key) + " value '" + *Text + "' is not an integer in 0..65535");
    return static_cast<uint16_t>(*Size);
  };
  XSize = Size_Value("NAXIS1");
  YSize = Size_Value("NAXIS2");
  uint16_t Zero_Offset = 0;
  if (const std::string* Text = Find("BZERO")) {
    const auto Zero = Try_Str_To_Float(*Text, '.');
    if (!Zero)
      throw Abandon("BZERO value '" + *Text + "' is not a number");
    const double Offset = std::trunc(*Zero + 0.5);
    // Checked before rounding: -1 would round to -0, which passes.
    if (!(*Zero >= 0.0 && Offset <= 65535.0))
      throw Abandon("BZERO " + *Text + " is outside the supported range 0..65535");
    Zero_Offset = static_cast<uint16_t>(Offset);
  }
  double Scale = 1.0;
  if (const std::string* Text = Find("BSCALE")) {
    const auto Value = Try_Str_To_Float(*Text, '.');
    if (!Value)
      throw Abandon("BSCALE value '" + *Text + "' is not a number");
    Scale = *Value;
  }
  if (Scale != 1.0)
    Messages.Show("BScale <> 1.0 not supported!");

  // Data: refuse before allocating when the file cannot hold the rows the header promises.
  const uint64_t Data_Start = static_cast<uint64_t>(Cards.size()) * Card_Length;
  const uint64_t Row_Bytes = uint64_t{2} * XSize;
  const uint64_t Data_Bytes = Row_Bytes * YSize;
  if (File.Size() < Data_Start || File.Size() - Data_Start < Data_Bytes)
    throw Abandon("file ends inside the data (" + std::to_string(XSize) + " x " + std::to_string(YSize) +
                  " pixels need " + std::to_string(Data_Bytes) + " bytes, the file holds " +
                  std::to_string(File.Size() > Data_Start ? File.Size() - Data_Start : 0) + ")");
  return TData_Layout{Data_Start, Zero_Offset};
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

namespace {

constexpr size_t Huge_Page = size_t{2} << 20;
// Below this a block is an ordinary allocation.
constexpr size_t Large_Block = size_t{4} << 20;

size_t Huge_Pages_Size(size_t Bytes) {
  return (Bytes + Huge_Page - 1) / Huge_Page * Huge_Page;
}

} // namespace

void* Allocate_Large_Block(size_t Bytes) {
  if (Bytes < Large_Block)
    return ::operator new(Bytes);
  void* Block = std::aligned_alloc(Huge_Page, Huge_Pages_Size(Bytes));
  if (Block == nullptr)
    throw std::bad_alloc();
  // A hint only: without huge pages the block is used as it is.
  ::madvise(Block, Huge_Pages_Size(Bytes), MADV_HUGEPAGE);
  return Block;
}

void Free_Large_Block(void* Block, size_t Bytes) noexcept {
  if (Bytes < Large_Block)
    ::operator delete(Block);
  else
    std::free(Block);
}
