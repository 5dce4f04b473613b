#pragma once
// A night of frames at once: each frame measured into a row of the night table (the same
// per-file step as korvane-measure), the row's texts, the table as CSV, the frames of a
// folder, and the rule that tells when a frame being written is complete.

#include "night/Frame_Result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One frame of the night: its result (without pixels or header cards, so that a night of
// thousands of frames stays small) and the findings of its reading and measuring.
struct TNight_Row {
  TMeasure_Result Result;
  std::string Problems; // each finding once, "; " between them; the error of a failed file
};

// Measures Path as korvane-measure does (Measure_File, reading only the pixels measured).
// Never throws for the file: a file that cannot be read is a row with its error.
TNight_Row Measure_Night_Frame(const std::string& Path, const TTarget_Catalogue& Catalogue,
                               const TSettings& Settings);

enum class TNight_Column { File, UTC, JD, Target, Magnitude, Error, State, Filter, Air_Mass, Problems };
constexpr int Night_Column_Count = 10;

// "File", "UTC", "JD", "Target", "Mag", "Error", "State", "Filter", "Air Mass", "Problems".
std::string Night_Column_Title(TNight_Column Column);

// A cell's text: the file's name without its folder; the time of mid-exposure in UTC
// ("2023-02-24 00:00:30") and as JD with five decimals, empty without a time; the target; the
// magnitude and error with three decimals ("<" and the limit, whose error is Max_Error),
// empty when not measured; the state ("Outburst", "Quiescent", "No star!", ..., "Error" for
// a file that could not be read); the filter letter; the air mass with three decimals, empty
// without one; the problems. Numbers take Decimal_Separator.
std::string Night_Cell(const TNight_Row& Row, TNight_Column Column, double Max_Error, char Decimal_Separator);

// The number a column sorts by (JD, magnitude, error, air mass); null for the text columns
// and for an empty cell.
std::optional<double> Night_Sort_Number(const TNight_Row& Row, TNight_Column Column);

// Whether the row is a measurement in outburst.
bool Shows_Outburst(const TMeasure_Result& Result);

// The table as CSV: the titles, then one line per row with the cells above (the file with its
// folder), decimal points, a cell holding a comma, a quote or a line break quoted. Lines end
// with "\n".
std::string Night_CSV(const std::vector<const TNight_Row*>& Rows, double Max_Error);

// The desktop notification of an outburst: "Outburst: NAME" and "mag 11.234 brighter than
// threshold 12.000 in FILE".
struct TOutburst_Notice {
  std::string Summary;
  std::string Body;
};
TOutburst_Notice Outburst_Notice(const TMeasure_Result& Result);

// A FITS file by its name: one of Fits_Name_Endings in any letter case, as Open Image lists.
bool Is_Fits_File_Name(std::string_view Name);

// The FITS files of Folder (not its subfolders), their paths sorted by name. Throws
// TKorvane_Error naming the folder when it cannot be read.
std::vector<std::string> List_Frames(const std::string& Folder);

// What a frame's header says of the file's length, read from its first records only.
struct TFrame_Extent {
  // A compressed file (gzip), or one that does not start as a FITS file: only a size that
  // stays the same tells that it is complete (the reader then judges it).
  bool Size_Only = false;
  bool Header_Ended = false; // the END card has been written
  uint64_t Header_Bytes = 0; // the header's records, END's included
  uint64_t Data_Bytes = 0;   // the data the header announces, unpadded
};
TFrame_Extent Read_Frame_Extent(const std::string& Path);

// The completeness rule: the header has ended and the file holds its data (or, for a file
// judged by its size, always). The caller adds that the size stayed the same for a while.
bool Frame_Complete(const TFrame_Extent& Extent, uint64_t File_Size);
