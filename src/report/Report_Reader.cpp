#include "report/Report_Reader.h"

#include "sky/Sky.h"
#include "text/Input_File.h"
#include "text/Messages.h"
#include "text/Number_Format.h"
#include "text/Text_Encoding.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

namespace {

constexpr uint64_t Largest_Report_File = 64ull << 20; // bytes
constexpr size_t Header_Probe = 4096;                 // bytes read to tell a report from other files
constexpr size_t Report_Columns = 15;

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool Same_Word(std::string_view Text, std::string_view Word) {
  return Text.size() == Word.size() && std::equal(Text.begin(), Text.end(), Word.begin(),
                                                  [](char a, char b) { return Upper(a) == Upper(b); });
}

// The first non-blank line of Text, trimmed, tells whether it is an extended-format file.
bool Is_Extended_Report(std::string_view Text) {
  size_t Start = 0;
  while (Start < Text.size()) {
    const size_t End = std::min(Text.find('\n', Start), Text.size());
    const std::string Line = Trim_Controls(Text.substr(Start, End - Start));
    if (!Line.empty()) {
      const size_t Equals = Line.find('=');
      return Equals != std::string::npos && Same_Word(Trim_Controls(Line.substr(0, Equals)), "#TYPE") &&
             Same_Word(Trim_Controls(Line.substr(Equals + 1)), "EXTENDED");
    }
    Start = End + 1;
  }
  return false;
}

// The delimiter a "#DELIM=" line names; nothing for one that could not separate numbers.
std::optional<char> Delimiter_Of(std::string_view Raw_Value) {
  if (Raw_Value.size() == 1 && Raw_Value[0] == '\t')
    return '\t';
  const std::string Value = Trim_Controls(Raw_Value);
  if (Same_Word(Value, "comma"))
    return ',';
  if (Same_Word(Value, "tab"))
    return '\t';
  if (Value.size() != 1)
    return std::nullopt;
  const char c = Value[0];
  const bool Alphanumeric = (c >= '0' && c <= '9') || (Upper(c) >= 'A' && Upper(c) <= 'Z');
  if (Alphanumeric || std::string_view(".+-<#\"").find(c) != std::string_view::npos ||
      static_cast<unsigned char>(c) >= 0x80)
    return std::nullopt;
  return c;
}

std::optional<double> Number_Of(std::string_view Text) {
  const std::optional<double> Value = Try_Str_To_Float(Text, '.');
  if (!Value || !std::isfinite(*Value))
    return std::nullopt;
  return Value;
}

// A column that may read "na": NaN then.
std::optional<double> Number_Or_Missing(std::string_view Text) {
  if (Same_Word(Text, "na"))
    return std::numeric_limits<double>::quiet_NaN();
  return Number_Of(Text);
}

// One data line; the reason it cannot be read otherwise.
struct TParsed_Line {
  std::string Name;
  TObservation Observation;
  std::string Why;
};

// Text from a file as a message quotes it: at most Longest_Quote bytes of it (not cutting a
// UTF-8 character), "..." marking the cut, inside quotes.
constexpr size_t Longest_Quote = 80;
std::string Quoted(std::string_view Text) {
  if (Text.size() <= Longest_Quote)
    return "'" + std::string(Text) + "'";
  size_t Cut = 0;
  while (Cut + Character_Length(Text, Cut) <= Longest_Quote)
    Cut += Character_Length(Text, Cut);
  return "'" + std::string(Text.substr(0, Cut)) + "...'";
}

TParsed_Line Parse_Data_Line(std::string_view Line, char Delimiter) {
  TParsed_Line Parsed;
  std::vector<std::string> Fields;
  for (size_t Start = 0;;) {
    const size_t End = Line.find(Delimiter, Start);
    Fields.push_back(
        Trim_Controls(Line.substr(Start, End == std::string_view::npos ? Line.npos : End - Start)));
    if (End == std::string_view::npos || Fields.size() > Report_Columns)
      break;
    Start = End + 1;
  }
  if (Fields.size() != Report_Columns) {
    Parsed.Why = Fields.size() > Report_Columns ? "more than 15 columns" : "fewer than 15 columns";
    return Parsed;
  }
  TObservation& O = Parsed.Observation;
  Parsed.Name = To_UTF8(Fields[0]);
  std::string_view Magnitude = Fields[2];
  O.Limit = !Magnitude.empty() && Magnitude[0] == '<';
  if (O.Limit)
    Magnitude.remove_prefix(1);
  const std::optional<double> JD = Number_Of(Fields[1]), Mag = Number_Of(Magnitude),
                              Error = Number_Or_Missing(Fields[3]), Comp_Mag = Number_Or_Missing(Fields[8]);
  if (Parsed.Name.empty())
    Parsed.Why = "no target name";
  else if (!JD || *JD <= 0.0)
    Parsed.Why = "the date " + Quoted(Fields[1]) + " is not a Julian date";
  else if (!Mag)
    Parsed.Why = "the magnitude " + Quoted(Fields[2]) + " is not a number";
  else if (!Error || *Error < 0.0)
    Parsed.Why = "the error " + Quoted(Fields[3]) + " is not a number of 0 or more, nor na";
  else if (!Comp_Mag)
    Parsed.Why = "the comparison magnitude " + Quoted(Fields[8]) + " is not a number, nor na";
  if (!Parsed.Why.empty())
    return Parsed;
  O.JD = *JD;
  O.Magnitude = *Mag;
  O.Error = *Error;
  O.Comp_Mag = *Comp_Mag;
  O.Filter = To_UTF8(Fields[4]);
  O.Comp_Name = To_UTF8(Fields[7]);
  O.Chart = To_UTF8(Fields[13]);
  return Parsed;
}

void Add_Observation(TReport_Folder& Folder, const std::string& Name, TObservation Observation) {
  const auto [Place, Added] = Folder.Index.try_emplace(Target_Key(Name), Folder.Targets.size());
  if (Added)
    Folder.Targets.push_back(TTarget_History{Name, {}});
  Folder.Targets[Place->second].Observations.push_back(std::move(Observation));
}

// Shortest text that reads back as the same number, never in exponent form; empty for NaN.
std::string Exact_Number(double Value) {
  if (!std::isfinite(Value))
    return {};
  char Buffer[400];
  const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value, std::chars_format::fixed);
  return std::string(Buffer, Result.ptr);
}

