#pragma once
// The target catalogue and its comma-separated file.

#include "text/Messages.h"
#include "text/Number_Format.h"

#include <array>
#include <string>
#include <string_view>

struct TTargetData {
  std::string Name;
  double RA = 0.0;  // hours
  double Dec = 0.0; // degrees
  std::string RName;
  double RRA = 0.0;  // hours
  double RDec = 0.0; // degrees
  char RFilter = '\0';
  double Rmag = 0.0;
  double Threshold = 0.0;
  std::string ChartName;
  // The check star, from the optional columns after the chart; KName empty without one.
  std::string KName;
  double KRA = 0.0;  // hours
  double KDec = 0.0; // degrees
  double Kmag = 0.0; // catalogue magnitude in the comparison star's filter
};

constexpr int Max_Targets = 200;

struct TTarget_Catalogue {
  std::array<TTargetData, Max_Targets> Targets; // entry 1 is Targets[0]
  int NTargets = 0;
};

// Outcome of a load for the catalogue panel. Panel_Changed is false when the panel keeps
// its text (missing file). Too_Many is true when the file goes on after Max_Targets entries
// (an empty line counts): the rest was not read, and the panel says "Too many".
struct TLoad_Outcome {
  bool Panel_Changed = false;
  std::string Panel_Text;
  bool Too_Many = false;
};

// The field reader over one line: returns the text up to the next comma (consumed) or the
// end of the line; at the end it returns empty fields. Spos is 1-based as in the loader.
class TField_Reader {
public:
  explicit TField_Reader(std::string_view Line) : Stringin(Line) {}
  std::string Next_Field();

private:
  std::string_view Stringin;
  size_t Spos = 1;
};

// Sexagesimal conversions (fields as text). The seconds take Separator or a point as their
// decimal separator.
double Sexagesimal_RA(std::string_view Hours, std::string_view Minutes, std::string_view Seconds,
                      char Separator);
double Sexagesimal_Dec(std::string_view Degrees, std::string_view Minutes, std::string_view Seconds,
                       char Separator);

// Loads the target file at DataFileName into Catalogue. A missing file shows
// DataFileName + " not found" through Messages and changes nothing. Decimal fields (seconds,
// reference magnitude, threshold) take the user's separator from Format or a point, so that
// a file reads the same under every regional setting. A field that does not convert, a
// non-empty threshold included, throws TKorvane_Error with the documented text; the
// complete entries before the faulty line stay loaded and counted. An empty threshold is 0.
// A line without a name is skipped and takes no slot. A file that cannot be opened or read,
// an empty filter field for a named reference star and a line longer than 64 KiB throw
// TKorvane_Error too. After the chart, a check star may follow (name, RA, Dec, magnitude);
// a line that names one converts its fields like the comparison star's.
TLoad_Outcome Load_Targets(const std::string& DataFileName, TTarget_Catalogue& Catalogue,
                           const TNumber_Format& Format, TMessages& Messages);

// The same load from the whole content of a target file held in memory.
TLoad_Outcome Load_Targets_From_Text(std::string_view Content, TTarget_Catalogue& Catalogue,
                                     const TNumber_Format& Format);
