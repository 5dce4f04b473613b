#include "settings/Settings.h"

#include "text/Input_File.h"
#include "text/Messages.h"
#include "text/Number_Format.h"
#include "text/Output_File.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

namespace {

// A real settings file is a few hundred bytes. Only its first 21 lines are used, so a huge
// or endless file is read no further than this; a file whose values do not fit in it, or
// that is damaged, is not used at all.
constexpr size_t Settings_Read_Limit = 1024 * 1024;

// Sequential reader over the file's text, in the manner of a text file read with
// read-number / read-line calls. Each read stores into its setting or, when the value is
// damaged or missing, leaves the setting alone and notes the line in Damage.
class TSettings_Reader {
public:
  TSettings_Reader(std::string_view Content, bool Cut, const std::string& Path,
                   std::vector<TSettings_Damage>& Found)
      : Text(Content), Cut_Off(Cut), File_Path(Path), Damage(Found) {}

  // Moves to the start of the next line (past the next LF), or to the end.
  void Skip_Line() {
    while (!At_End()) {
      if (Text[Pos++] == '\n') {
        ++Line;
        return;
      }
    }
  }

  // A whole line, without its line end, for the setting of file line Nominal_Line.
  void Text_Line(std::string& Field, int Nominal_Line, const char* Name) {
    if (At_End())
      return Note_Missing(Nominal_Line, Name);
    Read_From = Line;
    Field = Read_Line();
  }

  // True when the line begins with a capital T ("True", "T"), false for anything else.
  void Boolean_Line(bool& Field, int Nominal_Line, const char* Name) {
    if (At_End())
      return Note_Missing(Nominal_Line, Name);
    Read_From = Line;
    const std::string Line_Text = Read_Line();
    Field = !Line_Text.empty() && Line_Text[0] == 'T';
  }

  // A Boolean line added after the others: files written before it end with the line
  // before. Only the first character counts, so nothing beyond it is read.
  void Last_Boolean_Line(bool& Field, int Nominal_Line, const char* Name) {
    if (Ends_Before(Nominal_Line, Name))
      return;
    Read_From = Line;
    Field = Text[Pos] == 'T';
    // On to the next line when the text holds one; the rest of this one is not read.
    if (const size_t End = Text.find('\n', Pos); End != std::string_view::npos) {
      Pos = End + 1;
      ++Line;
    } else {
      Pos = Text.size();
    }
  }

  // Number lines added after the first twenty, as Last_Boolean_Line.
  void Last_Real_Line(double& Field, int Nominal_Line, const char* Name) {
    if (!Ends_Before(Nominal_Line, Name))
      Real_Line(Field, Nominal_Line, Name);
  }

  void Last_Unsigned_Line(uint32_t& Field, int Nominal_Line, const char* Name, uint32_t Least) {
    if (!Ends_Before(Nominal_Line, Name))
      Number_Line(Field, Nominal_Line, Name, 32,
                  [Least](std::string_view Word) { return Try_Str_To_Int(Word, Least, UINT32_MAX); });
  }

  void Integer_Line(int& Field, int Nominal_Line, const char* Name) {
    Number_Line(Field, Nominal_Line, Name, 32,
                [](std::string_view Word) { return Try_Str_To_Int(Word, INT32_MIN, INT32_MAX); });
  }

  void Unsigned_Line(uint32_t& Field, int Nominal_Line, const char* Name) {
    Number_Line(Field, Nominal_Line, Name, 32,
                [](std::string_view Word) { return Try_Str_To_Int(Word, 0, UINT32_MAX); });
  }

  void Real_Line(double& Field, int Nominal_Line, const char* Name) {
    Number_Line(Field, Nominal_Line, Name, 64,
                [](std::string_view Word) { return Try_Str_To_Float(Word, '.'); });
  }

private:
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

  // A number line: passes over blanks, tabs and line ends (a blank line where a number
  // stands shifts the later lines) and converts the following run of at most Max_Length
  // characters above the blank; then on to the next line.
  template <typename T, typename Convert>
  void Number_Line(T& Field, int Nominal_Line, const char* Name, size_t Max_Length, Convert To_Number) {
    while (!At_End() && (Text[Pos] == ' ' || Text[Pos] == '\t' || Text[Pos] == '\r' || Text[Pos] == '\n'))
      if (Text[Pos++] == '\n')
        ++Line;
    if (At_End())
      return Note_Missing(Nominal_Line, Name);
    Read_From = Line;
    const size_t Begin = Pos;
    while (Pos - Begin < Max_Length && !At_End() && static_cast<unsigned char>(Text[Pos]) > ' ')
      ++Pos;
    const std::string_view Word = Text.substr(Begin, Pos - Begin);
    if (const auto Value = To_Number(Word))
      Field = static_cast<T>(*Value);
    else
      Damage.push_back({Line, Name, std::string(Word), false});
    Skip_Line();
  }