std::string CSV_Text(const std::string& Text) {
  if (Text.find_first_of(",\"\r\n") == std::string::npos)
    return Text;
  std::string Quoted = "\"";
  for (char c : Text) {
    if (c == '"')
      Quoted += '"';
    Quoted += c;
  }
  return Quoted + "\"";
}

} // namespace

std::string Target_Key(std::string_view Name) {
  std::string Key;
  bool Blank = false;
  for (char c : Trim_Controls(Name)) {
    if (c == ' ' || c == '\t') {
      Blank = true;
      continue;
    }
    if (Blank)
      Key += ' ';
    Blank = false;
    Key += Upper(c);
  }
  return Key;
}

void Read_Report_Text(std::string_view Text, const std::string& File, TReport_Folder& Folder) {
  if (!Is_Extended_Report(Text)) {
    ++Folder.Files_Passed_Over;
    return;
  }
  ++Folder.Files_Read;
  std::optional<char> Delimiter = ',';
  std::string Unusable_Header; // why the data lines cannot be read, when a header says so
  size_t Skipped = 0, First_Skipped_Line = 0;
  std::string First_Reason;
  size_t Line_Number = 0;
  for (size_t Start = 0; Start < Text.size();) {
    const size_t End = std::min(Text.find('\n', Start), Text.size());
    std::string_view Line = Text.substr(Start, End - Start);
    Start = End + 1;
    ++Line_Number;
    if (!Line.empty() && Line.back() == '\r')
      Line.remove_suffix(1);
    if (Trim_Controls(Line).empty())
      continue;
    if (Line[0] == '#') {
      const size_t Equals = Line.find('=');
      if (Equals == std::string_view::npos)
        continue;
      const std::string Key = Trim_Controls(Line.substr(1, Equals - 1));
      const std::string_view Value = Line.substr(Equals + 1);
      if (Same_Word(Key, "DELIM")) {
        Delimiter = Delimiter_Of(Value);
        Unusable_Header = Delimiter ? "" : "the delimiter " + Quoted(Value) + " cannot be used";
      } else if (Same_Word(Key, "DATE")) {
        const std::string Kind = Trim_Controls(Value);
        Unusable_Header = Same_Word(Kind, "JD") || Same_Word(Kind, "HJD")
                              ? ""
                              : "dates given as " + Quoted(Kind) + " are not read (only JD and HJD)";
      }
      continue;
    }
    TParsed_Line Parsed;
    if (Unusable_Header.empty())
      Parsed = Parse_Data_Line(Line, *Delimiter);
    else
      Parsed.Why = Unusable_Header;
    if (Parsed.Why.empty()) {
      if (Folder.Observations == Max_Folder_Observations) {
        Folder.Observations_Cut = true;
        Folder.Problems.push_back(File + ": only the first " + std::to_string(Max_Folder_Observations) +
                                  " observations of the folder are read; the rest are passed over");
        break;
      }
      ++Folder.Observations;
      Parsed.Observation.File = File;
      Add_Observation(Folder, Parsed.Name, std::move(Parsed.Observation));
      continue;
    }
    if (Skipped++ == 0) {
      First_Skipped_Line = Line_Number;
      First_Reason = std::move(Parsed.Why);
    }
  }
  if (Skipped > 0) {
    Folder.Skipped_Lines += Skipped;
    Folder.Problems.push_back(File + ": " + std::to_string(Skipped) + (Skipped == 1 ? " line" : " lines") +
                              " skipped (line " + std::to_string(First_Skipped_Line) + ": " +
                              To_UTF8(First_Reason) + ")");
  }
}

