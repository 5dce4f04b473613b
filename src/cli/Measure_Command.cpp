#include "cli/Measure_Command.h"

#include "image/Image_Model.h"
#include "image/Result_Code.h"
#include "night/Desktop_Notify.h"
#include "night/Folder_Watcher.h"
#include "night/Night.h"
#include "photometry/Analysis.h"
#include "report/Report.h"
#include "report/Report_Reader.h"
#include "solve/Plate_Solve.h"
#include "text/Number_Format.h"
#include "text/Text_Encoding.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <system_error>

#ifndef KORVANE_VERSION
#error "KORVANE_VERSION must be defined by the build"
#endif

namespace {

constexpr std::string_view Program = "korvane-measure";

// ---------------------------------------------------------------------------------------
// Options: one row each, in the order --help lists them. Adding an option is one row here
// and its field in TMeasure_Options.

// Stores an option's values; returns the usage error, empty when they are good.
using TStore = std::string (*)(TParsed_Arguments& Parsed, std::string_view Name,
                               const std::vector<std::string>& Values);

// How an option's values convert: how many follow its name, what is said when they are
// missing, and the function that checks and stores them.
struct TConversion {
  size_t Values;
  std::string_view Missing; // "a value": "option --gap needs a value"
  TStore Store;
};

struct TOption {
  std::string_view Name;
  TConversion Convert;
  std::string_view Help_Argument; // "N" of "--radius N": a word for each value
  // The help text, its lines separated by '\n'. Empty: the option shares the next row's help
  // line, as in "-h, --help".
  std::string_view Help;
};

std::string Quoted(const std::string& Value) {
  return "'" + Value + "'";
}

template <TCommand_Action Action>
std::string Set_Action(TParsed_Arguments& Parsed, std::string_view, const std::vector<std::string>&) {
  Parsed.Action = Action;
  return {};
}

template <auto Field, auto Value>
std::string Set_Constant(TParsed_Arguments& Parsed, std::string_view, const std::vector<std::string>&) {
  Parsed.Options.*Field = Value;
  return {};
}

template <auto Field, bool Folder>
std::string Set_Path(TParsed_Arguments& Parsed, std::string_view Name,
                     const std::vector<std::string>& Values) {
  if (Values[0].empty())
    return "option " + std::string(Name) + " needs a " + (Folder ? "folder" : "file") + " name";
  Parsed.Options.*Field = Values[0];
  return {};
}

template <auto Field>
std::string Set_Text(TParsed_Arguments& Parsed, std::string_view, const std::vector<std::string>& Values) {
  Parsed.Options.*Field = Values[0];
  return {};
}

template <auto Field, long long Min>
std::string Set_Pixels(TParsed_Arguments& Parsed, std::string_view Name,
                       const std::vector<std::string>& Values) {
  const std::string& Value = Values[0];
  const auto Number = Try_Str_To_Int(Value, Min, Max_Aperture_Pixels);
  if (!Number || Value.empty() || Value.front() == ' ')
    return "invalid value " + Quoted(Value) + " for " + std::string(Name) +
           ": expected a whole number of pixels from " + std::to_string(Min) + " to " +
           std::to_string(Max_Aperture_Pixels);
  Parsed.Options.*Field = static_cast<uint32_t>(*Number);
  return {};
}

template <auto Field>
std::string Set_Plane(TParsed_Arguments& Parsed, std::string_view Name,
                      const std::vector<std::string>& Values) {
  const std::string& Value = Values[0];
  const auto Number = Try_Str_To_Int(Value, 1, INT32_MAX);
  if (!Number || Value.empty() || Value.front() == ' ')
    return "invalid value " + Quoted(Value) + " for " + std::string(Name) +
           ": expected a plane number from 1 to " + std::to_string(INT32_MAX);
  Parsed.Options.*Field = static_cast<uint32_t>(*Number);
  return {};
}

template <auto Field, bool Positive>
std::string Set_Real(TParsed_Arguments& Parsed, std::string_view Name,
                     const std::vector<std::string>& Values) {
  const std::string& Value = Values[0];
  const auto Number = Try_Str_To_Float(Value, '.');
  if (!Number || !std::isfinite(*Number) || *Number < 0.0 || (Positive && *Number == 0.0) ||
      Value.front() == ' ' || Value.back() == ' ')
    return "invalid value " + Quoted(Value) + " for " + std::string(Name) + ": expected a number " +
           (Positive ? "greater than 0" : "of at least 0") + " written with a decimal point";
  Parsed.Options.*Field = *Number;
  return {};
}

// The folder may be empty here: that is said once all arguments are read, so that a later
// --help still shows the help.
std::string Set_Light_Curve(TParsed_Arguments& Parsed, std::string_view,
                            const std::vector<std::string>& Values) {
  Parsed.Options.Light_Curve_Dir = Values[0];
  Parsed.Options.Light_Curve_Name = Values[1];
  Parsed.Action = TCommand_Action::Light_Curve;
  return {};
}

// The conversions of the rows below.
template <TCommand_Action Action> constexpr TConversion Action_Option{0, "", Set_Action<Action>};
// A switch: sets Field to Value.
template <auto Field, auto Value = true> constexpr TConversion Switch{0, "", Set_Constant<Field, Value>};
// A file or folder name, never empty.
template <auto Field> constexpr TConversion File_Name{1, "a value", Set_Path<Field, false>};
template <auto Field> constexpr TConversion Folder_Name{1, "a value", Set_Path<Field, true>};
// Any text, the empty one included: no observer code, no notes.
template <auto Field> constexpr TConversion Text{1, "a value", Set_Text<Field>};
// A whole number of pixels from Min to Max_Aperture_Pixels. A gap may be 0; an aperture or
// annulus of no width measures nothing.
template <auto Field, long long Min> constexpr TConversion Pixels{1, "a value", Set_Pixels<Field, Min>};
// A finite number written with a decimal point: at least 0, or above 0.
template <auto Field> constexpr TConversion At_Least_0{1, "a value", Set_Real<Field, false>};
template <auto Field> constexpr TConversion Above_0{1, "a value", Set_Real<Field, true>};
// A plane of a 3-dimensional image, from 1.
template <auto Field> constexpr TConversion Plane{1, "a value", Set_Plane<Field>};
constexpr TConversion Folder_And_Target{2, "a folder and a target name", Set_Light_Curve};

using O = TMeasure_Options;

constexpr TOption Option_Table[] = {
    {"--targets", File_Name<&O::Targets_File>, "CSV", "target file (default: the settings' target file)"},
    {"--settings", File_Name<&O::Settings_File>, "INI", "settings file to read instead of korvane.ini"},
    {"--radius", Pixels<&O::Radius, 1>, "N", "aperture radius, pixels (1 to 10000)"},
    {"--gap", Pixels<&O::Gap, 0>, "N", "gap between aperture and sky annulus, pixels (0 to 10000)"},
    {"--annulus", Pixels<&O::Annulus, 1>, "N", "width of the sky annulus, pixels (1 to 10000)"},
    {"--gain", At_Least_0<&O::Gain>, "X", "camera gain, electrons per ADU"},
    {"--readout-noise", At_Least_0<&O::Readout_Noise>, "X", "read-out noise, electrons"},
    {"--dark-current", At_Least_0<&O::Dark_Current>, "X", "dark current, electrons per pixel per second"},
    {"--max-error", Above_0<&O::Max_Error>, "X", "largest acceptable magnitude error (greater than 0)"},
    {"--saturation", At_Least_0<&O::Saturation_Level>, "ADU",
     "saturation level for images without a SATURATE or DATAMAX\n"
     "card (0: the largest value of the stored pixels)"},
    {"--snap", Switch<&O::Snap_to_Centre, true>, "", ""},
    {"--no-snap", Switch<&O::Snap_to_Centre, false>, "", "recentre the reference star's aperture, or not"},
    {"--fits-crpix", Switch<&O::Fits_Crpix, true>, "",
     "read CRPIX as the FITS standard counts pixels, from 1 (as\n"
     "plate solvers write it); default: as the settings say"},
    {"--no-fits-crpix", Switch<&O::Fits_Crpix, false>, "", "read CRPIX counting pixels from 0"},
    {"--plane", Plane<&O::Image_Plane>, "N",
     "the plane of a 3-dimensional image (colour frame, cube) to\n"
     "measure, from 1 (default: the settings' Image Plane, else 1)"},
    {"--full-read", Switch<&O::Full_Read>, "",
     "read every pixel of each file, as the program does; without\n"
     "it only the rows the apertures and sky annuli cover are read\n"
     "(the results are the same)"},
    {"--json", Switch<&O::Json>, "", "one JSON object per file and line instead of the table"},
    {"--watch", Folder_Name<&O::Watch_Dir>, "DIR",
     "measure the FITS files in DIR, then each new one once it is\n"
     "complete, one JSON line each, until SIGTERM or Ctrl+C (exit 0)"},
    {"--notify", Switch<&O::Notify>, "",
     "with --watch: a desktop notification for each new frame in\n"
     "outburst"},
    {"--solve", Switch<&O::Solve>, "",
     "plate-solve each frame that is not plate-solved with the\n"
     "local astrometry.net solver (solve-field), then measure it;\n"
     "solutions are kept in $XDG_CACHE_HOME/korvane/solutions"},
    {"--solve-limit", Above_0<&O::Solve_Limit>, "S",
     "the solver's time limit per frame, seconds (default 60)"},
    {"--report-dir", Folder_Name<&O::Report_Dir>, "DIR",
     "write the AAVSO report of each measured file into DIR"},
    {"--obscode", Text<&O::Obscode>, "CODE", "observer code of the reports (default: the settings')"},
    {"--notes", Text<&O::Notes>, "TEXT", "notes of the reports (default: the settings')"},
    {"--light-curve", Folder_And_Target, "DIR NAME",
     "print the observations of target NAME found in the reports\n"
     "in DIR as CSV (JD,MAG,MERR,LIMIT,FILT,CNAME,CMAG,CHART,FILE),\n"
     "JD ascending, and the count of skipped lines on standard error"},
    {"-h", Action_Option<TCommand_Action::Help>, "", ""},
    {"--help", Action_Option<TCommand_Action::Help>, "", "show this help and exit"},
    {"--version", Action_Option<TCommand_Action::Version>, "", "show the version and exit"},
};

// The help shows a word for each value an option takes.
constexpr bool Help_Shows_Its_Values(const TOption& Option) {
  const std::string_view Shown = Option.Help_Argument;
  const size_t Words =
      Shown.empty() ? 0 : 1 + static_cast<size_t>(std::count(Shown.begin(), Shown.end(), ' '));
  return Words == Option.Convert.Values;
}
static_assert(std::all_of(std::begin(Option_Table), std::end(Option_Table), Help_Shows_Its_Values),
              "an option's help argument does not match the values it takes");
static_assert(!std::end(Option_Table)[-1].Help.empty(), "the last option needs a help line");

const TOption* Find_Option(std::string_view Name) {
  for (const TOption& Option : Option_Table)
    if (Option.Name == Name)
      return &Option;
  return nullptr;
}

// The options' part of --help: the names and argument in a column of their own, the help
// text beside them, at least a blank between.
std::string Option_Help() {
  constexpr size_t Name_Width = 22;
  std::string Out, Names;
  for (const TOption& Option : Option_Table) {
    Names += Option.Name;
    if (!Option.Help_Argument.empty())
      Names.append(" ").append(Option.Help_Argument);
    if (Option.Help.empty()) {
      Names += ", ";
      continue;
    }
    Out.append("  ").append(Names);
    Out.append(Name_Width + 1 - std::min(Name_Width, Names.size()), ' ');
    for (const char c : Option.Help) {
      Out += c;
      if (c == '\n')
        Out.append(2 + Name_Width + 1, ' ');
    }
    Out += '\n';
    Names.clear();
  }
  return Out;
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

// A file's findings, gathered while it is read and printed when it is done, with a count
// when one came more than once.
class TFile_Messages : public TGathered_Messages {
public:
  explicit TFile_Messages(TStderr_Messages& Out) : Sink(Out) {}
  void Flush() {
    for (const auto& [Text, Count] : Texts)
      Sink.Show(Count == 1 ? Text : Text + " (" + std::to_string(Count) + " times)");
    Texts.clear();
  }

private:
  TStderr_Messages& Sink;
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
// Writes Text to standard output at once; false when the write failed (errno then says why).
bool Written(std::ostream& Out, const std::string& Text) {
  errno = 0;
  return static_cast<bool>(Out << Text << std::flush);
}

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
    const TOption* Option = Find_Option(Name);
    if (Option == nullptr)
      return Fail("unknown option '" + Name + "'");
    // The first value may follow "=", the others are the next arguments.
    std::vector<std::string> Values;
    if (Equals != std::string::npos) {
      if (Option->Convert.Values == 0)
        return Fail("option " + Name + " takes no value");
      Values.push_back(Arg.substr(Equals + 1));
    }
    const size_t Needed = Option->Convert.Values - Values.size();
    if (Args.size() - 1 - i < Needed)
      return Fail("option " + Name + " needs " + std::string(Option->Convert.Missing));
    for (size_t k = 0; k < Needed; ++k)
      Values.push_back(Args[++i]);
    if (std::string Error = Option->Convert.Store(Parsed, Name, Values); !Error.empty())
      return Fail(std::move(Error));
    if (Parsed.Action == TCommand_Action::Help || Parsed.Action == TCommand_Action::Version)
      return Parsed;
  }
  if (Parsed.Action == TCommand_Action::Light_Curve) {
    if (O.Light_Curve_Dir.empty())
      return Fail("option --light-curve needs a folder");
    if (!O.Files.empty())
      return Fail("option --light-curve takes no FITS file ('" + O.Files.front() + "')");
    return Parsed;
  }
  if (O.Notify && !O.Watch_Dir)
    return Fail("option --notify needs --watch");
  if (O.Watch_Dir && !O.Files.empty())
    return Fail("option --watch takes no FITS file ('" + O.Files.front() + "')");
  if (O.Files.empty() && !O.Watch_Dir)
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
  Override(S.Saturation_Level, O.Saturation_Level);
  Override(S.Snap_to_Centre, O.Snap_to_Centre);
  Override(S.Fits_Crpix, O.Fits_Crpix);
  Override(S.Image_Plane, O.Image_Plane);
  Override(S.ReportFileDir, O.Report_Dir);
  Override(S.AAVSO_ObsCode, O.Obscode);
  Override(S.Notes, O.Notes);
}

std::string Version_Text() {
  return std::string(Program) + " " + KORVANE_VERSION;
}

std::string Usage_Text() {
  return "Usage: korvane-measure [OPTION]... FITS...\n"
         "   or: korvane-measure [OPTION]... --watch DIR\n"
         "   or: korvane-measure --light-curve DIR NAME\n"
         "Measure the catalogue target of each plate-solved FITS image, as Korvane's Open Image\n"
         "command does, and print one result per file.\n"
         "\n"
         "Settings come from korvane.ini in $XDG_CONFIG_HOME (default ~/.config), or the\n"
         "defaults when there is none; each option below overrides one of them.\n"
         "\n" +
         Option_Help() +
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
  // null when the frame has no air mass (no AIRMASS card, no site).
  Number("AirMass", R.Image.AirMass_From.empty() ? NAN : R.Image.AirMass);
  Number("Exposure", R.Image.Exposure);
  // A text that is there, or null: the cards the time, exposure and air mass came from, the
  // check star's name.
  const auto Text_Or_Null = [&](std::string_view Key, const std::string& From) {
    if (From.empty()) {
      Out += ",\"";
      Out += Key;
      Out += "\":null";
    } else {
      String(Key, From);
    }
  };
  Text_Or_Null("Time_From", R.Image.Time_From);
  Text_Or_Null("Exposure_From", R.Image.Exposure_From);
  Text_Or_Null("AirMass_From", R.Image.AirMass_From);
  String("Image_Filter_Letter", R.Image.Image_Filter_Letter == '\0'
                                    ? std::string_view()
                                    : std::string_view(&R.Image.Image_Filter_Letter, 1));
  // The check star: null without one measured.
  const bool Check = R.Image.Has_Check;
  Text_Or_Null("CheckName", Check ? R.Image.CheckName : std::string());
  Number("Check_Mag", Check ? R.Image.Check_Mag : NAN);
  Number("Check_Error", Check ? R.Image.Check_Error : NAN);
  Number("Check_Offset", Check ? R.Image.Check_Offset : NAN);
  Out += ",\"Saturated\":[";
  for (size_t i = 0; i < R.Image.Saturated.size(); ++i)
    Out += (i > 0 ? "," : "") + Json_String(R.Image.Saturated[i]);
  Out += ']';
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
  TResult_Text Result{"-", "-"};
  if (Is_Measured(R))
    Result = Result_Text(R.Image, Max_Error, '.');
  const std::string& Magnitude = Result.Magnitude;
  const std::string& Error = Result.Error;
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
  if (!Written(Out, Light_Curve_CSV(Target ? Target->Observations : std::vector<TObservation>())))
    return Output_Failed(Err);
  for (const std::string& Problem : Reports.Problems)
    Err << Program << ": " << Problem << '\n';
  Err << Program << ": " << Reports.Skipped_Lines << (Reports.Skipped_Lines == 1 ? " line" : " lines")
      << " skipped\n"
      << std::flush;
  return Exit_All_Measured;
}

namespace {

// The run's settings: the named file, else korvane.ini, else the defaults, with the options
// written over them. A damaged file stops the run, each damaged line named: measuring with
// defaults in place of the observer's values would give wrong numbers without a word. So do
// settings that would measure nothing meaningful. Returns the exit status when the run stops.
std::optional<int> Load_Settings(const TMeasure_Options& Options, const TMeasure_Environment& Environment,
                                 TSettings& Settings, std::ostream& Err) {
  const std::string Settings_Path = Options.Settings_File
                                        ? *Options.Settings_File
                                        : Settings_File_Path(Environment.Xdg_Config_Home, Environment.Home);
  Settings = Default_Settings(Environment.Home, Environment.Xdg_Data_Home);
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
  try {
    Check_Measure_Settings(Measure_Settings_Of(Settings));
  } catch (const std::exception& E) {
    Print_Error(Err, Settings_Path, E.what());
    return Exit_Error;
  }
  return std::nullopt;
}

// The catalogue. A target file named on the command line must exist; the settings' one may
// be missing, which leaves the catalogue empty (the loader says so). A damaged file stops
// the run. Returns the exit status when the run stops.
std::optional<int> Load_Catalogue(const TMeasure_Options& Options, const TSettings& Settings,
                                  char Decimal_Separator, TProgress& Progress, TTarget_Catalogue& Catalogue,
                                  std::ostream& Err) {
  if (Options.Targets_File) {
    std::error_code Ignored;
    if (!std::filesystem::exists(*Options.Targets_File, Ignored))
      return Usage_Error(Err, "target file '" + *Options.Targets_File + "' not found");
  }
  try {
    TStderr_Messages Loader_Messages(Err, Progress, "");
    const TLoad_Outcome Outcome =
        Load_Targets(Settings.DataFileName, Catalogue, TNumber_Format{Decimal_Separator}, Loader_Messages);
    if (Outcome.Too_Many)
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
  return std::nullopt;
}

// Measures one file, its findings printed once it is done, and writes its report when asked.
// Status becomes the worse of itself and this file's outcome.
TMeasure_Result Measure_And_Report(const std::string& File, const TMeasure_Options& Options,
                                   const TSettings& Settings, const TTarget_Catalogue& Catalogue,
                                   const TSolve_Options* Solving, TProgress& Progress, std::ostream& Err,
                                   int& Status) {
  TStderr_Messages File_Output(Err, Progress, File + ": ");
  TFile_Messages File_Messages(File_Output);
  std::function<bool(TImage_Model&)> Solve;
  if (Solving)
    Solve = [&](TImage_Model& Image) { return Solve_And_Apply(Image, *Solving, File_Messages); };
  TMeasure_Result Result =
      Measure_File(File, Catalogue, Settings, File_Messages,
                   TOpen_Options{Settings.Fits_Crpix, !Options.Full_Read, Settings.Image_Plane}, Solve);
  Progress.Clear();
  File_Messages.Flush();
  const bool Measured = Is_Measured(Result);
  if (Result.Failed) {
    Print_Error(Err, File, Result.Error);
    Status = Exit_Error;
  } else if (!Measured)
    Status = std::max(Status, Exit_Not_Measured);
  if (Options.Report_Dir) {
    Result.Report_Asked = true;
    if (Measured && !Write_Report(Result, Settings, File_Output, Err))
      Status = std::max(Status, Exit_Not_Measured);
  }
  return Result;
}

// How --solve solves; nothing without it. Without the solver, --solve changes nothing but
// says once what to install.
std::optional<TSolve_Options> Solving_Of(const TMeasure_Options& Options,
                                         const TMeasure_Environment& Environment, std::ostream& Err) {
  if (!Options.Solve)
    return std::nullopt;
  if (!Solver_Installed()) {
    Print_Error(Err, "--solve", Solver_Missing_Text);
    return std::nullopt;
  }
  TSolve_Options Solving;
  Solving.Time_Limit = Options.Solve_Limit.value_or(Solving.Time_Limit);
  Solving.Cache_Folder = Cache_Folder_Of(Environment.Xdg_Cache_Home, Environment.Home);
  return Solving;
}

// The table's header, then a line for each file as soon as it is done. A closing signal
// (Stop_Asked) ends the run at the next file boundary; a failed write to standard output
// ends it at once.
int Measure_Files(const TMeasure_Options& Options, const TSettings& Settings,
                  const TTarget_Catalogue& Catalogue, const TMeasure_Environment& Environment,
                  TProgress& Progress, std::ostream& Out, std::ostream& Err) {
  const TTable_Layout Layout = Table_Layout(Options.Files, Catalogue);
  if (!Options.Json && !Written(Out, Table_Header(Layout) + '\n'))
    return Output_Failed(Err);

  const std::optional<TSolve_Options> Solving = Solving_Of(Options, Environment, Err);
  int Status = Exit_All_Measured;
  const size_t Count = Options.Files.size();
  for (size_t k = 0; k < Count; ++k) {
    if (Environment.Stop_Asked && Environment.Stop_Asked())
      break;
    const std::string& File = Options.Files[k];
    Progress.Show(k + 1, Count, File);
    const TMeasure_Result Result = Measure_And_Report(File, Options, Settings, Catalogue,
                                                      Solving ? &*Solving : nullptr, Progress, Err, Status);
    if (!Written(Out,
                 (Options.Json ? Json_Line(Result) : Table_Row(Result, Layout, Settings.Max_Error)) + '\n')) {
      Progress.Clear();
      return Output_Failed(Err);
    }
  }
  Progress.Clear();
  return Status;
}

// --watch: the folder's frames, then each new one once complete, a JSON line each, until a
// closing signal; that ends the watch normally. With --notify each new frame in outburst is
// a desktop notification; no notification service is a note.
int Watch_Folder(const TMeasure_Options& Options, const TSettings& Settings,
                 const TTarget_Catalogue& Catalogue, const TMeasure_Environment& Environment,
                 TProgress& Progress, std::ostream& Out, std::ostream& Err) {
  std::optional<TDesktop_Notifier> Notifier;
  if (Options.Notify)
    Notifier.emplace();
  const std::optional<TSolve_Options> Solving = Solving_Of(Options, Environment, Err);
  const auto Measure = [&](const std::vector<std::string>& Files, bool Arrived) {
    for (const std::string& File : Files) {
      // A closing signal ends the watch at a file boundary, as it ends a batch.
      if (Environment.Stop_Asked && Environment.Stop_Asked())
        return true;
      int Ignored = 0;
      const TMeasure_Result Result = Measure_And_Report(
          File, Options, Settings, Catalogue, Solving ? &*Solving : nullptr, Progress, Err, Ignored);
      if (!Written(Out, Json_Line(Result) + '\n'))
        return false;
      if (Notifier && Arrived && Shows_Outburst(Result)) {
        const TOutburst_Notice Notice = Outburst_Notice(Result);
        if (const std::string Why = Notifier->Notify(Notice.Summary, Notice.Body); !Why.empty())
          Print_Error(Err, File, "note: no notification: " + Why);
      }
    }
    return true;
  };
  try {
    TFolder_Watcher Watcher(*Options.Watch_Dir);
    if (!Measure(Watcher.Initial_Frames(), false))
      return Output_Failed(Err);
    for (;;) {
      const std::vector<std::string> Files = Watcher.Wait_For_Frames(Environment.Stop_Asked);
      if (Files.empty())
        return Exit_All_Measured;
      if (!Measure(Files, true))
        return Output_Failed(Err);
    }
  } catch (const std::exception& E) {
    Print_Error(Err, *Options.Watch_Dir, E.what());
    return Exit_Error;
  }
}

} // namespace

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
  TSettings Settings;
  if (const std::optional<int> Stop = Load_Settings(Options, Environment, Settings, Err))
    return *Stop;
  TProgress Progress(Err, Environment.Show_Progress && Options.Files.size() > 3);
  auto Catalogue = std::make_unique<TTarget_Catalogue>();
  if (const std::optional<int> Stop =
          Load_Catalogue(Options, Settings, Environment.Decimal_Separator, Progress, *Catalogue, Err))
    return *Stop;
  if (Options.Watch_Dir)
    return Watch_Folder(Options, Settings, *Catalogue, Environment, Progress, Out, Err);
  return Measure_Files(Options, Settings, *Catalogue, Environment, Progress, Out, Err);
}
