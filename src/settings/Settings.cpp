#include "settings/Settings.h"

#include "text/Input_File.h"
#include "text/Messages.h"
#include "text/Number_Format.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A real settings file is a few hundred bytes. Only its first 20 lines are used, so a huge
// or endless file is read no further than this; a file whose values do not fit in it is
// damaged and is reported as such.
constexpr size_t Settings_Read_Limit = 1024 * 1024;

const char* const Damaged_Text = "Invalid numeric input";

// Sequential reader over the file's text, in the manner of a text file read with
// read-number / read-line calls.
class TSettings_Reader {
public:
  TSettings_Reader(std::string_view Content, bool Cut, const std::string& Path)
      : Text(Content), Cut_Off(Cut), File_Path(Path) {}

  // Moves to the start of the next line (past the next LF), or to the end.
  void Skip_Line() {
    while (!At_End()) {
      if (Text[Pos++] == '\n')
        return;
    }
  }

  // The rest of the current line without its line end (LF, or CR LF); moves past it.
  std::string Read_Line() {
    const size_t Begin = Pos;
    Skip_Line();
    size_t End = Pos;
    if (End > Begin && Text[End - 1] == '\n')
      --End;
    if (End > Begin && Text[End - 1] == '\r')
      --End;
    return std::string(Text.substr(Begin, End - Begin));
  }

  // Passes over blanks, tabs and line ends and takes the following run of characters above
  // the blank, at most Max_Length of them. Nothing (std::nullopt) at the end of the text.
  std::optional<std::string_view> Read_Number_Text(size_t Max_Length) {
    while (!At_End() && (Text[Pos] == ' ' || Text[Pos] == '\t' || Text[Pos] == '\r' || Text[Pos] == '\n'))
      ++Pos;
    if (At_End())
      return std::nullopt;
    const size_t Begin = Pos;
    while (Pos - Begin < Max_Length && !At_End() && static_cast<unsigned char>(Text[Pos]) > ' ')
      ++Pos;
    return Text.substr(Begin, Pos - Begin);
  }

  // An integer line: the number, 0 at the end of the text; then on to the next line.
  long long Read_Integer_Line(long long Min, long long Max) {
    // Try_Str_To_Int allows leading blanks; the run never starts with one.
    return Read_Number_Line<long long>(32, [&](std::string_view Word) { return Try_Str_To_Int(Word, Min, Max); });
  }

  double Read_Real_Line() {
    return Read_Number_Line<double>(64, [](std::string_view Word) { return Try_Str_To_Float(Word, '.'); });
  }

  bool Read_Boolean_Line() {
    const std::string Line = Read_Line();
    return !Line.empty() && Line[0] == 'T';
  }

private:
  // A number line: the first run of at most Max_Length characters as To_Number converts
  // it, 0 at the end of the text; then on to the next line. A run it refuses means a
  // damaged file.
  template <typename T, typename Convert> T Read_Number_Line(size_t Max_Length, Convert To_Number) {
    const auto Number = Read_Number_Text(Max_Length);
    T Value = 0;
    if (Number) {
      const std::optional<T> Converted = To_Number(*Number);
      if (!Converted)
        throw TKorvane_Error(Damaged_Text);
      Value = *Converted;
    }
    Skip_Line();
    return Value;
  }

  bool At_End() const {
    if (Pos < Text.size())
      return false;
    if (Cut_Off)
      throw TKorvane_Error("The settings file " + File_Path + " is damaged: it is larger than " +
                           std::to_string(Settings_Read_Limit / (1024 * 1024)) +
                           " MiB and its values do not fit in the start of it");
    return true;
  }

  std::string_view Text;
  size_t Pos = 0;
  bool Cut_Off;
  const std::string& File_Path;
};

void Read_Settings_Text(std::string_view Content, TSettings& S, bool Cut, const std::string& Path) {
  TSettings_Reader R(Content, Cut, Path);
  R.Skip_Line();
  const auto Int32_Line = [&R] { return static_cast<int>(R.Read_Integer_Line(INT32_MIN, INT32_MAX)); };
  // Aperture sizes are read as 64-bit integers and keep their low 32 bits.
  const auto Low_32_Bits_Line = [&R] {
    return static_cast<uint32_t>(static_cast<unsigned long long>(R.Read_Integer_Line(INT64_MIN, INT64_MAX)));
  };
  S.Window.Top = Int32_Line();
  S.Window.Left = Int32_Line();
  S.Window.Width = Int32_Line();
  S.Window.Height = Int32_Line();
  S.Scale_Index = Int32_Line();
  if (S.Scale_Index < 0 || S.Scale_Index > 14)
    S.Scale_Index = 7; // the scale list has 15 entries; "1:1" stands in for anything else
  S.Radius = Low_32_Bits_Line();
  S.Annulus = Low_32_Bits_Line();
  S.Gap = Low_32_Bits_Line();
  S.DataFileName = R.Read_Line();
  S.Readout_Noise = R.Read_Real_Line();
  S.Dark_Current = R.Read_Real_Line();
  S.Gain = R.Read_Real_Line();
  S.degC = R.Read_Real_Line();
  S.Max_Error = R.Read_Real_Line();
  S.ReportFileDir = R.Read_Line();
  S.AAVSO_ObsCode = R.Read_Line();
  S.Notes = R.Read_Line();
  S.Snap_to_Centre = R.Read_Boolean_Line();
  S.Show_Annulus = R.Read_Boolean_Line();
}

