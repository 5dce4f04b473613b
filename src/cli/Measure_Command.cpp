#include "cli/Measure_Command.h"

#include "image/Image_Model.h"
#include "image/Result_Code.h"
#include "photometry/Analysis.h"
#include "report/Report.h"
#include "report/Report_Reader.h"
#include "text/Number_Format.h"
#include "text/Text_Encoding.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <memory>
#include <ostream>
#include <system_error>

#ifndef KORVANE_VERSION
#error "KORVANE_VERSION must be defined by the build"
#endif

namespace {

constexpr std::string_view Program = "korvane-measure";

// ---------------------------------------------------------------------------------------
// Arguments

enum class TValue_Kind { Path, Text, Pixels, Non_Negative, Positive };

struct TValue_Option {
  std::string_view Name;
  TValue_Kind Kind;
};

constexpr TValue_Option Value_Options[] = {
    {"--targets", TValue_Kind::Path},
    {"--settings", TValue_Kind::Path},
    {"--report-dir", TValue_Kind::Path},
    {"--obscode", TValue_Kind::Text},
    {"--notes", TValue_Kind::Text},
    {"--radius", TValue_Kind::Pixels},
    {"--gap", TValue_Kind::Pixels},
    {"--annulus", TValue_Kind::Pixels},
    {"--gain", TValue_Kind::Non_Negative},
    {"--readout-noise", TValue_Kind::Non_Negative},
    {"--dark-current", TValue_Kind::Non_Negative},
    {"--max-error", TValue_Kind::Positive},
};

// Smallest accepted value of the pixel options: a gap may be 0, an aperture or annulus
// of no width measures nothing.
long long Min_Pixels(std::string_view Name) {
  return Name == "--gap" ? 0 : 1;
}

// Stores one option value; returns the usage error, empty when the value is good.
std::string Store_Value(TMeasure_Options& O, const TValue_Option& Option, const std::string& Value) {
  const std::string_view Name = Option.Name;
  const std::string Quoted = "'" + Value + "'";
  switch (Option.Kind) {
  case TValue_Kind::Path:
    if (Value.empty())
      return "option " + std::string(Name) + " needs a " + (Name == "--report-dir" ? "folder" : "file") +
             " name";
    (Name == "--targets" ? O.Targets_File : Name == "--settings" ? O.Settings_File : O.Report_Dir) = Value;
    return {};
  case TValue_Kind::Text: // may be empty: no observer code, no notes
    (Name == "--obscode" ? O.Obscode : O.Notes) = Value;
    return {};
  case TValue_Kind::Pixels: {
    const long long Min = Min_Pixels(Name);
    const auto Number = Try_Str_To_Int(Value, Min, Max_Aperture_Pixels);
    if (!Number || Value.empty() || Value.front() == ' ')
      return "invalid value " + Quoted + " for " + std::string(Name) +
             ": expected a whole number of pixels from " + std::to_string(Min) + " to " +
             std::to_string(Max_Aperture_Pixels);
    const auto Pixels = static_cast<uint32_t>(*Number);
    (Name == "--radius" ? O.Radius : Name == "--gap" ? O.Gap : O.Annulus) = Pixels;
    return {};
  }
  case TValue_Kind::Non_Negative:
  case TValue_Kind::Positive: {
    const bool Positive = Option.Kind == TValue_Kind::Positive;
    const auto Number = Try_Str_To_Float(Value, '.');
    if (!Number || !std::isfinite(*Number) || *Number < 0.0 || (Positive && *Number == 0.0) ||
        Value.front() == ' ' || Value.back() == ' ')
      return "invalid value " + Quoted + " for " + std::string(Name) + ": expected a number " +
             (Positive ? "greater than 0" : "of at least 0") + " written with a decimal point";
    std::optional<double>& Target = Name == "--gain"            ? O.Gain
                                    : Name == "--readout-noise" ? O.Readout_Noise
                                    : Name == "--dark-current"  ? O.Dark_Current
                                                                : O.Max_Error;
    Target = *Number;
    return {};
  }
  }
  return {};
}

// ---------------------------------------------------------------------------------------
// Text helpers

void Append_Unicode_Escape(std::string& Out, unsigned char Byte) {
  static constexpr char Hex[] = "0123456789abcdef";
  Out += "\\u00";
  Out += Hex[Byte >> 4];
  Out += Hex[Byte & 0x0F];
}

// Columns a text takes on a terminal: UTF-8 continuation bytes take none.
size_t Display_Width(std::string_view Text) {
  size_t Width = 0;
  for (char c : Text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
      ++Width;
  return Width;
}

// A table cell: control characters would break the row, so they become '?'; an empty
// value is shown as "-".
std::string Cell(std::string_view Text) {
  if (Text.empty())
    return "-";
  std::string Out(Text);
  for (char& c : Out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      c = '?';
  return Out;
}

std::string Pad_Right(std::string Text, size_t Width) {
  const size_t Shown = Display_Width(Text);
  if (Shown < Width)
    Text.append(Width - Shown, ' ');
  return Text;
}

std::string Pad_Left(std::string Text, size_t Width) {
  const size_t Shown = Display_Width(Text);
  if (Shown < Width)
    Text.insert(0, Width - Shown, ' ');
  return Text;
}

constexpr size_t Magnitude_Width = 8; // "<-99.999"
constexpr size_t Error_Width = 6;     // "99.999"
constexpr std::string_view Column_Gap = "  ";

// ---------------------------------------------------------------------------------------
// Output during the run

// The "[k/N] file" line on a terminal's standard error. It is cleared before anything else
// is written, so messages and rows never run into it.
class TProgress {
public:
  TProgress(std::ostream& Stream, bool Shown) : Err(Stream), Enabled(Shown) {}
  void Show(size_t Index, size_t Count, const std::string& File) {
    if (!Enabled)
      return;
    Clear();
    std::string Line = "[";
    Line.append(std::to_string(Index))
        .append("/")
        .append(std::to_string(Count))
        .append("] ")
        .append(Cell(File));
    Shown_Width = Display_Width(Line);
    Err << '\r' << Line << std::flush;
  }
  void Clear() {
    if (Shown_Width == 0)
      return;
    Err << '\r' << std::string(Shown_Width, ' ') << '\r' << std::flush;
    Shown_Width = 0;
  }

private:
  std::ostream& Err;
  bool Enabled;
  size_t Shown_Width = 0;
};

// Reader and loader findings: "korvane-measure: PREFIX: text" on standard error.
class TStderr_Messages : public TMessages {
public:
  TStderr_Messages(std::ostream& Stream, TProgress& Line, std::string Text_Prefix)
      : Err(Stream), Progress(Line), Prefix(std::move(Text_Prefix)) {}
  void Show(const std::string& Text) override {
    Progress.Clear();
    Err << Program << ": " << Prefix << Text << '\n' << std::flush;
  }

private:
  std::ostream& Err;
  TProgress& Progress;
  std::string Prefix;
};

// A file's findings, gathered while it is read and printed when it is done: each text once,
// in the order first seen, with a count when it came more than once. A damaged header of
// thousands of cards then gives a line per kind of fault, not thousands of lines.
class TFile_Messages : public TMessages {
public:
  explicit TFile_Messages(TStderr_Messages& Out) : Sink(Out) {}
  void Show(const std::string& Text) override {
    for (auto& [Seen, Count] : Texts)
      if (Seen == Text) {
        ++Count;
        return;
      }
    Texts.emplace_back(Text, 1);
  }
  void Flush() {
    for (const auto& [Text, Count] : Texts)
      Sink.Show(Count == 1 ? Text : Text + " (" + std::to_string(Count) + " times)");
    Texts.clear();
  }

private:
  TStderr_Messages& Sink;
  std::vector<std::pair<std::string, size_t>> Texts;
};

// "korvane-measure: FILE: message". The core's messages often name the file already; it is
// not named twice.
void Print_Error(std::ostream& Err, const std::string& File, const std::string& Message) {
  const bool Names_File = File.empty() || Message.rfind(File + ": ", 0) == 0;
  Err << Program << ": " << (Names_File ? "" : File + ": ") << Message << '\n' << std::flush;
}

// The AAVSO report of a measured file, as the program's AAVSO button writes it. A filter
// mismatch is a message; a report that could not be written is said, and false returned.
bool Write_Report(TMeasure_Result& Result, const TSettings& Settings, TStderr_Messages& File_Output,
                  std::ostream& Err) {
  try {
    const TReport_Outcome Outcome = Write_AAVSO_Report(Result.Image, Report_Settings_Of(Settings));
    if (!Outcome.Filter_Message.empty())
      File_Output.Show(Outcome.Filter_Message);
    if (!Outcome.Written) {
      Print_Error(Err, Result.File, "Report " + Outcome.Path + " not written: " + Outcome.Reason);
      return false;
    }
    Result.Report = Outcome.Path;
    return true;
  } catch (const std::exception& E) {
    Print_Error(Err, Result.File, E.what());
    return false;
  }
}

// Standard output failed (a reader that went away, a full disk): said once, and the run ends,
// since every later line would be lost too.
int Output_Failed(std::ostream& Err) {
  const int Cause = errno;
  Err << Program << ": cannot write to standard output"
      << (Cause != 0 ? ": " + std::error_code(Cause, std::generic_category()).message() : std::string())
      << "; stopped\n"
      << std::flush;
  return Exit_Output_Failed;
}

int Usage_Error(std::ostream& Err, const std::string& Message) {
  Err << Program << ": " << Message << '\n' << "Try '" << Program << " --help' for more information.\n";
  return Exit_Error;
}

} // namespace

// -----------------------------------------------------------------------------------------

TParsed_Arguments Parse_Arguments(const std::vector<std::string>& Args) {
  TParsed_Arguments Parsed;
  TMeasure_Options& O = Parsed.Options;
  const auto Fail = [&](std::string Message) {
    Parsed.Action = TCommand_Action::Usage_Error;
    Parsed.Error = std::move(Message);
    return Parsed;
  };
  bool Options_Ended = false;
  for (size_t i = 0; i < Args.size(); ++i) {
    const std::string& Arg = Args[i];
    if (Options_Ended || Arg.size() < 2 || Arg[0] != '-') {
      O.Files.push_back(Arg);
      continue;
    }
    if (Arg == "--") {
      Options_Ended = true;
      continue;
    }
    const size_t Equals = Arg.find('=');
    const std::string Name = Arg.substr(0, Equals);
    const bool Has_Inline_Value = Equals != std::string::npos;

    if (Name == "--help" || Name == "-h" || Name == "--version" || Name == "--json" || Name == "--snap" ||
        Name == "--no-snap" || Name == "--fits-crpix" || Name == "--full-read") {
      if (Has_Inline_Value)
        return Fail("option " + Name + " takes no value");
      if (Name == "--help" || Name == "-h") {
        Parsed.Action = TCommand_Action::Help;
        return Parsed;
      }
      if (Name == "--version") {
        Parsed.Action = TCommand_Action::Version;
        return Parsed;
      }
      if (Name == "--json")
        O.Json = true;
      else if (Name == "--fits-crpix")
        O.Fits_Crpix = true;
      else if (Name == "--full-read")
        O.Full_Read = true;
      else
        O.Snap_to_Centre = Name == "--snap";
      continue;
    }

    if (Name == "--light-curve") {
      // Two values: the folder (which may also follow "=") and the target name.
      const size_t Needed = Has_Inline_Value ? 1 : 2;
      if (Args.size() - 1 - i < Needed)
        return Fail("option --light-curve needs a folder and a target name");
      O.Light_Curve_Dir = Has_Inline_Value ? Arg.substr(Equals + 1) : Args[++i];
      O.Light_Curve_Name = Args[++i];
      Parsed.Action = TCommand_Action::Light_Curve;
      continue;
    }

    const TValue_Option* Option = nullptr;
    for (const TValue_Option& Candidate : Value_Options)
      if (Candidate.Name == Name)
        Option = &Candidate;
    if (Option == nullptr)
      return Fail("unknown option '" + Name + "'");
    std::string Value;
    if (Has_Inline_Value)
      Value = Arg.substr(Equals + 1);
    else if (i + 1 < Args.size())
      Value = Args[++i];
    else
      return Fail("option " + Name + " needs a value");
    std::string Error = Store_Value(O, *Option, Value);
    if (!Error.empty())
      return Fail(std::move(Error));
  }
  if (Parsed.Action == TCommand_Action::Light_Curve) {
    if (O.Light_Curve_Dir.empty())
      return Fail("option --light-curve needs a folder");
    if (!O.Files.empty())
      return Fail("option --light-curve takes no FITS file ('" + O.Files.front() + "')");
    return Parsed;
  }
  if (O.Files.empty())
    return Fail("no FITS file given");
  if (!O.Report_Dir && (O.Obscode || O.Notes))
    return Fail(std::string("option ") + (O.Obscode ? "--obscode" : "--notes") + " needs --report-dir");
  return Parsed;
}

void Apply_Options(const TMeasure_Options& O, TSettings& S) {
  const auto Override = [](auto& Setting, const auto& Option) {
    if (Option)
      Setting = *Option;
  };
  Override(S.DataFileName, O.Targets_File);
  Override(S.Radius, O.Radius);
  Override(S.Gap, O.Gap);
  Override(S.Annulus, O.Annulus);
  Override(S.Gain, O.Gain);
  Override(S.Readout_Noise, O.Readout_Noise);
  Override(S.Dark_Current, O.Dark_Current);
  Override(S.Max_Error, O.Max_Error);
  Override(S.Snap_to_Centre, O.Snap_to_Centre);
  Override(S.ReportFileDir, O.Report_Dir);
  Override(S.AAVSO_ObsCode, O.Obscode);
  Override(S.Notes, O.Notes);
}

std::string Version_Text() {
  return std::string(Program) + " " + KORVANE_VERSION;
}

std::string Usage_Text() {
  return "Usage: korvane-measure [OPTION]... FITS...\n"
         "   or: korvane-measure --light-curve DIR NAME\n"
         "Measure the catalogue target of each plate-solved FITS image, as Korvane's Open Image\n"
         "command does, and print one result per file.\n"
         "\n"
         "Settings come from korvane.ini in $XDG_CONFIG_HOME (default ~/.config), or the\n"
         "defaults when there is none; each option below overrides one of them.\n"
         "\n"
         "  --targets CSV          target file (default: the settings' target file)\n"
         "  --settings INI         settings file to read instead of korvane.ini\n"
         "  --radius N             aperture radius, pixels (1 to 10000)\n"
         "  --gap N                gap between aperture and sky annulus, pixels (0 to 10000)\n"
         "  --annulus N            width of the sky annulus, pixels (1 to 10000)\n"
         "  --gain X               camera gain, electrons per ADU\n"
         "  --readout-noise X      read-out noise, electrons\n"
         "  --dark-current X       dark current, electrons per pixel per second\n"
         "  --max-error X          largest acceptable magnitude error (greater than 0)\n"
         "  --snap, --no-snap      recentre the reference star's aperture, or not\n"
         "  --fits-crpix           read CRPIX as the FITS standard counts pixels, from 1 (as\n"
         "                         plate solvers write it); without it CRPIX is 0-based\n"
         "  --full-read            read every pixel of each file, as the program does; without\n"
         "                         it only the rows the apertures and sky annuli cover are read\n"
         "                         (the results are the same)\n"
         "  --json                 one JSON object per file and line instead of the table\n"
         "  --report-dir DIR       write the AAVSO report of each measured file into DIR\n"
         "  --obscode CODE         observer code of the reports (default: the settings')\n"
         "  --notes TEXT           notes of the reports (default: the settings')\n"
         "  --light-curve DIR NAME print the observations of target NAME found in the reports\n"
         "                         in DIR as CSV (JD,MAG,MERR,LIMIT,FILT,CNAME,CMAG,CHART,FILE),\n"
         "                         JD ascending, and the count of skipped lines on standard error\n"
         "  -h, --help             show this help and exit\n"
         "  --version              show the version and exit\n"
         "\n"
         "Numbers on the command line and in the output always use a decimal point; the\n"
         "target file uses the decimal separator of the user's locale.\n"
         "\n"
         "Exit status: 0 when every file was measured, 1 when some file was not (not plate\n"
         "solved, no star, no reference, no data, not measured), 2 for a usage error, a\n"
         "damaged settings or target file, or a file that could not be read or measured\n"
         "because of an error (such as a camera gain of 0). A report that could not be\n"
         "written (no such folder, a comma in a name or the notes) makes it at least 1.\n";
}

std::string Json_String(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size() + 2);
  Out += '"';
  for (size_t i = 0; i < Text.size();) {
    const auto c = static_cast<unsigned char>(Text[i]);
    if (c < 0x20) {
      Append_Unicode_Escape(Out, c);
      ++i;
    } else if (c == '"' || c == '\\') {
      Out += '\\';
      Out += static_cast<char>(c);
      ++i;
    } else if (c < 0x80) {
      Out += static_cast<char>(c);
      ++i;
    } else if (const size_t Length = Utf8_Sequence_Length(Text, i); Length > 0) {
      Out.append(Text.substr(i, Length));
      i += Length;
    } else {
      Append_Unicode_Escape(Out, c);
      ++i;
    }
  }
  Out += '"';
  return Out;
}

std::string Json_Number(double Value) {
  if (!std::isfinite(Value))
    return "null";
  char Buffer[32];
  const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  return std::string(Buffer, Result.ptr);
}

TMeasure_Result Measure_File(const std::string& Path, const TTarget_Catalogue& Catalogue,
                             const TSettings& Settings, TMessages& Messages, const TOpen_Options& Options) {
  TMeasure_Result R;
  R.File = Path;
  try {
    Open_And_Analyse(R.Image, Path, Catalogue, Measure_Settings_Of(Settings), Messages, Options);
  } catch (const std::exception& E) {
    // A reader or measurement error, or memory for an absurd image size: this file is lost,
    // the next one is measured.
    R.Failed = true;
    R.Error = E.what();
    if (R.Error.empty())
      R.Error = "unknown error";
  }
  if (const std::string Note = R.Image.Distortion_Note(); !Note.empty())
    Messages.Show("note: " + Note);
  // Only the results travel on: the pixels are released before the next file is opened.
  R.Image.Image_Array = TImageArray();
  R.Image.Histogram = std::vector<uint32_t>();
  return R;
}

std::string State_Text(const TMeasure_Result& R) {
  if (R.Failed)
    return "error: " + R.Error;
  switch (R.Image.Last_Error) {
  case TResult_Code::Measured:
    return R.Image.Outburst ? "Outburst" : "Quiescent";
  case TResult_Code::Not_Measured:
    return "Not measured";
  default:
    return Result_Code_Text(R.Image.Last_Error);
  }
}

std::string Json_Line(const TMeasure_Result& R) {
  const std::string Report =
      R.Report_Asked ? ",\"Report\":" + (R.Report ? Json_String(*R.Report) : std::string("null")) : "";
  std::string Out = "{\"file\":" + Json_String(R.File);
  if (R.Failed)
    return Out + ",\"error\":" + Json_String(R.Error) + Report + "}";
  const auto Number = [&](std::string_view Key, double Value) {
    Out += ",\"";
    Out += Key;
    Out += "\":";
    Out += Json_Number(Value);
  };
  const auto Integer = [&](std::string_view Key, int32_t Value) {
    Out += ",\"";
    Out += Key;
    Out += "\":";
    Out += std::to_string(Value);
  };
  const auto Boolean = [&](std::string_view Key, bool Value) {
    Out += ",\"";
    Out += Key;
    Out += "\":";
    Out += Value ? "true" : "false";
  };
  const auto String = [&](std::string_view Key, std::string_view Value) {
    Out += ",\"";
    Out += Key;
    Out += "\":";
    Out += Json_String(Value);
  };
  Integer("Last_Error", Code_Number(R.Image.Last_Error));
  Number("Magnitude", R.Image.Magnitude);
  Number("Std_Error", R.Image.Std_Error);
  Integer("Less_Than", R.Image.Less_Than);
  Number("Threshold", R.Image.Threshold);
  Boolean("Outburst", R.Image.Outburst);
  String("ObjectName", R.Image.ObjectName);
  Number("ObjectX", R.Image.ObjectX);
  Number("ObjectY", R.Image.ObjectY);
  String("ReferenceName", R.Image.ReferenceName);
  Number("ReferenceX", R.Image.ReferenceX);
  Number("ReferenceY", R.Image.ReferenceY);
  Number("Reference_Mag", R.Image.Reference_Mag);
  Number("CMag", R.Image.CMag);
  Number("Ref_Background", R.Image.Ref_Background);
  Number("Star_Background", R.Image.Star_Background);
  Boolean("Plate_Solved", R.Image.Plate_Solved);
  Number("JD", R.Image.JD);
  Number("AirMass", R.Image.AirMass);
  Number("Exposure", R.Image.Exposure);
  String("Image_Filter_Letter", R.Image.Image_Filter_Letter == '\0'
                                    ? std::string_view()
                                    : std::string_view(&R.Image.Image_Filter_Letter, 1));
  Out += Report;
  Out += '}';
  return Out;
}

TTable_Layout Table_Layout(const std::vector<std::string>& Files, const TTarget_Catalogue& Catalogue) {
  TTable_Layout Layout;
  for (const std::string& File : Files)
    Layout.File_Width = std::max(Layout.File_Width, Display_Width(Cell(File)));
  const int Count = std::clamp(Catalogue.NTargets, 0, Max_Targets);
  for (int i = 0; i < Count; ++i)
    Layout.Target_Width = std::max(Layout.Target_Width, Display_Width(Cell(Catalogue.Targets[i].Name)));
  return Layout;
}

std::string Table_Header(const TTable_Layout& Layout) {
  std::string Out = Pad_Right("FILE", Layout.File_Width);
  Out += Column_Gap;
  Out += Pad_Right("TARGET", Layout.Target_Width);
  Out += Column_Gap;
  Out += Pad_Left("MAG", Magnitude_Width);
  Out += Column_Gap;
  Out += Pad_Left("ERROR", Error_Width);
  Out += Column_Gap;
  Out += "STATE";
  return Out;
}

std::string Table_Row(const TMeasure_Result& R, const TTable_Layout& Layout, double Max_Error) {
  std::string Magnitude = "-", Error = "-";
  if (!R.Failed && R.Image.Last_Error == TResult_Code::Measured) {
    Magnitude = Format_Fixed(R.Image.Magnitude, 0, 3, '.');
    if (R.Image.Less_Than != 0) {
      Magnitude.insert(0, 1, '<');
      Error = Format_Fixed(Max_Error, 0, 3, '.');
    } else
      Error = Format_Fixed(R.Image.Std_Error, 0, 3, '.');
  }
  std::string Out = Pad_Right(Cell(R.File), Layout.File_Width);
  Out += Column_Gap;
  Out += Pad_Right(Cell(R.Failed ? std::string() : R.Image.ObjectName), Layout.Target_Width);
  Out += Column_Gap;
  Out += Pad_Left(Magnitude, Magnitude_Width);
  Out += Column_Gap;
  Out += Pad_Left(Error, Error_Width);
  Out += Column_Gap;
  Out += Cell(State_Text(R));
  return Out;
}

int Run_Light_Curve(const TMeasure_Options& Options, std::ostream& Out, std::ostream& Err) {
  TReport_Folder Reports;
  try {
    Reports = Read_Report_Folder(Options.Light_Curve_Dir);
  } catch (const std::exception& E) {
    Print_Error(Err, Options.Light_Curve_Dir, E.what());
    return Exit_Error;
  }
  const TTarget_History* Target = Find_Target(Reports, Options.Light_Curve_Name);
  errno = 0;
  if (!(Out << Light_Curve_CSV(Target ? Target->Observations : std::vector<TObservation>()) << std::flush))
    return Output_Failed(Err);
  for (const std::string& Problem : Reports.Problems)
    Err << Program << ": " << Problem << '\n';
  Err << Program << ": " << Reports.Skipped_Lines << (Reports.Skipped_Lines == 1 ? " line" : " lines")
      << " skipped\n"
      << std::flush;
  return Exit_All_Measured;
}

int Run_Measure(const std::vector<std::string>& Args, const TMeasure_Environment& Environment,
                std::ostream& Out, std::ostream& Err) {
  const TParsed_Arguments Parsed = Parse_Arguments(Args);
  switch (Parsed.Action) {
  case TCommand_Action::Help:
    Out << Usage_Text() << std::flush;
    return Exit_All_Measured;
  case TCommand_Action::Version:
    Out << Version_Text() << '\n' << std::flush;
    return Exit_All_Measured;
  case TCommand_Action::Usage_Error:
    return Usage_Error(Err, Parsed.Error);
  case TCommand_Action::Light_Curve:
    return Run_Light_Curve(Parsed.Options, Out, Err);
  case TCommand_Action::Measure:
    break;
  }
  const TMeasure_Options& Options = Parsed.Options;

  // Settings: the named file, else korvane.ini, else the defaults. A damaged file stops the
  // run, each damaged line named: measuring with defaults in place of the observer's values
  // would give wrong numbers without a word.
  const std::string Settings_Path = Options.Settings_File
                                        ? *Options.Settings_File
                                        : Settings_File_Path(Environment.Xdg_Config_Home, Environment.Home);
  TSettings Settings = Default_Settings(Environment.Home, Environment.Xdg_Data_Home);
  try {
    // A pipe or a device named here is refused by the reader, naming it.
    const auto Damage = Read_Settings_File(Settings_Path, Settings);
    if (!Damage && Options.Settings_File)
      return Usage_Error(Err, "settings file '" + Settings_Path + "' not found");
    if (Damage && !Damage->empty()) {
      for (const TSettings_Damage& Line : *Damage)
        Err << Program << ": " << Settings_Path << ": " << Damage_Text(Line) << '\n';
      Err << std::flush;
      return Exit_Error;
    }
  } catch (const std::exception& E) {
    Print_Error(Err, Settings_Path, E.what());
    return Exit_Error;
  }
  Apply_Options(Options, Settings);

  // Settings that would measure nothing meaningful stop the run before any file.
  try {
    Check_Measure_Settings(Measure_Settings_Of(Settings));
  } catch (const std::exception& E) {
    Print_Error(Err, Settings_Path, E.what());
    return Exit_Error;
  }

  TProgress Progress(Err, Environment.Show_Progress && Options.Files.size() > 3);

  // The catalogue. A target file named on the command line must exist; the settings' one
  // may be missing, which leaves the catalogue empty (the loader says so). A damaged file
  // stops the run.
  if (Options.Targets_File) {
    std::error_code Ignored;
    if (!std::filesystem::exists(*Options.Targets_File, Ignored))
      return Usage_Error(Err, "target file '" + *Options.Targets_File + "' not found");
  }
  auto Catalogue = std::make_unique<TTarget_Catalogue>();
  try {
    TStderr_Messages Loader_Messages(Err, Progress, "");
    const TLoad_Outcome Outcome = Load_Targets(
        Settings.DataFileName, *Catalogue, TNumber_Format{Environment.Decimal_Separator}, Loader_Messages);
    if (Outcome.Panel_Changed && Outcome.Panel_Text.starts_with("Too many"))
      Print_Error(Err, Settings.DataFileName,
                  "warning: " + Outcome.Panel_Text + ": only the first " + std::to_string(Max_Targets) +
                      " targets are searched");
  } catch (const TLine_Error& E) {
    Print_Error(Err, Settings.DataFileName, "line " + std::to_string(E.Line) + ": " + E.what());
    return Exit_Error;
  } catch (const std::exception& E) {
    Print_Error(Err, Settings.DataFileName, E.what());
    return Exit_Error;
  }

  const TTable_Layout Layout = Table_Layout(Options.Files, *Catalogue);
  errno = 0;
  if (!Options.Json && !(Out << Table_Header(Layout) << '\n' << std::flush))
    return Output_Failed(Err);

  int Status = Exit_All_Measured;
  const size_t Count = Options.Files.size();
  for (size_t k = 0; k < Count; ++k) {
    if (Environment.Stop_Asked && Environment.Stop_Asked())
      break;
    const std::string& File = Options.Files[k];
    Progress.Show(k + 1, Count, File);
    TStderr_Messages File_Output(Err, Progress, File + ": ");
    TFile_Messages File_Messages(File_Output);
    TMeasure_Result Result = Measure_File(File, *Catalogue, Settings, File_Messages,
                                          TOpen_Options{Options.Fits_Crpix, !Options.Full_Read});
    Progress.Clear();
    File_Messages.Flush();
    if (Result.Failed) {
      Print_Error(Err, File, Result.Error);
      Status = Exit_Error;
    } else if (Result.Image.Last_Error != TResult_Code::Measured && Status == Exit_All_Measured)
      Status = Exit_Not_Measured;
    if (Options.Report_Dir) {
      Result.Report_Asked = true;
      if (!Result.Failed && Result.Image.Last_Error == TResult_Code::Measured &&
          !Write_Report(Result, Settings, File_Output, Err) && Status == Exit_All_Measured)
        Status = Exit_Not_Measured;
    }
    errno = 0;
    if (!(Out << (Options.Json ? Json_Line(Result) : Table_Row(Result, Layout, Settings.Max_Error)) << '\n'
              << std::flush)) {
      Progress.Clear();
      return Output_Failed(Err);
    }
  }
  Progress.Clear();
  return Status;
}
