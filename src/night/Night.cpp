#include "night/Night.h"

#include "image/Result_Code.h"
#include "sky/Sky.h"
#include "text/Number_Format.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Csv_Field(const std::string& Text) {
  if (Text.find_first_of(",\"\r\n") == std::string::npos)
    return Text;
  std::string Out = "\"";
  for (const char C : Text)
    Out += C == '"' ? std::string("\"\"") : std::string(1, C);
  return Out + '"';
}

constexpr size_t Card_Bytes = 80;
constexpr size_t Record_Bytes = 2880;
// A header longer than this is not waited for: the stable size decides.
constexpr size_t Max_Header_Records = 1000;

// The whole number of a card "KEY     = value", or null.
std::optional<long long> Card_Integer(std::string_view Card) {
  if (Card.size() < 10 || Card.substr(8, 2) != "= ")
    return std::nullopt;
  const std::string Value(Card.substr(10, 20));
  char* End = nullptr;
  const long long Number = std::strtoll(Value.c_str(), &End, 10);
  if (End == Value.c_str())
    return std::nullopt;
  return Number;
}

std::string_view Card_Key(std::string_view Card) {
  std::string_view Key = Card.substr(0, 8);
  while (!Key.empty() && Key.back() == ' ')
    Key.remove_suffix(1);
  return Key;
}

} // namespace

TNight_Row Measure_Night_Frame(const std::string& Path, const TTarget_Catalogue& Catalogue,
                               const TSettings& Settings) {
  TGathered_Messages Messages;
  TNight_Row Row;
  Row.Result = Measure_File(Path, Catalogue, Settings, Messages,
                            TOpen_Options{Settings.Fits_Crpix, true, Settings.Image_Plane});
  // The cards are the header list's; a row keeps the results and the report's values only.
  Row.Result.Image.Cards = {};
  Row.Result.Image.Cards.shrink_to_fit();
  if (Row.Result.Failed)
    Row.Problems = Row.Result.Error;
  for (const auto& [Text, Count] : Messages.Texts)
    Row.Problems += (Row.Problems.empty() ? "" : "; ") + Text;
  return Row;
}

std::string Night_Column_Title(TNight_Column Column) {
  static constexpr std::array<const char*, Night_Column_Count> Titles = {
      "File", "UTC", "JD", "Target", "Mag", "Error", "State", "Filter", "Air Mass", "Problems"};
  return Titles[static_cast<size_t>(Column)];
}

std::string Night_Cell(const TNight_Row& Row, TNight_Column Column, double Max_Error, char Separator) {
  const TMeasure_Result& R = Row.Result;
  const TImage_Model& I = R.Image;
  const bool Timed = !R.Failed && !I.Time_From.empty();
  switch (Column) {
  case TNight_Column::File:
    return fs::path(R.File).filename().string();
  case TNight_Column::UTC:
    return Timed ? ISO_Date_Of(I.JD, ' ') : std::string();
  case TNight_Column::JD:
    return Timed ? Format_Fixed(I.JD, 1, 5, Separator) : std::string();
  case TNight_Column::Target:
    return R.Failed ? std::string() : I.ObjectName;
  case TNight_Column::Magnitude:
    return Is_Measured(R) ? Result_Text(I, Max_Error, Separator).Magnitude : std::string();
  case TNight_Column::Error:
    return Is_Measured(R) ? Result_Text(I, Max_Error, Separator).Error : std::string();
  case TNight_Column::State:
    return R.Failed ? std::string("Error") : State_Text(R);
  case TNight_Column::Filter:
    return R.Failed || I.Image_Filter_Letter == '\0' ? std::string() : std::string(1, I.Image_Filter_Letter);
  case TNight_Column::Air_Mass:
    return R.Failed || I.AirMass_From.empty() ? std::string() : Format_Fixed(I.AirMass, 1, 3, Separator);
  case TNight_Column::Problems:
    return Row.Problems;
  }
  return {};
}

std::optional<double> Night_Sort_Number(const TNight_Row& Row, TNight_Column Column) {
  const TMeasure_Result& R = Row.Result;
  if (R.Failed)
    return std::nullopt;
  switch (Column) {
  case TNight_Column::JD:
    return R.Image.Time_From.empty() ? std::nullopt : std::optional<double>(R.Image.JD);
  case TNight_Column::Magnitude:
    return Is_Measured(R) ? std::optional<double>(R.Image.Magnitude) : std::nullopt;
  case TNight_Column::Error:
    return Is_Measured(R) ? std::optional<double>(R.Image.Std_Error) : std::nullopt;
  case TNight_Column::Air_Mass:
    return R.Image.AirMass_From.empty() ? std::nullopt : std::optional<double>(R.Image.AirMass);
  default:
    return std::nullopt;
  }
}

