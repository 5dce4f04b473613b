#pragma once
// The settings model and the 25-line korvane.ini file.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TWindow_Geometry {
  int Top = 0;
  int Left = 0;
  int Width = 0; // outer size, screen pixels
  int Height = 0;
};

// The scale list: "1:8" .. "1:1" .. "8:1". Index Unit_Scale_Index shows one image pixel per
// screen pixel; an index i below it shows 1 : (8 - i), one above it (i - 6) : 1.
constexpr int32_t Smallest_Scale_Index = 0;
constexpr int32_t Unit_Scale_Index = 7;
constexpr int32_t Largest_Scale_Index = 14;
constexpr int32_t Scale_Count = Largest_Scale_Index + 1;

struct TSettings {
  TWindow_Geometry Window;
  int Scale_Index = 0;
  uint32_t Radius = 0;
  uint32_t Annulus = 0;
  uint32_t Gap = 0;
  std::string DataFileName;
  double Readout_Noise = 0.0;
  double Dark_Current = 0.0;
  double Gain = 0.0;
  double degC = 0.0;
  double Max_Error = 0.0;
  std::string ReportFileDir;
  std::string AAVSO_ObsCode;
  std::string Notes;
  bool Snap_to_Centre = false;
  bool Show_Annulus = false;
  // CRPIX counts pixels from 1, as the FITS standard and plate solvers have it; off, it is
  // taken in the program's 0-based convention.
  bool Fits_Crpix = false;
  // The level at or above which a pixel is saturated, ADU, for images without a SATURATE or
  // DATAMAX card; 0 takes the largest value the stored pixels can hold.
  double Saturation_Level = 0.0;
  // An image that is not plate-solved is solved when it is opened (the window, D-Bus).
  bool Solve_On_Open = false;
  // The plane of a three-dimensional image (a colour frame, a cube) that is measured, from 1.
  uint32_t Image_Plane = 1;
  // A desktop notification is sent when a watched frame shows an outburst.
  bool Notify_Outburst = false;
};

// The state before any settings are applied: the designed window geometry (left 7, top 123,
// client area 1310 x 695) and every field zero, false or empty.
TSettings Initial_Settings();

// The defaults used when no settings file exists. Home is the user's home folder; the
// target file defaults to Home/data.csv and the report folder to Default_Report_Folder.
TSettings Default_Settings(const std::string& Home, const std::string& Xdg_Data_Home = {});

// Name inside the user's home folder Home (which may end in "/").
std::string In_Home(const std::string& Home, std::string_view Name);

// A base folder of the user's (XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME): Xdg_Value when
// it is an absolute path, else Fallback (".config", ".local/share", ".cache") in Home.
std::string Xdg_Base_Folder(const std::string& Xdg_Value, const std::string& Home, std::string_view Fallback);

// The report folder of new settings: $XDG_DATA_HOME/korvane/reports, or
// Home/.local/share/korvane/reports when XDG_DATA_HOME is unset, empty or relative. It is the
// user's own folder, where no other user can plant a link at a report's name; the report
// writer makes it on first use.
std::string Default_Report_Folder(const std::string& Xdg_Data_Home, const std::string& Home);

// Why Value cannot be the camera setting or Max_Error called Name ("Gain", "degC", ...), by
// the rules a measurement checks: Gain and Max_Error above 0, Readout_Noise and Dark_Current
// 0 or more, every one a finite number. Empty when it can; a setting without a range (any
// other name) takes any finite number.
std::string Setting_Value_Problem(std::string_view Name, double Value);

// Path of the settings file: $XDG_CONFIG_HOME/korvane.ini, or Home/.config/korvane.ini when
// XDG_CONFIG_HOME is unset, empty or relative. Xdg_Config_Home and Home are passed in (the process
// environment is read by the caller).
std::string Settings_File_Path(const std::string& Xdg_Config_Home, const std::string& Home);

// A line of the settings file whose value could not be taken. Its setting keeps the value it
// held before the reading (the default).
struct TSettings_Damage {
  int Line = 0;         // 1-based line of the file
  std::string Setting;  // the setting's name, as the field is named in TSettings
  std::string Text;     // the text found there
  bool Missing = false; // the file ends before this line: this setting and the later ones are missing
};

// One line of text for a damaged line: "line 7 (Radius): 'abc' is not a valid value", or for
// a short file "line 13 (Gain): missing, the file ends before it".
std::string Damage_Text(const TSettings_Damage& Damage);

// Reads the content of a settings file into S, line by line in the file's fixed order. S
// holds the defaults on entry. A value that does not convert or lies outside its setting's
// range (a negative aperture size, a window top beyond 32 bits) leaves its setting as S held
// it, and the reading goes on with the next line; so do the lines a short file lacks. A
// Scale_Index outside 0..14 becomes 7. Returns the damaged lines in file order; a file that
// ends early gives one entry for its first missing line. A file of the 20 lines written
// before Fits_Crpix existed (line 21) is whole: Fits_Crpix keeps its default. When the file
// ends after 20 lines only because a blank line shifted the values, line 21 counts as missing.
// Likewise a file of 21 to 24 lines, written before a later line existed, is whole: each
// later setting keeps its default.
std::vector<TSettings_Damage> Read_Settings(std::string_view Content, TSettings& S);

// The 25 lines of the settings file, each ending with CR LF.
std::string Settings_Text(const TSettings& S);

// Writes the settings file whole or not at all: a temporary file is written, flushed and
// renamed over the file. A symbolic link at Path is followed: the file it names is replaced
// (the temporary file lies in that file's folder) and the link stays. The file keeps its
// permission bits; a new one gets 0644 less the umask. Returns false (and leaves any old
// file as it was, with no temporary file) when the file cannot be written.
bool Write_Settings_File(const std::string& Path, const TSettings& S);

// Reads the settings file at Path into S (which holds the defaults) as Read_Settings does.
// Returns nothing when there is no such file, else the damaged lines. Throws TKorvane_Error
// naming the file when it cannot be opened or read, or is not a regular file; S is then
// unchanged. At most the first MiB of the file is read: a larger file must hold its 25
// lines undamaged in it, else it counts as unreadable.
std::optional<std::vector<TSettings_Damage>> Read_Settings_File(const std::string& Path, TSettings& S);

// The settings file as the program found it at start, which decides how it is written at the end.
struct TSettings_File_State {
  enum class TKind {
    Missing,   // no file: it is created
    Good,      // read whole: it is replaced
    Damaged,   // read with damaged lines: a copy is kept before it is replaced
    Unreadable // not read (permission, not a regular file, read error): left alone
  };
  TKind Kind = TKind::Missing;
  std::vector<TSettings_Damage> Damage; // Damaged: its damaged lines
  std::string Content;                  // Damaged: the bytes read, kept as the copy
  std::string Error;                    // Unreadable: why, naming the file
};

// Reads the settings file at Path into S (which holds the defaults) and says how it was
// found. Never throws: an unreadable file leaves S as it was.
TSettings_File_State Load_Settings_File(const std::string& Path, TSettings& S);

// Writes S to Path at the end of a run, according to State: an unreadable file is left alone
// (nothing is written); over a damaged one, its bytes as read are first kept beside it as
// Path + ".damaged" (written whole); then the settings file is written as by
// Write_Settings_File. State becomes Good after a write. Throws TKorvane_Error "The settings
// were not saved: CAUSE" when a file cannot be written; the settings file is then unchanged.
void Save_Settings_File(const std::string& Path, TSettings_File_State& State, const TSettings& S);