  // True when nothing but blanks is left before the line of a setting added after the
  // first twenty. A file that ended so right after the line before, or at an earlier such
  // line, is whole and the setting keeps its value; one that ends here because a blank line
  // shifted the values is short, as for any other line.
  bool Ends_Before(int Nominal_Line, const char* Name) {
    if (Text.find_first_not_of(" \t\r\n", Pos) != std::string_view::npos)
      return false;
    if (Cut_Off) {
      Pos = Text.size();
      At_End(); // blanks up to the read limit: the values do not fit in it
    }
    if (Ended_Whole || Read_From == Nominal_Line - 1)
      Ended_Whole = true;
    else
      Note_Missing(Nominal_Line, Name);
    return true;
  }

  // The file ends before this setting's line; noted once, for the first missing line.
  void Note_Missing(int Nominal_Line, const char* Name) {
    if (Damage.empty() || !Damage.back().Missing)
      Damage.push_back({Nominal_Line, Name, std::string(), true});
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
  bool Ended_Whole = false; // the file ended, whole, before an optional last line
  size_t Pos = 0;
  int Line = 1;      // 1-based line of Pos
  int Read_From = 1; // the line the last value was read from
  bool Cut_Off;
  const std::string& File_Path;
  std::vector<TSettings_Damage>& Damage;
};

std::vector<TSettings_Damage> Read_Settings_Text(std::string_view Content, TSettings& S, bool Cut,
                                                 const std::string& Path) {
  std::vector<TSettings_Damage> Damage;
  TSettings_Reader R(Content, Cut, Path, Damage);
  R.Skip_Line();
  R.Integer_Line(S.Window.Top, 2, "Top");
  R.Integer_Line(S.Window.Left, 3, "Left");
  R.Integer_Line(S.Window.Width, 4, "Width");
  R.Integer_Line(S.Window.Height, 5, "Height");
  R.Integer_Line(S.Scale_Index, 6, "Scale_Index");
  if (S.Scale_Index < Smallest_Scale_Index || S.Scale_Index > Largest_Scale_Index)
    S.Scale_Index = Unit_Scale_Index; // "1:1" stands in for anything outside the list
  R.Unsigned_Line(S.Radius, 7, "Radius");
  R.Unsigned_Line(S.Annulus, 8, "Annulus");
  R.Unsigned_Line(S.Gap, 9, "Gap");
  R.Text_Line(S.DataFileName, 10, "DataFileName");
  R.Real_Line(S.Readout_Noise, 11, "Readout_Noise");
  R.Real_Line(S.Dark_Current, 12, "Dark_Current");
  R.Real_Line(S.Gain, 13, "Gain");
  R.Real_Line(S.degC, 14, "degC");
  R.Real_Line(S.Max_Error, 15, "Max_Error");
  R.Text_Line(S.ReportFileDir, 16, "ReportFileDir");
  R.Text_Line(S.AAVSO_ObsCode, 17, "AAVSO_ObsCode");
  R.Text_Line(S.Notes, 18, "Notes");
  R.Boolean_Line(S.Snap_to_Centre, 19, "Snap_to_Centre");
  R.Boolean_Line(S.Show_Annulus, 20, "Show_Annulus");
  R.Last_Boolean_Line(S.Fits_Crpix, 21, "Fits_Crpix");
  R.Last_Real_Line(S.Saturation_Level, 22, "Saturation_Level");
  R.Last_Boolean_Line(S.Solve_On_Open, 23, "Solve_On_Open");
  R.Last_Unsigned_Line(S.Image_Plane, 24, "Image_Plane", 1);
  R.Last_Boolean_Line(S.Notify_Outburst, 25, "Notify_Outburst");
  if (!(S.Saturation_Level >= 0.0) || !std::isfinite(S.Saturation_Level))
    S.Saturation_Level = 0.0; // a level below 0 means nothing: the stored type's largest value
  return Damage;
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

// Reads the settings file at Path into S as Read_Settings_File does, and its bytes into
// Content. False when there is no such file.
bool Read_Into(const std::string& Path, TSettings& S, std::vector<TSettings_Damage>& Damage,
               std::string& Content) {
  std::optional<TInput_File> File = TInput_File::Open_If_Exists(Path);
  if (!File)
    return false;
  // One byte beyond the limit tells whether the file goes on past it.
  Content.assign(Settings_Read_Limit + 1, '\0');
  Content.resize(File->Read(Content.data(), Content.size()));
  const bool Cut = Content.size() > Settings_Read_Limit;
  if (Cut)
    Content.resize(Settings_Read_Limit);
  TSettings Read = S;
  Damage = Read_Settings_Text(Content, Read, Cut, Path);
  // A damaged file is kept whole before it is overwritten; one this large is not read at all.
  if (Cut && !Damage.empty())
    throw TKorvane_Error("The settings file " + Path + " is damaged and larger than " +
                         std::to_string(Settings_Read_Limit / (1024 * 1024)) + " MiB");
  S = std::move(Read);
  return true;
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

std::string Setting_Value_Problem(std::string_view Name, double Value) {
  const std::string Setting(Name);
  if (!std::isfinite(Value))
    return Setting + " must be a finite number";
  if ((Name == "Gain" || Name == "Max_Error") && !(Value > 0.0))
    return Setting + " must be more than 0";
  if ((Name == "Readout_Noise" || Name == "Dark_Current") && Value < 0.0)
    return Setting + " must be 0 or more";
  return {};
}

std::string In_Home(const std::string& Home, std::string_view Name) {
  return (!Home.empty() && Home.back() == '/' ? Home : Home + "/") + std::string(Name);
}

std::string Xdg_Base_Folder(const std::string& Xdg_Value, const std::string& Home,
                            std::string_view Fallback) {
  // A relative XDG path is invalid and is ignored like an unset one.
  if (!Xdg_Value.empty() && Xdg_Value.front() == '/')
    return Xdg_Value;
  return In_Home(Home, Fallback);
}

std::string Default_Report_Folder(const std::string& Xdg_Data_Home, const std::string& Home) {
  return Xdg_Base_Folder(Xdg_Data_Home, Home, ".local/share") + "/korvane/reports";
}

TSettings Default_Settings(const std::string& Home, const std::string& Xdg_Data_Home) {
  TSettings S;
  S.Window = {100, 100, 100, 100};
  S.Scale_Index = Unit_Scale_Index;
  S.Radius = 12;
  S.Annulus = 3;
  S.Gap = 3;
  S.DataFileName = In_Home(Home, "data.csv");
  S.Max_Error = 1.0;
  S.ReportFileDir = Default_Report_Folder(Xdg_Data_Home, Home);
  S.Notes = "na";
  return S;
}

std::string Settings_File_Path(const std::string& Xdg_Config_Home, const std::string& Home) {
  return Xdg_Base_Folder(Xdg_Config_Home, Home, ".config") + "/korvane.ini";
}

std::string Damage_Text(const TSettings_Damage& Damage) {
  const std::string Where = "line " + std::to_string(Damage.Line) + " (" + Damage.Setting + "): ";
  if (Damage.Missing)
    return Where + "missing, the file ends before it";
  return Where + "'" + Damage.Text + "' is not a valid value";
}

std::vector<TSettings_Damage> Read_Settings(std::string_view Content, TSettings& S) {
  return Read_Settings_Text(Content, S, false, std::string());
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
  Line(S.Fits_Crpix ? "True" : "False");
  Line(Format_Settings_Real(S.Saturation_Level));
  Line(S.Solve_On_Open ? "True" : "False");
  Line(Format_Integer(S.Image_Plane));
  Line(S.Notify_Outburst ? "True" : "False");
  return Out;
}

bool Write_Settings_File(const std::string& Path, const TSettings& S) {
  try {
    Write_File_Through_Link(Path, Settings_Text(S), true);
    return true;
  } catch (const TKorvane_Error&) {
    return false;
  }
}

std::optional<std::vector<TSettings_Damage>> Read_Settings_File(const std::string& Path, TSettings& S) {
  std::vector<TSettings_Damage> Damage;
  std::string Content;
  if (!Read_Into(Path, S, Damage, Content))
    return std::nullopt;
  return Damage;
}

TSettings_File_State Load_Settings_File(const std::string& Path, TSettings& S) {
  using TKind = TSettings_File_State::TKind;
  TSettings_File_State State;
  try {
    if (Read_Into(Path, S, State.Damage, State.Content))
      State.Kind = State.Damage.empty() ? TKind::Good : TKind::Damaged;
  } catch (const std::exception& Error) {
    State.Kind = TKind::Unreadable;
    State.Damage.clear();
    State.Error = Error.what();
  }
  // The buffer was sized for the read limit; only a damaged file's bytes are kept.
  if (State.Kind == TKind::Damaged)
    State.Content.shrink_to_fit();
  else
    State.Content = std::string();
  return State;
}

void Save_Settings_File(const std::string& Path, TSettings_File_State& State, const TSettings& S) {
  using TKind = TSettings_File_State::TKind;
  if (State.Kind == TKind::Unreadable)
    return;
  try {
    if (State.Kind == TKind::Damaged)
      Write_File_Whole(Path + ".damaged", State.Content, true);
    Write_File_Through_Link(Path, Settings_Text(S), true);
  } catch (const TKorvane_Error& Error) {
    throw TKorvane_Error(std::string("The settings were not saved: ") + Error.what());
  }
  State = TSettings_File_State();
  State.Kind = TKind::Good;
}