bool Shows_Outburst(const TMeasure_Result& Result) {
  return Is_Measured(Result) && Result.Image.Outburst;
}

std::string Night_CSV(const std::vector<const TNight_Row*>& Rows, double Max_Error) {
  std::string Out;
  for (int c = 0; c < Night_Column_Count; ++c)
    Out += (c > 0 ? "," : "") + Night_Column_Title(static_cast<TNight_Column>(c));
  Out += '\n';
  for (const TNight_Row* Row : Rows) {
    for (int c = 0; c < Night_Column_Count; ++c) {
      const auto Column = static_cast<TNight_Column>(c);
      const std::string Text =
          Column == TNight_Column::File ? Row->Result.File : Night_Cell(*Row, Column, Max_Error, '.');
      Out += (c > 0 ? "," : "") + Csv_Field(Text);
    }
    Out += '\n';
  }
  return Out;
}

TOutburst_Notice Outburst_Notice(const TMeasure_Result& Result) {
  const TImage_Model& I = Result.Image;
  return {"Outburst: " + I.ObjectName,
          "mag " + Format_Fixed(I.Magnitude, 1, 3, '.') + " brighter than threshold " +
              Format_Fixed(I.Threshold, 1, 3, '.') + " in " + fs::path(Result.File).filename().string()};
}

bool Is_Fits_File_Name(std::string_view Name) {
  std::string Lower(Name);
  std::transform(Lower.begin(), Lower.end(), Lower.begin(),
                 [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; });
  return std::any_of(Fits_Name_Endings.begin(), Fits_Name_Endings.end(), [&Lower](std::string_view Ending) {
    return Lower.size() > Ending.size() &&
           Lower.compare(Lower.size() - Ending.size(), Ending.size(), Ending) == 0;
  });
}

std::vector<std::string> List_Frames(const std::string& Folder) {
  std::error_code Error;
  fs::directory_iterator It(Folder, Error);
  std::vector<std::string> Frames;
  for (; !Error && It != fs::directory_iterator(); It.increment(Error)) {
    std::error_code Ignored;
    if (Is_Fits_File_Name(It->path().filename().string()) && !It->is_directory(Ignored))
      Frames.push_back(It->path().string());
  }
  if (Error)
    throw TKorvane_Error(Folder + ": cannot read the folder: " + Error.message());
  std::sort(Frames.begin(), Frames.end());
  return Frames;
}

