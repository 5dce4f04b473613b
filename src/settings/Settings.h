#pragma once
// The settings model and the 20-line korvane.ini file.

#include <cstdint>
#include <string>
#include <string_view>

struct TWindow_Geometry {
  int Top = 0;
  int Left = 0;
  int Width = 0;  // outer size, screen pixels
  int Height = 0;
};

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
};

// The state before any settings are applied: the designed window geometry (left 7, top 123,
// client area 1310 x 695) and every field zero, false or empty.
TSettings Initial_Settings();

// The defaults used when no settings file exists. Home is the user's home folder; the
// target file defaults to Home/data.csv and the report folder to /tmp.
TSettings Default_Settings(const std::string& Home);

// Path of the settings file: $XDG_CONFIG_HOME/korvane.ini, or Home/.config/korvane.ini when
// XDG_CONFIG_HOME is unset, empty or relative. Xdg_Config_Home and Home are passed in (the process
// environment is read by the caller).
std::string Settings_File_Path(const std::string& Xdg_Config_Home, const std::string& Home);

// Reads the content of a settings file into S, line by line in the file's fixed order.
// S must hold the initial state. A line that should hold a number and does not ends the
// reading with TKorvane_Error("Invalid numeric input"); the values read before it stay in
// S, the rest keep what S held. A Scale_Index outside 0..14 becomes 7.
void Read_Settings(std::string_view Content, TSettings& S);

// The 20 lines of the settings file, each ending with CR LF.
std::string Settings_Text(const TSettings& S);

// Writes the settings file whole or not at all: a temporary file in the same folder is
// written, flushed and renamed over Path. Returns false (and leaves any old file as it
// was) when the file cannot be written.
bool Write_Settings_File(const std::string& Path, const TSettings& S);

// Reads the settings file at Path into S (which must hold the initial state). Returns
// false when there is no such file (S unchanged). Throws TKorvane_Error as Read_Settings,
// and with a message naming the file when it cannot be opened or read. At most the first
// MiB of the file is read; a file whose values do not fit in it counts as damaged.
bool Read_Settings_File(const std::string& Path, TSettings& S);
