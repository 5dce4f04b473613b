#include "report/Report.h"

#include "sky/Sky.h"
#include "text/Messages.h"
#include "text/Number_Format.h"
#include "text/Output_File.h"
#include "text/Text_Encoding.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t Longest_File_Name = 255; // bytes, as Linux file systems allow

// One ISO 8859-1 byte as UTF-8.
std::string Latin1_Letter_To_UTF8(char Letter) {
  return Letter == '\0' ? std::string() : Latin1_To_UTF8(std::string_view(&Letter, 1));
}

[[noreturn]] void Refuse(std::string_view Label, std::string_view Text, const std::string& Why) {
  throw TKorvane_Error("Report not written: " + std::string(Label) + " \"" + std::string(Text) + "\" " + Why);
}

// A text of the model or the settings as ISO 8859-1; Label names it in an error.
std::string To_Latin1(std::string_view Text, std::string_view Label) {
  std::string Out;
  Out.reserve(Text.size());
  for (size_t i = 0; i < Text.size();) {
    const size_t Length = Character_Length(Text, i);
    const char32_t Code = Code_Point(Text, i, Length);
    if (Length == 1)
      Out += Text[i];
    else if (Code <= 0xFF)
      Out += static_cast<char>(Code);
    else {
      char Number[16];
      std::snprintf(Number, sizeof Number, "U+%04X", static_cast<unsigned>(Code));
      Refuse(Label, Text,
             "holds \"" + std::string(Text.substr(i, Length)) + "\" (" + Number +
                 "), which the report's ISO 8859-1 text cannot hold: replace it");
    }
    i += Length;
  }
  return Out;
}

// A text bound for the report: as ISO 8859-1, refused when it would break a line or, in a
// comma-separated column, shift the columns after it.
std::string Field(std::string_view Text, std::string_view Label, bool In_Column) {
  std::string Latin1 = To_Latin1(Text, Label);
  if (Latin1.find_first_of("\r\n") != std::string::npos)
    Refuse(Label, Text, "holds a line break: remove it");
  if (In_Column && Latin1.find(',') != std::string::npos)
    Refuse(Label, Text,
           "holds a comma, which would shift every later column of the report: remove the comma");
  return Latin1;
}

std::string Number(double Value, int Width, int Decimals) {
  return Format_Fixed(Value, Width, Decimals, '.');
}

std::string System_Text(int Error) {
  return std::error_code(Error, std::generic_category()).message();
}

// "; saturated: Reference" for each saturated star, after the exposure in the NOTES column.
std::string Saturated_Notes(const TImage_Model& Image) {
  std::string Notes;
  for (const std::string& Star : Image.Saturated)
    Notes += "; saturated: " + Star;
  return Notes;
}

} // namespace

TReport_Settings Report_Settings_Of(const TSettings& S) {
  return TReport_Settings{S.ReportFileDir, S.AAVSO_ObsCode, S.Notes, S.Max_Error};
}

std::string Report_Date_Tag(const std::string& Date_Obs) {
  std::vector<size_t> Starts;
  for (size_t i = 0; i < Date_Obs.size(); i += Character_Length(Date_Obs, i))
    Starts.push_back(i);
  if (Starts.size() < 3)
    return {};
  std::string Tag = Date_Obs.substr(Starts[1], Starts[Starts.size() - 2] - Starts[1]);
  for (char& c : Tag)
    if (c == ':')
      c = '_';
  return Tag;
}

std::string Report_File_Name(const TImage_Model& Image) {
  // Without DATE-OBS the date is the start of the exposure, from the time the header gave.
  std::string Tag = Report_Date_Tag(Image.Date_Obs);
  if (Image.Date_Obs.empty() && !Image.Time_From.empty()) {
    Tag = ISO_Date_Of(Image.JD - Image.Exposure / 172800.0);
    std::replace(Tag.begin(), Tag.end(), ':', '_');
  }
  return Image.ObjectName + "_" + Tag + ".txt";
}

TReport_Filter Report_Filter(char Image_Letter, char Ref_Letter) {
  TReport_Filter Filter;
  if (Image_Letter == 'L' && Ref_Letter == 'V') {
    Filter.Column = "CV";
    return Filter;
  }
  if (Image_Letter != '\0')
    Filter.Column = std::string(1, Image_Letter);
  if (Image_Letter != Ref_Letter)
    Filter.Message = "Image Filter = " + Latin1_Letter_To_UTF8(Image_Letter) +
                     ", Ref Filter = " + Latin1_Letter_To_UTF8(Ref_Letter);
  return Filter;
}