void Sort_Report_Folder(TReport_Folder& Folder) {
  for (TTarget_History& Target : Folder.Targets)
    std::stable_sort(Target.Observations.begin(), Target.Observations.end(),
                     [](const TObservation& a, const TObservation& b) { return a.JD < b.JD; });
  std::sort(Folder.Targets.begin(), Folder.Targets.end(),
            [](const TTarget_History& a, const TTarget_History& b) {
              return Target_Key(a.Name) < Target_Key(b.Name);
            });
  Folder.Index.clear();
  for (size_t i = 0; i < Folder.Targets.size(); ++i)
    Folder.Index.emplace(Target_Key(Folder.Targets[i].Name), i);
}

TReport_Folder Read_Report_Folder(const std::string& Folder) {
  namespace fs = std::filesystem;
  std::error_code Error;
  std::vector<std::string> Names;
  for (fs::directory_iterator Entry(Folder, Error), End; !Error && Entry != End; Entry.increment(Error)) {
    const std::string Name = Entry->path().filename().string();
    const bool Temporary = Name.size() >= 4 && Name.compare(Name.size() - 4, 4, ".tmp") == 0;
    if (Name[0] != '.' && !Temporary)
      Names.push_back(Name);
  }
  if (Error)
    throw TKorvane_Error(Folder + ": cannot read the folder: " + Error.message());
  std::sort(Names.begin(), Names.end());

  TReport_Folder Reports;
  for (const std::string& Name : Names) {
    if (Reports.Observations_Cut)
      break;
    const std::string Path = Folder + "/" + Name;
    if (!fs::is_regular_file(Path, Error))
      continue; // folders, pipes, devices, dangling links
    try {
      TInput_File Input(Path);
      if (Input.Size() > Largest_Report_File) {
        ++Reports.Files_Passed_Over;
        Reports.Problems.push_back(Path + ": passed over, larger than 64 MiB");
        continue;
      }
      std::string Text(std::min<uint64_t>(Input.Size(), Header_Probe), '\0');
      Text.resize(Input.Read(Text.data(), Text.size()));
      if (Is_Extended_Report(Text) && Input.Size() > Text.size()) {
        const size_t Probe = Text.size();
        Text.resize(Input.Size());
        Text.resize(Probe + Input.Read(Text.data() + Probe, Text.size() - Probe));
      }
      Read_Report_Text(Text, Path, Reports);
    } catch (const TKorvane_Error& E) {
      ++Reports.Files_Passed_Over;
      Reports.Problems.push_back(E.what());
    }
  }
  Sort_Report_Folder(Reports);
  return Reports;
}

