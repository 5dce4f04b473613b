#pragma once
// One frame measured as korvane-measure and the night table measure it: the analysed image
// without its pixels, or the error that abandoned the file.

#include "catalogue/Target_Data.h"
#include "image/Image_Model.h"
#include "settings/Settings.h"
#include "text/Messages.h"

#include <functional>
#include <optional>
#include <string>

// What the command reports of one file: the analysed image without its pixels, or the
// error that abandoned the file.
struct TMeasure_Result {
  std::string File;
  bool Failed = false;
  std::string Error;
  TImage_Model Image;                // result fields only: the pixel array and histogram are released
  bool Report_Asked = false;         // --report-dir was given: the JSON line has "Report"
  std::optional<std::string> Report; // the path of the report written for this file
};

// Opens Path in a fresh image model and, when it is plate-solved, analyses it against the
// catalogue, through the same core step as the program's Open Image command. Reader
// findings go to Messages, and a note when the header names distortion terms that are not
// applied. An error that abandons the file is caught and returned in Failed and Error. The
// pixels are released before the function returns.
// Solve, when given, plate-solves a frame that needs it (Open_And_Analyse).
TMeasure_Result Measure_File(const std::string& Path, const TTarget_Catalogue& Catalogue,
                             const TSettings& Settings, TMessages& Messages,
                             const TOpen_Options& Options = {},
                             const std::function<bool(TImage_Model&)>& Solve = {});

// Whether the file ended in a magnitude (or a limit).
bool Is_Measured(const TMeasure_Result& Result);

// The state as the result panels show it: "Outburst" or "Quiescent" for a measurement,
// "Not Plate Solved", "No star!", "No reference!", "No data!", "Not measured" for an
// empty catalogue, "error: " and the message for a file that could not be read.
std::string State_Text(const TMeasure_Result& Result);