std::string Report_Text(const TImage_Model& Image, const TReport_Settings& Settings) {
  const std::string Filter = Report_Filter(Image.Image_Filter_Letter, Image.Ref_Filter_Letter).Column;
  if (Filter.find_first_of(",\r\n") != std::string::npos)
    Refuse("the image's filter letter", Latin1_Letter_To_UTF8(Filter[0]),
           "would break the report's columns: correct the FILTER card");
  const TResult_Text Result = Result_Text(Image, Settings.Max_Error, '.');
  const std::string Columns[] = {
      Field(Image.ObjectName, "the target name", true),
      Number(Image.JD, 7, 5),
      Result.Magnitude,
      Result.Error,
      Filter,
      "NO",
      "STD",
      Field(Image.ReferenceName, "the reference star's name", true),
      Number(Image.CMag, 2, 3),
      Image.Has_Check ? Field(Image.CheckName, "the check star's name", true) : std::string("na"),
      Image.Has_Check ? Number(Image.Check_CMag, 2, 3) : std::string("na"),
      Image.AirMass_From.empty() ? std::string("na") : Number(Image.AirMass, 2, 3),
      "na",
      Field(Image.ChartName, "the chart name", true),
      Field(Settings.Notes, "the Notes setting", true) + " " + Number(Image.Exposure, 4, 1) + " seconds" +
          Saturated_Notes(Image),
  };
  std::string Text = "#TYPE=EXTENDED\r\n"
                     "#OBSCODE=" +
                     Field(Settings.AAVSO_ObsCode, "the observer code", false) +
                     "\r\n"
                     "#SOFTWARE=Korvane V1.0\r\n"
                     "#DELIM=,\r\n"
                     "#DATE=JD\r\n"
                     "#OBSTYPE=CCD\r\n"
                     "#NAME,DATE,MAG,MERR,FILT,TRANS,MTYPE,CNAME,CMAG,KNAME,KMAG,AMASS,GROUP,CHART,NOTES\r\n";
  for (size_t k = 0; k < std::size(Columns); ++k) {
    Text += Columns[k];
    Text += k + 1 < std::size(Columns) ? "," : "\r\n";
  }
  return Text;
}

TReport_Outcome Write_AAVSO_Report(const TImage_Model& Image, const TReport_Settings& Settings) {
  TReport_Outcome Outcome;
  const std::string Name = Report_File_Name(Image);
  const std::string& Folder = Settings.ReportFileDir;
  Outcome.Path = Folder + "/" + Name;
  const auto Not_Created = [&](std::string Why) {
    Outcome.Reason = std::move(Why);
    return Outcome;
  };
  // The file lies in the report folder itself and nowhere else: a "/" from the target name
  // or DATE-OBS (a date written with slashes, a "../") would lead into other folders.
  // Only a measurement is reported: the fields of anything else hold no observation.
  if (!Image.Has_Measurement)
    return Not_Created("the image holds no measurement to report");
  if (Image.Time_From.empty()) {
    Outcome.No_Time = true;
    return Not_Created(
        "the image's header gives no time of observation: none of the cards " + std::string(Time_Cards_Text) +
        " is there" +
        (Image.Time_Problem.empty() ? std::string() : " and usable (" + Image.Time_Problem + ")"));
  }
  if (Folder.empty())
    return Not_Created("no report folder is set");
  // A line beginning with "#" is a comment to every reader of the format, and a file whose
  // name begins with "." is hidden: either observation would be lost.
  if (Image.ObjectName.empty())
    return Not_Created("the target has no name");
  if (Image.ObjectName[0] == '#')
    return Not_Created("the target name begins with \"#\", which makes the report's data line a comment");
  if (Image.ObjectName[0] == '.')
    return Not_Created("the target name begins with \".\", which makes the report a hidden file");
  if (Name.find('/') != std::string::npos)
    return Not_Created("the target name or the date from DATE-OBS holds a \"/\", which would lead out of "
                       "the report folder");
  if (Name.find('\0') != std::string::npos)
    return Not_Created("the file name holds a NUL character");
  if (Name.size() > Longest_File_Name)
    return Not_Created("the file name is longer than " + std::to_string(Longest_File_Name) + " bytes");
  if (Settings.Make_Folder) {
    std::error_code Ignored;
    std::filesystem::create_directories(Folder, Ignored);
  }
  struct stat Status {};
  if (::stat(Folder.c_str(), &Status) != 0) {
    const int Error = errno;
    return Not_Created(Error == ENOENT || Error == ENOTDIR
                           ? "the folder " + Folder + " does not exist"
                           : "the folder " + Folder + " cannot be reached: " + System_Text(Error));
  }
  if (!S_ISDIR(Status.st_mode))
    return Not_Created(Folder + " is not a folder");
  // The file is written beside its final name and renamed, so the folder must take new files.
  if (::faccessat(AT_FDCWD, Folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return Not_Created("no permission to write in the folder " + Folder);

  Write_File_Whole(Outcome.Path, Report_Text(Image, Settings));
  Outcome.Written = true;
  Outcome.Filter_Message = Report_Filter(Image.Image_Filter_Letter, Image.Ref_Filter_Letter).Message;
  return Outcome;
}