const TTarget_History* Find_Target(const TReport_Folder& Folder, std::string_view Name) {
  const auto Found = Folder.Index.find(Target_Key(Name));
  return Found == Folder.Index.end() ? nullptr : &Folder.Targets[Found->second];
}

std::optional<double> Catalogue_Threshold(const TTarget_Catalogue& Catalogue, std::string_view Name) {
  const std::string Key = Target_Key(Name);
  for (int i = 0; i < Catalogue.NTargets; ++i) {
    const TTargetData& Target = Catalogue.Targets[static_cast<size_t>(i)];
    if (Target_Key(Target.Name) == Key)
      return Target.Threshold != 0.0 ? std::optional<double>(Target.Threshold) : std::nullopt;
  }
  return std::nullopt;
}

std::string Light_Curve_CSV(const std::vector<TObservation>& Observations) {
  std::string CSV = "JD,MAG,MERR,LIMIT,FILT,CNAME,CMAG,CHART,FILE\n";
  for (const TObservation& O : Observations) {
    CSV += Format_Fixed(O.JD, 0, 5, '.') + "," + Exact_Number(O.Magnitude) + "," + Exact_Number(O.Error) +
           "," + (O.Limit ? "1" : "0") + "," + CSV_Text(O.Filter) + "," + CSV_Text(O.Comp_Name) + "," +
           Exact_Number(O.Comp_Mag) + "," + CSV_Text(O.Chart) + "," + CSV_Text(O.File) + "\n";
  }
  return CSV;
}

std::string Calendar_Text(double JD) {
  return ISO_Date_Of(JD, ' ');
}

std::string Observation_Text(const TObservation& O, char Separator) {
  std::string Text = "JD " + Format_Fixed(O.JD, 0, 5, Separator) + "\n" + Calendar_Text(O.JD) + " UTC\n";
  if (!O.Filter.empty())
    Text += O.Filter + " ";
  if (O.Limit)
    return Text + "fainter than " + Format_Fixed(O.Magnitude, 0, 3, Separator);
  Text += Format_Fixed(O.Magnitude, 0, 3, Separator);
  if (std::isfinite(O.Error))
    Text += " \u00b1 " + Format_Fixed(O.Error, 0, 3, Separator);
  return Text;
}

TLight_Curve_Extent Light_Curve_Extent(const std::vector<TObservation>& Observations,
                                       std::optional<double> Threshold) {
  if (Observations.empty())
    return {};
  TLight_Curve_Extent E{Observations.front().JD, Observations.front().JD, Observations.front().Magnitude,
                        Observations.front().Magnitude};
  for (const TObservation& O : Observations) {
    const double Bar = !O.Limit && std::isfinite(O.Error) ? O.Error : 0.0;
    E.JD_Low = std::min(E.JD_Low, O.JD);
    E.JD_High = std::max(E.JD_High, O.JD);
    E.Mag_Low = std::min(E.Mag_Low, O.Magnitude - Bar);
    E.Mag_High = std::max(E.Mag_High, O.Magnitude + Bar);
  }
  if (Threshold && std::isfinite(*Threshold)) {
    E.Mag_Low = std::min(E.Mag_Low, *Threshold);
    E.Mag_High = std::max(E.Mag_High, *Threshold);
  }
  const double JD_Margin = E.JD_High > E.JD_Low ? (E.JD_High - E.JD_Low) * 0.03 : 1.0;
  const double Mag_Margin = std::max((E.Mag_High - E.Mag_Low) * 0.05, 0.1);
  return {E.JD_Low - JD_Margin, E.JD_High + JD_Margin, E.Mag_Low - Mag_Margin, E.Mag_High + Mag_Margin};
}

int Label_Decimals(double Step) {
  if (!(Step > 0.0))
    return 3;
  return std::clamp(static_cast<int>(std::ceil(-std::log10(Step))), 0, 5);
}
