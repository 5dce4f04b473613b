#include "catalogue/Target_Data.h"

#include "text/Input_File.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace {

// A target line is some hundred characters. A longer line than this is not a target file,
// and reading it whole would let a damaged file take any amount of memory.
constexpr size_t Max_Line_Length = 64 * 1024;

std::string Too_Long_Text(long long Line_Number, const std::string& File_Name) {
  return "Line " + std::to_string(Line_Number) + " of the target file" +
         (File_Name.empty() ? std::string() : " " + File_Name) + " is longer than " +
         std::to_string(Max_Line_Length) + " characters";
}

// Lines of the target file, each without its line end (LF, or CR LF).
class TLine_Source {
public:
  virtual ~TLine_Source() = default;
  virtual bool At_End() = 0;
  virtual std::string Read_Line() = 0;
  // The 1-based number of the line read last.
  long long Line() const { return Line_Number; }

protected:
  long long Line_Number = 0;
};

class TText_Lines : public TLine_Source {
public:
  explicit TText_Lines(std::string_view Content) : Text(Content) {}
  bool At_End() override { return Pos >= Text.size(); }
  std::string Read_Line() override {
    ++Line_Number;
    const size_t Begin = Pos;
    size_t End = Text.find('\n', Pos);
    if (End == std::string_view::npos) {
      End = Text.size();
      Pos = End;
    } else {
      Pos = End + 1;
    }
    if (End > Begin && Text[End - 1] == '\r')
      --End;
    if (End - Begin > Max_Line_Length)
      throw TKorvane_Error(Too_Long_Text(Line_Number, std::string()));
    return std::string(Text.substr(Begin, End - Begin));
  }

private:
  std::string_view Text;
  size_t Pos = 0;
};

class TFile_Lines : public TLine_Source {
public:
  explicit TFile_Lines(TInput_File& Input) : File(Input), Buffer(64 * 1024) {}

  bool At_End() override { return Begin == End && !Refill(); }

  std::string Read_Line() override {
    ++Line_Number;
    std::string Line;
    for (;;) {
      if (Begin == End && !Refill())
        break;
      size_t Stop = Begin;
      while (Stop < End && Buffer[Stop] != '\n')
        ++Stop;
      Line.append(Buffer.data() + Begin, Stop - Begin);
      // One more character is allowed for the CR of the line end.
      if (Line.size() > Max_Line_Length + 1)
        throw TKorvane_Error(Too_Long_Text(Line_Number, File.Path()));
      if (Stop < End) {
        Begin = Stop + 1;
        break;
      }
      Begin = End;
    }
    if (!Line.empty() && Line.back() == '\r')
      Line.pop_back();
    if (Line.size() > Max_Line_Length)
      throw TKorvane_Error(Too_Long_Text(Line_Number, File.Path()));
    return Line;
  }

private:
  bool Refill() {
    Begin = 0;
    End = File.Read(Buffer.data(), Buffer.size());
    return End > 0;
  }

  TInput_File& File;
  std::vector<char> Buffer;
  size_t Begin = 0, End = 0;
};

int To_Int(std::string_view Text) {
  return static_cast<int>(Str_To_Int(Text, INT32_MIN, INT32_MAX));
}

// The next three fields (whole units, minutes, seconds) through Sexagesimal_RA or
// Sexagesimal_Dec, read in file order.
double Next_Sexagesimal(TField_Reader& Fields,
                        double (*Convert)(std::string_view, std::string_view, std::string_view, char),
                        char Separator) {
  const std::string Whole = Fields.Next_Field(), Minutes = Fields.Next_Field(), Seconds = Fields.Next_Field();
  return Convert(Whole, Minutes, Seconds, Separator);
}

