#pragma once
// korvane-measure without its process: argument parsing, the measurement of one file, the
// table and JSON Lines output and the run over all files. main() reads the environment, the
// locale and the terminal state and passes them in, so every piece here runs in-process.

#include "catalogue/Target_Data.h"
#include "image/Image_Model.h"
#include "night/Frame_Result.h"
#include "photometry/Photometry.h"
#include "settings/Settings.h"
#include "text/Messages.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Exit statuses of the command.
constexpr int Exit_All_Measured = 0;  // every file ended with Last_Error 0
constexpr int Exit_Not_Measured = 1;  // some file ended with another code
constexpr int Exit_Error = 2;         // usage error, bad settings or target file, unreadable file
constexpr int Exit_Output_Failed = 3; // standard output could not be written (a closed pipe): the run stopped

// What the command line asks for. Each optional value overrides one setting.
struct TMeasure_Options {
  std::optional<std::string> Targets_File;
  std::optional<std::string> Settings_File;
  std::optional<uint32_t> Radius;
  std::optional<uint32_t> Gap;
  std::optional<uint32_t> Annulus;
  std::optional<double> Gain;
  std::optional<double> Readout_Noise;
  std::optional<double> Dark_Current;
  std::optional<double> Max_Error;
  std::optional<double>
      Saturation_Level; // ADU, for images without SATURATE or DATAMAX; 0: the type's largest
  std::optional<bool> Snap_to_Centre;
  std::optional<bool> Fits_Crpix;        // CRPIX counts pixels from 1, as the FITS standard has it
  std::optional<uint32_t> Image_Plane;   // the plane of a 3-dimensional image measured, from 1
  std::optional<std::string> Report_Dir; // write the AAVSO report of each measured file here
  std::optional<std::string> Obscode;    // observer code of the reports
  std::optional<std::string> Notes;      // notes of the reports
  bool Full_Read = false;                // read every pixel instead of only those measured
  bool Solve = false;                    // plate-solve the frames that are not plate-solved
  std::optional<double> Solve_Limit;     // the solver's time limit per frame, seconds
  bool Json = false;
  std::optional<std::string> Watch_Dir; // --watch: the folder's frames, then each new one as it completes
  bool Notify = false;                  // --notify: a desktop notification per outburst while watching
  std::vector<std::string> Files;
  std::string Light_Curve_Dir;  // --light-curve DIR NAME: the folder of reports
  std::string Light_Curve_Name; // and the target whose observations are printed
};

enum class TCommand_Action { Measure, Light_Curve, Help, Version, Usage_Error };

struct TParsed_Arguments {
  TCommand_Action Action = TCommand_Action::Measure;
  TMeasure_Options Options;
  std::string Error; // the usage error, for Usage_Error
};

// Parses the arguments after the program name. Options may be written "--name value" or
// "--name=value"; "--" ends the options. --help and --version end the parsing at once.
// --light-curve takes two values, the folder and the target name, and no FITS file.
// Numbers always take a decimal point, whatever the locale. --obscode and --notes need
// --report-dir.
TParsed_Arguments Parse_Arguments(const std::vector<std::string>& Args);

// Writes the values given on the command line over the settings.
void Apply_Options(const TMeasure_Options& Options, TSettings& Settings);

std::string Usage_Text();
std::string Version_Text(); // "korvane-measure " and the version, no line end

// A JSON string literal, quotes included. Quote and backslash are escaped, control
// characters become \u00XX; valid UTF-8 passes through, and a byte that is not part of a
// valid UTF-8 sequence is taken as Latin-1 and written as \u00XX.
std::string Json_String(std::string_view Text);

// Shortest text that reads back as the same double; "null" for NaN and infinities.
std::string Json_Number(double Value);

// One JSON object, no line end. With Report_Asked it ends with "Report": the report's path, or
// null when none was written.
std::string Json_Line(const TMeasure_Result& Result);

// Column widths of the table. File and target columns fit the longest file argument and
// catalogue name, so rows can be written as soon as each file is done.
struct TTable_Layout {
  size_t File_Width = 4;
  size_t Target_Width = 6;
};
TTable_Layout Table_Layout(const std::vector<std::string>& Files, const TTarget_Catalogue& Catalogue);
std::string Table_Header(const TTable_Layout& Layout);
// Magnitude and error with three decimals; a limit has "<" before it and shows Max_Error
// as its error, as the result panels do. No line end.
std::string Table_Row(const TMeasure_Result& Result, const TTable_Layout& Layout, double Max_Error);

// What main() learns from the process before the run.
struct TMeasure_Environment {
  std::string Xdg_Config_Home;
  std::string Xdg_Data_Home;
  std::string Xdg_Cache_Home; // the plate solutions' cache is under it
  std::string Home;
  char Decimal_Separator = '.'; // the user's, for the target file
  bool Show_Progress = false;   // standard error is a terminal
  // Asked before each file: true ends the run there (a closing signal came), the lines of the
  // files done complete and no report half-written.
  std::function<bool()> Stop_Asked;
};

// --light-curve: the target's observations in the folder's reports as CSV on Out (the title
// row alone when there are none), the files with skipped lines and the count of skipped lines
// on Err. Exit_Error when the folder cannot be read.
int Run_Light_Curve(const TMeasure_Options& Options, std::ostream& Out, std::ostream& Err);

// The whole command: arguments without the program name; returns the exit status.
int Run_Measure(const std::vector<std::string>& Args, const TMeasure_Environment& Environment,
                std::ostream& Out, std::ostream& Err);