// A text setting is one line of the file: a line feed inside it would split the line and
// shift every later value, so it is written as a blank.
std::string One_Line(const std::string& Text) {
  std::string Line = Text;
  for (char& c : Line)
    if (c == '\n')
      c = ' ';
  return Line;
}

bool Write_All(int Fd, const std::string& Data) {
  size_t Done = 0;
  while (Done < Data.size()) {
    const ssize_t N = ::write(Fd, Data.data() + Done, Data.size() - Done);
    if (N < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    Done += static_cast<size_t>(N);
  }
  return true;
}

std::string Folder_Of(const std::string& Path) {
  const size_t Slash = Path.rfind('/');
  if (Slash == std::string::npos)
    return ".";
  if (Slash == 0)
    return "/";
  return Path.substr(0, Slash);
}

} // namespace

TSettings Initial_Settings() {
  TSettings S;
  // The window's designed place and size; the core knows no frame, so the client size
  // stands in for the outer size.
  S.Window.Left = 7;
  S.Window.Top = 123;
  S.Window.Width = 1310;
  S.Window.Height = 695;
  return S;
}

TSettings Default_Settings(const std::string& Home) {
  TSettings S;
  S.Window = {100, 100, 100, 100};
  S.Scale_Index = 7;
  S.Radius = 12;
  S.Annulus = 3;
  S.Gap = 3;
  S.DataFileName = (!Home.empty() && Home.back() == '/' ? Home : Home + "/") + "data.csv";
  S.Max_Error = 1.0;
  S.ReportFileDir = "/tmp";
  S.Notes = "na";
  return S;
}

std::string Settings_File_Path(const std::string& Xdg_Config_Home, const std::string& Home) {
  // A relative XDG_CONFIG_HOME is invalid and is ignored like an unset one.
  if (!Xdg_Config_Home.empty() && Xdg_Config_Home.front() == '/')
    return Xdg_Config_Home + "/korvane.ini";
  return Home + "/.config/korvane.ini";
}

void Read_Settings(std::string_view Content, TSettings& S) {
  Read_Settings_Text(Content, S, false, std::string());
}

std::string Settings_Text(const TSettings& S) {
  std::string Out;
  auto Line = [&Out](const std::string& Text) {
    Out += Text;
    Out += "\r\n";
  };
  Line("[Korvane]");
  Line(Format_Integer(S.Window.Top));
  Line(Format_Integer(S.Window.Left));
  Line(Format_Integer(S.Window.Width));
  Line(Format_Integer(S.Window.Height));
  Line(Format_Integer(S.Scale_Index));
  Line(Format_Integer(S.Radius));
  Line(Format_Integer(S.Annulus));
  Line(Format_Integer(S.Gap));
  Line(One_Line(S.DataFileName));
  Line(Format_Settings_Real(S.Readout_Noise));
  Line(Format_Settings_Real(S.Dark_Current));
  Line(Format_Settings_Real(S.Gain));
  Line(Format_Settings_Real(S.degC));
  Line(Format_Settings_Real(S.Max_Error));
  Line(One_Line(S.ReportFileDir));
  Line(One_Line(S.AAVSO_ObsCode));
  Line(One_Line(S.Notes));
  Line(S.Snap_to_Centre ? "True" : "False");
  Line(S.Show_Annulus ? "True" : "False");
  return Out;
}

bool Write_Settings_File(const std::string& Path, const TSettings& S) {
  if (Path.empty())
    return false;
  const std::string Text = Settings_Text(S);
  // On a fresh account ~/.config may not exist yet: create it rather than lose the settings.
  {
    std::error_code Ignored;
    const std::string Folder = Folder_Of(Path);
    if (!Folder.empty() && !std::filesystem::exists(Folder, Ignored))
      std::filesystem::create_directories(Folder, Ignored);
  }
  std::string Temp = Path + ".tmp-XXXXXX";
  const int Fd = ::mkstemp(Temp.data());
  if (Fd < 0)
    return false;
  bool Ok = Write_All(Fd, Text) && ::fsync(Fd) == 0;
  Ok = ::close(Fd) == 0 && Ok;
  if (Ok)
    Ok = ::rename(Temp.c_str(), Path.c_str()) == 0;
  if (!Ok) {
    ::unlink(Temp.c_str());
    return false;
  }
  // Make the rename itself durable; the file is complete either way.
  const int Dir = ::open(Folder_Of(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Dir >= 0) {
    ::fsync(Dir);
    ::close(Dir);
  }
  return true;
}

bool Read_Settings_File(const std::string& Path, TSettings& S) {
  std::optional<TInput_File> File = TInput_File::Open_If_Exists(Path);
  if (!File)
    return false;
  // One byte beyond the limit tells whether the file goes on past it.
  std::string Content(Settings_Read_Limit + 1, '\0');
  Content.resize(File->Read(Content.data(), Content.size()));
  const bool Cut = Content.size() > Settings_Read_Limit;
  if (Cut)
    Content.resize(Settings_Read_Limit);
  Read_Settings_Text(Content, S, Cut, Path);
  return true;
}