// One entry line; nothing for a line without a name, which would never be searched and
// takes no slot, so that the counted entries stay contiguous. A field that does not convert
// throws TKorvane_Error.
std::optional<TTargetData> Parse_Entry(const std::string& Stringin, char Separator) {
  TField_Reader Fields(Stringin);
  TTargetData Entry;
  Entry.Name = Fields.Next_Field();
  if (Entry.Name.empty())
    return std::nullopt;
  Entry.RA = Next_Sexagesimal(Fields, Sexagesimal_RA, Separator);
  Entry.Dec = Next_Sexagesimal(Fields, Sexagesimal_Dec, Separator);
  Entry.RName = Fields.Next_Field();
  if (!Entry.RName.empty()) {
    Entry.RRA = Next_Sexagesimal(Fields, Sexagesimal_RA, Separator);
    Entry.RDec = Next_Sexagesimal(Fields, Sexagesimal_Dec, Separator);
    const std::string Filter = Fields.Next_Field();
    if (Filter.empty())
      throw TKorvane_Error("The target " + Entry.Name + " names the reference star " + Entry.RName +
                           " but gives no filter for it");
    Entry.RFilter = Filter[0];
    Entry.Rmag = Str_To_Float_Or_Point(Fields.Next_Field(), Separator);
    // An empty threshold means none (0). One that does not convert ends the load like the
    // other decimal fields: read as 0 it would silently turn every outburst into quiescence.
    const std::string Threshold = Fields.Next_Field();
    Entry.Threshold = Threshold.empty() ? 0.0 : Str_To_Float_Or_Point(Threshold, Separator);
    Entry.ChartName = Fields.Next_Field();
    Entry.KName = Fields.Next_Field();
    if (!Entry.KName.empty()) {
      // The check star's columns are new to most files: a fault names the columns.
      const std::string About = "The check star " + Entry.KName + " of the target " + Entry.Name + ": ";
      const auto Named = [&](const char* Columns, auto Read) {
        try {
          return Read();
        } catch (const TKorvane_Error& Error) {
          throw TKorvane_Error(About + Columns + ": " + Error.what());
        }
      };
      Entry.KRA =
          Named("KRAh, KRAm, KRAs", [&] { return Next_Sexagesimal(Fields, Sexagesimal_RA, Separator); });
      Entry.KDec =
          Named("KDecd, KDecm, KDecs", [&] { return Next_Sexagesimal(Fields, Sexagesimal_Dec, Separator); });
      const std::string Kmag = Fields.Next_Field();
      if (Kmag.empty())
        throw TKorvane_Error(About + "Kmag: no magnitude is given");
      Entry.Kmag = Named("Kmag", [&] { return Str_To_Float_Or_Point(Kmag, Separator); });
    }
  }
  return Entry;
}

// Reads the entries of an opened target file. Complete entries are stored from slot 1 up
// and counted at once, so that a failing line leaves the entries before it loaded and counted.
TLoad_Outcome Load_Lines(TLine_Source& Lines, TTarget_Catalogue& Catalogue, const TNumber_Format& Format) {
  for (int Header = 0; Header < 3; ++Header)
    if (!Lines.At_End())
      Lines.Read_Line();
  Catalogue.NTargets = 0;
  while (!Lines.At_End() && Catalogue.NTargets < Max_Targets) {
    const std::string Stringin = Lines.Read_Line();
    if (Stringin.empty())
      continue;
    std::optional<TTargetData> Entry;
    try {
      Entry = Parse_Entry(Stringin, Format.Decimal_Separator);
    } catch (const TKorvane_Error& Error) {
      throw TLine_Error(Error.what(), Lines.Line());
    }
    if (!Entry)
      continue;
    Catalogue.Targets[static_cast<size_t>(Catalogue.NTargets)] = std::move(*Entry);
    ++Catalogue.NTargets;
  }
  TLoad_Outcome Outcome;
  Outcome.Panel_Changed = true;
  Outcome.Too_Many = !Lines.At_End();
  Outcome.Panel_Text = Outcome.Too_Many ? "Too many (" + std::to_string(Catalogue.NTargets) + ") Targets"
                                        : std::to_string(Catalogue.NTargets) + " Targets Loaded";
  return Outcome;
}

} // namespace

std::string TField_Reader::Next_Field() {
  std::string Field;
  while (Spos != Stringin.size() + 1) {
    const char c = Stringin[Spos - 1];
    ++Spos;
    if (c == ',')
      break;
    Field += c;
  }
  return Field;
}

double Sexagesimal_RA(std::string_view Hours, std::string_view Minutes, std::string_view Seconds,
                      char Separator) {
  // The seconds are converted first: a line of blanks fails on its empty seconds field.
  const long double S = Str_To_Float_Or_Point(Seconds, Separator);
  const long double H = To_Int(Hours);
  const long double M = To_Int(Minutes);
  return static_cast<double>(H + M / 60 + S / 3600);
}

double Sexagesimal_Dec(std::string_view Degrees, std::string_view Minutes, std::string_view Seconds,
                       char Separator) {
  const long double S = Str_To_Float_Or_Point(Seconds, Separator);
  const long double D = To_Int(Degrees);
  const long double M = To_Int(Minutes);
  // The sign is taken from the text, so that -0 or -00 degrees is south: only a "-" as the
  // very first character counts.
  if (!Degrees.empty() && Degrees[0] == '-')
    return static_cast<double>(D - M / 60 - S / 3600);
  return static_cast<double>(D + M / 60 + S / 3600);
}

TLoad_Outcome Load_Targets(const std::string& DataFileName, TTarget_Catalogue& Catalogue,
                           const TNumber_Format& Format, TMessages& Messages) {
  std::optional<TInput_File> File = TInput_File::Open_If_Exists(DataFileName);
  if (!File) {
    Messages.Show(DataFileName + " not found");
    return TLoad_Outcome{};
  }
  TFile_Lines Lines(*File);
  return Load_Lines(Lines, Catalogue, Format);
}

TLoad_Outcome Load_Targets_From_Text(std::string_view Content, TTarget_Catalogue& Catalogue,
                                     const TNumber_Format& Format) {
  TText_Lines Lines(Content);
  return Load_Lines(Lines, Catalogue, Format);
}
