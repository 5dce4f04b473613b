#pragma once
// The AAVSO extended-format report: one file per measured image, named after the target and
// the image's DATE-OBS (without one, the exposure's start from the header's time), holding the seven header
// lines and one data line. The program's AAVSO button and korvane-measure both write it through
// Write_AAVSO_Report, so the same image and settings give the same bytes. Nothing here shows anything or
// changes the image model: the caller shows the outcome and sets AAVSO_Written and Last_Error from it.

#include "image/Image_Model.h"
#include "settings/Settings.h"

#include <string>

// The four settings the report reads.
struct TReport_Settings {
  std::string ReportFileDir; // folder of the reports
  std::string AAVSO_ObsCode; // observer code, on the "#OBSCODE=" line
  std::string Notes;         // start of the NOTES column, before the exposure
  double Max_Error = 1.0;    // the MERR of a limit (Less_Than non-zero), magnitudes
  bool Make_Folder = false;  // a missing ReportFileDir is made first (the default folder, on first use)
};
TReport_Settings Report_Settings_Of(const TSettings& S);

// The date part of the file name, cut from DATE-OBS as the reader keeps it: its last two
// characters and then its first are dropped, and every ':' becomes '_'. The common card
// (a quoted date, a blank, then the comment) gives the bare date: "'2014-01-02T03:04:05' "
// gives 2014-01-02T03_04_05.
std::string Report_Date_Tag(const std::string& Date_Obs);

// The report's file name: ObjectName, "_", the date tag and ".txt", as UTF-8 text.
std::string Report_File_Name(const TImage_Model& Image);

// The FILT column from the image's filter letter and the reference star's: equal letters give
// that letter, image L against reference V gives "CV", and any other pair gives the image's
// letter with Message "Image Filter = R, Ref Filter = V" for the caller to show. A letter
// '\0' (no filter known) is empty text.
struct TReport_Filter {
  std::string Column;  // ISO 8859-1, as the letters are read
  std::string Message; // UTF-8; empty when the letters agree
};
TReport_Filter Report_Filter(char Image_Letter, char Ref_Letter);

// The report file's bytes: ISO 8859-1 text, every line ending with CR LF, numbers always with
// a decimal point (the columns are separated by commas). The model's text is UTF-8; a byte
// that starts no valid UTF-8 sequence is taken as ISO 8859-1 already (a target file written
// in 8 bits). Throws TKorvane_Error naming the field when the target name, the reference
// star's name, the check star's name, the chart name or Notes holds a comma (it would shift every later
// column), when a text holds a line break, or when it holds a character outside ISO 8859-1. KNAME and KMAG
// hold the check star's name and instrumental magnitude when it was measured, "na" otherwise; NOTES ends with
// "; saturated: <star>" for each saturated star.
std::string Report_Text(const TImage_Model& Image, const TReport_Settings& Settings);

// What Write_AAVSO_Report came to.
struct TReport_Outcome {
  bool Written = false;       // false: code No_Report_Dir, nothing was written
  std::string Path;           // the report's path: the file written, or the one that could not be
  std::string Reason;         // when not written: why, for a caller that says more than the code
  bool No_Time = false;       // not written because the header gives no time of observation
  std::string Filter_Message; // when written: the filter mismatch message to show, or empty
};

// Writes the report of Image into Settings.ReportFileDir, whole or not at all, replacing any
// earlier file of the same name. The path is ReportFileDir, "/" and Report_File_Name. When the
// file cannot be created (no folder set, the folder missing or not writable, a target name or
// date tag holding "/" that would lead into another folder, a name the file system refuses)
// nothing is written and Written is false; so it is, with No_Time, when the header gives
// no time of observation (Time_From empty), the reason naming the cards looked for. Throws TKorvane_Error as
// Report_Text does, and when the writing fails (disk full, file-size limit); no file is then written and an
// earlier one stays as it was.
TReport_Outcome Write_AAVSO_Report(const TImage_Model& Image, const TReport_Settings& Settings);
