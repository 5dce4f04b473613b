#pragma once
// The state code of an image (Last_Error): what its analysis came to. The window's panels,
// korvane-measure and the automation interface all show these codes and their texts.

#include "text/Number_Format.h"

#include <cstdint>
#include <string>

enum class TResult_Code : int32_t {
  Measured = 0,         // both stars measured, results valid
  Not_Measured = 1,     // nothing measured yet (a new image, or an empty catalogue)
  Not_Plate_Solved = 2, // the image has no usable world coordinates
  No_Star = 3,          // the variable's centre lies outside the measurable area
  No_Reference = 4,     // the comparison star's centre lies outside it, or Max_Error is out of reach
  No_Data = 5,          // the catalogue entry names no comparison star
  No_Report_Dir = 6,    // the report file could not be created
};

// The code as the number scripts and files see.
constexpr int32_t Code_Number(TResult_Code Code) {
  return static_cast<int32_t>(Code);
}

// The text the result panels show for an error state: "Not Plate Solved", "No star!",
// "No reference!", "No data!", "No report dir!". Empty for Measured and Not_Measured,
// which show the results or nothing.
std::string Result_Code_Text(TResult_Code Code);

class TImage_Model;

// The variable's result as the panels, the report and korvane-measure show it, with three
// decimals: the magnitude with "<" before a limit, and its error, which for a limit is the
// largest acceptable error.
struct TResult_Text {
  std::string Magnitude; // "13.218", or "<14.100" for a limit
  std::string Error;     // "0.023", or Max_Error for a limit
};
TResult_Text Result_Text(const TImage_Model& Image, double Max_Error, char Decimal_Separator);

// What the top result panels show for a measured image (code Measured).
struct TMeasured_Panels {
  std::string Reference;    // "ref 11.234V"
  std::string Magnitude;    // "mag 13.218", or "mag <14.100" for a limit
  std::string STDEV;        // "stdev 0.023"; for a limit the largest acceptable error
  std::string Plate_Solved; // "Plate Solved"
  std::string Outburst;     // "Outburst" (shown red) or "Quiescent" (shown green)
  std::string Chart;        // "Chart: " and the chart name
  std::string Image_Filter; // the image's filter letter and " filter"
};
TMeasured_Panels Measured_Panel_Texts(const TImage_Model& Image, double Max_Error,
                                      const TNumber_Format& Format);