namespace {

// One header read from Handle's current position: its records up to END, and the data it
// announces (|BITPIX|/8 x GCOUNT x (PCOUNT + NAXIS1 x ... x NAXISn); a tile-compressed image
// counts its heap through PCOUNT). False when the file ends before END or the header goes on
// beyond Max_Header_Records; First says whether this is the file's first header.
struct THeader_Extent {
  uint64_t Header_Bytes = 0;
  uint64_t Data_Bytes = 0; // max: beyond any file
  bool Extend = false;     // EXTEND = T
  bool Gzip = false;       // the first bytes are a gzip stream
  bool Not_Fits = false;   // the first record does not begin with SIMPLE
};
bool Read_Header_Extent(int Handle, bool First, THeader_Extent& H) {
  std::string Record(Record_Bytes, ' ');
  int Bitpix = 0;
  long long Axes = -1;
  uint64_t Data = 1, Groups = 1, Parameters = 0;
  bool Overflow = false;
  const auto Times = [&Overflow](uint64_t& Product, long long Factor) {
    const auto Length = static_cast<uint64_t>(std::max(0LL, Factor));
    if (Length != 0 && Product > std::numeric_limits<uint64_t>::max() / 8 / Length)
      Overflow = true;
    else
      Product *= Length;
  };
  for (size_t r = 0; r < Max_Header_Records; ++r) {
    size_t Got = 0;
    while (Got < Record_Bytes) {
      const ssize_t Read = ::read(Handle, Record.data() + Got, Record_Bytes - Got);
      if (Read < 0 && errno == EINTR)
        continue;
      if (Read <= 0)
        break;
      Got += static_cast<size_t>(Read);
    }
    if (First && r == 0 && Got >= 2 && static_cast<unsigned char>(Record[0]) == 0x1f &&
        static_cast<unsigned char>(Record[1]) == 0x8b) {
      H.Gzip = true;
      return true;
    }
    if (First && r == 0 && Got == Record_Bytes && Record.compare(0, 6, "SIMPLE") != 0) {
      H.Not_Fits = true;
      return true;
    }
    for (size_t c = 0; c + Card_Bytes <= Got; c += Card_Bytes) {
      const std::string_view Card(Record.data() + c, Card_Bytes);
      const std::string_view Key = Card_Key(Card);
      if (Key == "END") {
        H.Header_Bytes = (r + 1) * Record_Bytes;
        constexpr uint64_t Limit = std::numeric_limits<uint64_t>::max() / 16;
        if (Overflow || Parameters > Limit || Data > Limit)
          H.Data_Bytes = std::numeric_limits<uint64_t>::max();
        else if (Axes <= 0 && Parameters == 0)
          H.Data_Bytes = 0;
        else {
          uint64_t Elements = (Axes <= 0 ? 0 : Data) + Parameters;
          Times(Elements, static_cast<long long>(Groups));
          H.Data_Bytes = Overflow ? std::numeric_limits<uint64_t>::max()
                                  : Elements * static_cast<uint64_t>(std::abs(Bitpix) / 8);
        }
        return true;
      }
      if (Key == "EXTEND" && Card.size() > 29 && Card.substr(8, 2) == "= ")
        H.Extend = Card[29] == 'T';
      const std::optional<long long> Number = Card_Integer(Card);
      if (!Number)
        continue;
      if (Key == "BITPIX")
        Bitpix = static_cast<int>(*Number);
      else if (Key == "NAXIS")
        Axes = *Number;
      else if (Key == "PCOUNT")
        Parameters = static_cast<uint64_t>(std::max(0LL, *Number));
      else if (Key == "GCOUNT")
        Groups = static_cast<uint64_t>(std::max(1LL, *Number));
      else if (Key.size() > 5 && Key.substr(0, 5) == "NAXIS")
        Times(Data, *Number);
    }
    if (Got < Record_Bytes)
      return false; // the header is still being written
  }
  H.Not_Fits = true; // no END where a header can end: left to the reader
  return true;
}

} // namespace

TFrame_Extent Read_Frame_Extent(const std::string& Path) {
  TFrame_Extent Extent;
  // Opened without waiting, so that a pipe named like a frame cannot hold the caller; anything
  // but a regular file is left to the reader to refuse.
  const int Handle = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (Handle < 0)
    return Extent;
  const struct TClose {
    int Handle;
    ~TClose() { ::close(Handle); }
  } Closer{Handle};
  struct stat Status {};
  if (::fstat(Handle, &Status) != 0 || !S_ISREG(Status.st_mode)) {
    Extent.Size_Only = true;
    return Extent;
  }
  THeader_Extent Primary;
  if (!Read_Header_Extent(Handle, true, Primary))
    return Extent;
  if (Primary.Gzip || Primary.Not_Fits) {
    Extent.Size_Only = true;
    return Extent;
  }
  Extent.Header_Ended = true;
  Extent.Header_Bytes = Primary.Header_Bytes;
  Extent.Data_Bytes = Primary.Data_Bytes;
  // A primary header without data that announces extensions: the image (or a compressed
  // image's table) is the next one, which directly follows and must be whole too.
  if (Primary.Data_Bytes == 0 && Primary.Extend) {
    THeader_Extent Image;
    if (!Read_Header_Extent(Handle, false, Image) || Image.Not_Fits) {
      Extent.Header_Ended = Image.Not_Fits;
      return Extent;
    }
    Extent.Header_Bytes += Image.Header_Bytes;
    Extent.Data_Bytes = Image.Data_Bytes;
  }
  return Extent;
}

bool Frame_Complete(const TFrame_Extent& Extent, uint64_t File_Size) {
  if (Extent.Size_Only)
    return true;
  if (!Extent.Header_Ended || Extent.Data_Bytes == std::numeric_limits<uint64_t>::max())
    return false;
  return File_Size >= Extent.Header_Bytes + Extent.Data_Bytes;
}
