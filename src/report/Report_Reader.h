#pragma once
// Reading AAVSO extended-format files back, for light curves: the reports Korvane writes
// (one data line each) and other extended files with any number of data lines. A folder is
// read whole and its observations grouped by target. A line that cannot be read is skipped
// and counted, never fatal; a file that is no extended-format report is passed over.

#include "catalogue/Target_Data.h"

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One data line. Texts are UTF-8 (the reports are ISO 8859-1; a file already in UTF-8 is
// taken as it is).
struct TObservation {
  double JD = 0.0;                                            // the DATE column, days
  double Magnitude = 0.0;                                     // MAG without its "<"
  double Error = std::numeric_limits<double>::quiet_NaN();    // MERR; NaN for "na"
  bool Limit = false;                                         // MAG began with "<": fainter than Magnitude
  std::string Filter;                                         // FILT
  std::string Comp_Name;                                      // CNAME
  double Comp_Mag = std::numeric_limits<double>::quiet_NaN(); // CMAG; NaN for "na"
  std::string Chart;                                          // CHART
  std::string File;                                           // path of the file holding the line
};

// The observations of one target, JD ascending (equal dates in file and line order).
struct TTarget_History {
  std::string Name; // as the first file in name order writes it
  std::vector<TObservation> Observations;
};

// The most observations read from one folder: enough for a lifetime of reports, and a bound
// on the memory a folder of huge or hostile files can take.
inline constexpr size_t Max_Folder_Observations = 200000;

struct TReport_Folder {
  std::vector<TTarget_History> Targets; // by name, letter case ignored
  size_t Observations = 0;              // in all targets; at most Max_Folder_Observations
  bool Observations_Cut = false;        // the bound was reached: later lines and files were not read
  size_t Files_Read = 0;                // extended-format files whose lines were read
  size_t Files_Passed_Over = 0;         // other files of the folder (images, notes, ...)
  size_t Skipped_Lines = 0;             // data lines that could not be read
  std::vector<std::string> Problems;    // one text per file that had skipped lines or could not be read
  std::unordered_map<std::string, size_t> Index; // Target_Key of each target: its place in Targets
};

// Target names are compared ignoring letter case and with runs of blanks taken as one
// blank, so "SS Cyg", "SS CYG" and "SS  Cyg" are one target.
std::string Target_Key(std::string_view Name);

// Adds the data lines of one file's text to Folder (File is recorded with each observation
// and named in problems). The text is an extended-format report when its first line that is
// not blank reads "#TYPE=EXTENDED"; otherwise the file is passed over. Headers "#DELIM="
// (a character, or "comma" or "tab") and "#DATE=" (JD or HJD) are honoured. A data line is
// read when it has the fifteen columns NAME, DATE, MAG, MERR, FILT, TRANS, MTYPE, CNAME,
// CMAG, KNAME, KMAG, AMASS, GROUP, CHART, NOTES, a name, a positive date and a magnitude;
// any other data line is skipped and counted. Targets are sorted afterwards by
// Sort_Report_Folder.
void Read_Report_Text(std::string_view Text, const std::string& File, TReport_Folder& Folder);
void Sort_Report_Folder(TReport_Folder& Folder);

// Every regular file directly in Folder, in name order, except hidden files and the
// temporary files of a write in progress (".tmp"); files larger than 64 MiB are passed over
// with a problem text, and reading ends with one once Max_Folder_Observations are read.
// Problem texts quote at most 80 characters of a field. Throws TKorvane_Error when the folder itself cannot
// be listed.
TReport_Folder Read_Report_Folder(const std::string& Folder);

// The history of the target called Name (compared as Target_Key does); nullptr when the
// folder holds none.
const TTarget_History* Find_Target(const TReport_Folder& Folder, std::string_view Name);

// The outburst threshold of the catalogue's target called Name (compared as Target_Key
// does), magnitudes; nothing when the catalogue has no such target or its threshold is 0,
// which is what the loader keeps for an empty field.
std::optional<double> Catalogue_Threshold(const TTarget_Catalogue& Catalogue, std::string_view Name);

// The observations as CSV for scripts and plotting tools: the title row
// "JD,MAG,MERR,LIMIT,FILT,CNAME,CMAG,CHART,FILE", then one row per observation in the given
// order. JD with five decimals, MAG, MERR and CMAG in their shortest exact form (empty when
// "na"), LIMIT 1 for a limit and 0 otherwise; a text holding a comma, a quote or a line
// break is quoted. Lines end with "\n".
std::string Light_Curve_CSV(const std::vector<TObservation>& Observations);

// The calendar date and time in UTC of a Julian date, to the nearest second:
// "2014-01-02 03:07:30". Dates before year 1 or after 9999 (and NaN) give "".
std::string Calendar_Text(double JD);

// The tooltip of one observation on three lines: "JD 2456659.63021", the calendar date
// followed by " UTC", and "V 12.346 ± 0.021" (a limit: "V fainter than 13.520"; no error
// known: the magnitude alone). Numbers take Separator as decimal separator.
std::string Observation_Text(const TObservation& Observation, char Separator);

// The ranges that show a light curve whole: every observation with its error bar (limits
// have none) and the threshold, with a margin of 3 % of the dates (one day at least when all
// share one date) and 5 % of the magnitudes (0.1 at least). Empty observations give 0 to 1.
struct TLight_Curve_Extent {
  double JD_Low = 0.0, JD_High = 1.0;   // days
  double Mag_Low = 0.0, Mag_High = 1.0; // magnitudes, the brightest first
};
TLight_Curve_Extent Light_Curve_Extent(const std::vector<TObservation>& Observations,
                                       std::optional<double> Threshold);

// How many decimals tell apart axis labels Step apart: 0 for a day or more, up to 5; 3 for a
// step that is not positive.
int Label_Decimals(double Step);
