// korvane-measure as a script sees it: the built command run on synthetic fields, with its
// own HOME and XDG_CONFIG_HOME so that the user's files are never read or touched.

#include "cli/Measure_Command.h"
#include "report/Report.h"
#include "support/Recording_Messages.h"
#include "support/Run_Program.h"
#include "support/Star_Field.h"
#include "support/Test_Files.h"
#include "text/Number_Format.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------------------
// Running the command

void Write_File(const fs::path& Path, const std::string& Content) {
  fs::create_directories(Path.parent_path());
  std::ofstream File(Path, std::ios::binary | std::ios::trunc);
  File << Content;
  ASSERT_TRUE(File.good()) << Path;
}

// Runs the command in Work_Dir with HOME and XDG_CONFIG_HOME under Home_Root, where its
// standard output and error go too.
TProgram_Run Run_Command(const fs::path& Work_Dir, const fs::path& Home_Root,
                         const std::vector<std::string>& Args) {
  fs::create_directories(Home_Root / "home");
  fs::create_directories(Home_Root / "config");
  std::vector<std::string> Argv = {KORVANE_MEASURE_PATH};
  Argv.insert(Argv.end(), Args.begin(), Args.end());
  return Run_Program(Argv,
                     {"HOME=" + (Home_Root / "home").string(),
                      "XDG_CONFIG_HOME=" + (Home_Root / "config").string(), "PATH=/usr/bin:/bin", "LC_ALL=C"},
                     Work_Dir, Home_Root, 30);
}

// ---------------------------------------------------------------------------------------
// Reading JSON Lines back: one flat object of strings, numbers, booleans, null and lists of
// strings.

struct TJson_Value {
  char Kind = 0;    // 's' string, 'n' number, 'b' boolean, 'z' null, 'a' list of strings
  std::string Text; // the string, or the number's text, or "true"/"false"
  double Number = 0.0;
  std::vector<std::string> Items;
};
using TJson_Object = std::vector<std::pair<std::string, TJson_Value>>;

bool Parse_Json_String(const std::string& Line, size_t& i, std::string& Out) {
  if (Line[i] != '"')
    return false;
  for (++i; i < Line.size(); ++i) {
    const char c = Line[i];
    if (c == '"') {
      ++i;
      return true;
    }
    if (static_cast<unsigned char>(c) < 0x20)
      return false;
    if (c != '\\') {
      Out += c;
      continue;
    }
    if (++i == Line.size())
      return false;
    const char e = Line[i];
    if (e == '"' || e == '\\' || e == '/')
      Out += e;
    else if (e == 'u' && i + 4 < Line.size()) {
      unsigned Code = 0;
      if (std::from_chars(Line.data() + i + 1, Line.data() + i + 5, Code, 16).ptr != Line.data() + i + 5)
        return false;
      i += 4;
      if (Code < 0x80)
        Out += static_cast<char>(Code);
      else if (Code < 0x800) {
        Out += static_cast<char>(0xC0 | (Code >> 6));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
      } else
        return false; // the command escapes nothing above U+00FF
    } else
      return false;
  }
  return false;
}

// False when the line is not one flat JSON object.
bool Parse_Json_Line(const std::string& Line, TJson_Object& Object) {
  size_t i = 0;
  if (Line.empty() || Line[i++] != '{')
    return false;
  while (i < Line.size()) {
    std::string Key;
    if (!Parse_Json_String(Line, i, Key) || i >= Line.size() || Line[i++] != ':')
      return false;
    TJson_Value Value;
    if (Line[i] == '"') {
      Value.Kind = 's';
      if (!Parse_Json_String(Line, i, Value.Text))
        return false;
    } else if (Line[i] == '[') {
      Value.Kind = 'a';
      ++i;
      while (i < Line.size() && Line[i] != ']') {
        std::string Item;
        if (!Parse_Json_String(Line, i, Item) || i >= Line.size())
          return false;
        Value.Items.push_back(Item);
        if (Line[i] == ',' && ++i < Line.size() && Line[i] == ']')
          return false;
      }
      if (i++ >= Line.size())
        return false;
    } else {
      const size_t End = Line.find_first_of(",}", i);
      if (End == std::string::npos)
        return false;
      Value.Text = Line.substr(i, End - i);
      i = End;
      if (Value.Text == "true" || Value.Text == "false")
        Value.Kind = 'b';
      else if (Value.Text == "null")
        Value.Kind = 'z';
      else {
        Value.Kind = 'n';
        const char* First = Value.Text.data();
        const char* Last = First + Value.Text.size();
        if (Value.Text.empty() || Value.Text[0] == '+' ||
            std::from_chars(First, Last, Value.Number).ptr != Last)
          return false;
      }
    }
    Object.emplace_back(Key, Value);
    if (Line[i] == '}')
      return i + 1 == Line.size();
    if (Line[i++] != ',')
      return false;
  }
  return false;
}

const TJson_Value* Find(const TJson_Object& Object, const std::string& Key) {
  for (const auto& [Name, Value] : Object)
    if (Name == Key)
      return &Value;
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Fields and files

// The field: 200 x 200 pixels, centred on RA 10 h, Dec +20 at 1.5" per pixel. The variable
// sits at the centre; its reference star lies 90" (60 pixels) north.
constexpr double Target_Flux = 50000.0;
constexpr double Reference_Flux = 200000.0;
constexpr double Reference_Mag = 12.0;
constexpr double Gain = 1.5;

TStar_Field_Description Field_Description(bool With_Target, bool With_WCS, const std::string& Filter = "V") {
  TStar_Field_Description D;
  D.Filter = Filter;
  D.Width = 200;
  D.Height = 200;
  D.Write_WCS = With_WCS;
  D.Crval1 = 150.0;
  D.Crval2 = 20.0;
  D.Crpix1 = 100.0;
  D.Crpix2 = 100.0;
  D.Gain = Gain;
  D.Seed = With_Target ? 11 : 12;
  TField_Star Star;
  Star.On_Sky = true;
  Star.RA_Hours = 10.0;
  if (With_Target) {
    Star.Dec = 20.0;
    Star.Flux = Target_Flux;
    D.Stars.push_back(Star);
  }
  Star.Dec = 20.025;
  Star.Flux = Reference_Flux;
  D.Stars.push_back(Star);
  return D;
}

// A target file line: the variable at RA 10 h and Dec Target_Dec (degrees, minutes,
// seconds), the reference star at RA 10 h and Reference_Dec, magnitude 12.0 in V, and the
// threshold.
std::string Target_Line(const std::string& Name, const std::string& Target_Dec,
                        const std::string& Reference_Dec, const std::string& Threshold) {
  return Name + ",10,0,0," + Target_Dec + ",Ref A,10,0,0," + Reference_Dec + ",V,12.0," + Threshold +
         ",X1\r\n";
}

const std::string Catalogue_Header = "Name,RA,,,Dec,,,Ref\r\nh,m,s,d,m,s\r\n--\r\n";

// A settings file of 20 lines, as the program wrote them before line 21 existed; it reads as ever.
std::string Settings_Ini(const std::string& Data_File, double Gain_Setting, double Max_Error,
                         const std::string& Radius = "12") {
  std::string Text =
      "[Korvane]\r\n100\r\n100\r\n100\r\n100\r\n7\r\n" + Radius + "\r\n3\r\n3\r\n" + Data_File + "\r\n";
  for (double Real : {0.0, 0.0, Gain_Setting, 0.0, Max_Error})
    Text += Format_Settings_Real(Real) + "\r\n";
  return Text + "/tmp\r\n\r\nna\r\nFalse\r\nFalse\r\n";
}

class Measure_Run : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Scratch = std::make_unique<TScratch_Folder>("korvane-measure-test");
    Dir = Scratch->Folder;
    Write_Star_Field(Make_Star_Field(Field_Description(true, true)), (Dir / "field.fit").string());
    Write_Star_Field(Make_Star_Field(Field_Description(false, true)), (Dir / "blank.fit").string());
    Write_Star_Field(Make_Star_Field(Field_Description(true, false)), (Dir / "nowcs.fit").string());
    Write_Star_Field(Make_Star_Field(Field_Description(true, true, "R")), (Dir / "red.fit").string());
    Write_File(Dir / "broken.fit", "SIMPLE  =                    T\n");
    Write_File(Dir / "quiescent.csv",
               Catalogue_Header + Target_Line("V1 Test", "+20,0,0", "+20,1,30", "13.0"));
    Write_File(Dir / "outburst.csv",
               Catalogue_Header + Target_Line("V1 Test", "+20,0,0", "+20,1,30", "14.0"));
    Write_File(Dir / "nostar.csv", Catalogue_Header + Target_Line("V3 Far", "+21,0,0", "+20,1,30", "13.0"));
    Write_File(Dir / "noref.csv", Catalogue_Header + Target_Line("V4 Test", "+20,0,0", "+21,0,0", "13.0"));
    Write_File(Dir / "nodata.csv", Catalogue_Header + "V5 Lone,10,0,0,+20,0,0\r\n");
    Write_File(Dir / "damaged.csv", Catalogue_Header + "V6 Bad,x,0,0,+20,0,0\r\n");
    Write_File(Dir / "empty.csv", Catalogue_Header);
    // A check star 60 pixels south of the variable, the comparison's twin; and the same field
    // with the comparison star so bright that the writer clips its peak.
    for (const double Flux : {Reference_Flux, 5.0e6}) {
      TStar_Field_Description D = Field_Description(true, true);
      D.Stars.back().Flux = Flux;
      TField_Star Check = D.Stars.back();
      Check.Dec = 19.975;
      Check.Flux = Reference_Flux;
      D.Stars.push_back(Check);
      Write_Star_Field(Make_Star_Field(D),
                       (Dir / (Flux == Reference_Flux ? "check.fit" : "saturated.fit")).string());
    }
    for (const char* Kmag : {"12.0", "12.5"})
      Write_File(Dir / (std::string("check") + Kmag + ".csv"),
                 Catalogue_Header +
                     "V1 Test,10,0,0,+20,0,0,Ref A,10,0,0,+20,1,30,V,12.0,13.0,X1,Chk K,10,0,0,+19,58,30," +
                     Kmag + "\r\n");
  }
  static void TearDownTestSuite() { Scratch.reset(); }

  // Each test has its own home and configuration folders.
  fs::path Home_Root() const {
    const auto* Info = ::testing::UnitTest::GetInstance()->current_test_info();
    return Dir / "homes" / Info->name();
  }
  fs::path Home() const { return Home_Root() / "home"; }
  fs::path Config() const { return Home_Root() / "config"; }
  TProgram_Run Run(const std::vector<std::string>& Args) const { return Run_Command(Dir, Home_Root(), Args); }

  static inline std::unique_ptr<TScratch_Folder> Scratch;
  static inline fs::path Dir;
};

// The STATE cell of each table row, found under the header's "STATE".
std::vector<std::string> Table_States(const TProgram_Run& Run) {
  std::vector<std::string> States;
  const std::vector<std::string> Lines = Run.Out_Lines();
  if (Lines.empty())
    return States;
  const size_t Column = Lines[0].find("STATE");
  for (size_t i = 1; i < Lines.size(); ++i)
    States.push_back(Column < Lines[i].size() ? Lines[i].substr(Column) : "");
  return States;
}

// ---------------------------------------------------------------------------------------

TEST_F(Measure_Run, Result_Codes_States_And_Exit_Status) {
  const struct {
    std::string File, Catalogue;
    int Code;
    std::string State;
    int Less_Than;
    int Exit;
  } Cases[] = {
      {"field.fit", "quiescent.csv", 0, "Quiescent", 0, 0},
      {"field.fit", "outburst.csv", 0, "Outburst", 0, 0},
      {"blank.fit", "outburst.csv", 0, "Quiescent", 1, 0}, // a limit is never an outburst
      {"nowcs.fit", "quiescent.csv", 2, "Not Plate Solved", 0, 1},
      {"field.fit", "nostar.csv", 3, "No star!", 0, 1},
      {"field.fit", "noref.csv", 4, "No reference!", 0, 1},
      {"field.fit", "nodata.csv", 5, "No data!", 0, 1},
      {"field.fit", "empty.csv", 1, "Not measured", 0, 1},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.File + " with " + Case.Catalogue);
    const std::vector<std::string> Common = {"--gain", "1.5", "--targets", Case.Catalogue, Case.File};

    std::vector<std::string> Json_Args = Common;
    Json_Args.insert(Json_Args.begin(), "--json");
    const TProgram_Run Json = Run(Json_Args);
    EXPECT_EQ(Json.Status, Case.Exit) << Json.Err;
    const std::vector<std::string> Lines = Json.Out_Lines();
    ASSERT_EQ(Lines.size(), 1u) << Json.Out;
    TJson_Object Object;
    ASSERT_TRUE(Parse_Json_Line(Lines[0], Object)) << Lines[0];
    ASSERT_NE(Find(Object, "Last_Error"), nullptr);
    EXPECT_EQ(Find(Object, "Last_Error")->Number, Case.Code);
    EXPECT_EQ(Find(Object, "Less_Than")->Number, Case.Less_Than);
    EXPECT_EQ(Find(Object, "Outburst")->Text, Case.State == "Outburst" ? "true" : "false");
    EXPECT_EQ(Find(Object, "Plate_Solved")->Text, Case.Code == 2 ? "false" : "true");

    const TProgram_Run Table = Run(Common);
    EXPECT_EQ(Table.Status, Case.Exit) << Table.Err;
    EXPECT_EQ(Table_States(Table), std::vector<std::string>{Case.State}) << Table.Out;
    if (Case.Less_Than != 0) {
      EXPECT_NE(Table.Out.find(" <"), std::string::npos) << Table.Out;
    }
  }
}

// A target file named on the command line that is not there is a mistake of the call: it
// stops the run before any file instead of measuring against no catalogue.
TEST_F(Measure_Run, Missing_Target_File_Is_A_Usage_Error) {
  const TProgram_Run Missing = Run({"--gain", "1.5", "--targets", "missing.csv", "field.fit"});
  EXPECT_EQ(Missing.Status, 2);
  EXPECT_EQ(Missing.Out, "");
  EXPECT_NE(Missing.Err.find("target file 'missing.csv' not found"), std::string::npos) << Missing.Err;
}

// Settings that make the numbers meaningless (from a hand-edited file) stop the run with
// the setting's name, instead of printing a magnitude far off as a success.
TEST_F(Measure_Run, Meaningless_Settings_Stop_The_Run) {
  const struct {
    const char* Radius;
    double Max_Error;
    const char* Message;
  } Cases[] = {
      {"0", 0.5, "Radius is 0: it must be from 1 to 10000 pixels"},
      {"10001", 0.5, "Radius is 10001"},
      {"12", 0.0, "Max_Error is 0.000"},
      {"12", -0.5, "Max_Error is -0.500"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Message);
    const fs::path Ini = Home_Root() / "bad.ini";
    Write_File(Ini, Settings_Ini((Dir / "quiescent.csv").string(), 1.5, Case.Max_Error, Case.Radius));
    const TProgram_Run Bad = Run({"--settings", Ini.string(), "field.fit"});
    EXPECT_EQ(Bad.Status, 2);
    EXPECT_EQ(Bad.Out, "");
    EXPECT_NE(Bad.Err.find(Ini.string() + ": " + Case.Message), std::string::npos) << Bad.Err;
  }
}

TEST_F(Measure_Run, Json_Holds_The_Measurement_At_Full_Precision) {
  const TProgram_Run Run_Json =
      Run({"--json", "--gain", "1.5", "--targets", "quiescent.csv", "field.fit", "blank.fit"});
  ASSERT_EQ(Run_Json.Status, 0) << Run_Json.Err;
  const std::vector<std::string> Lines = Run_Json.Out_Lines();
  ASSERT_EQ(Lines.size(), 2u);

  // The same work in-process, with the settings the command used.
  TSettings Settings = Default_Settings(Home().string());
  Settings.Gain = Gain;
  TTarget_Catalogue Catalogue;
  TRecording_Messages Messages;
  Load_Targets((Dir / "quiescent.csv").string(), Catalogue, TNumber_Format{'.'}, Messages);

  const std::vector<std::string> Keys = {"file",
                                         "Last_Error",
                                         "Magnitude",
                                         "Std_Error",
                                         "Less_Than",
                                         "Threshold",
                                         "Outburst",
                                         "ObjectName",
                                         "ObjectX",
                                         "ObjectY",
                                         "ReferenceName",
                                         "ReferenceX",
                                         "ReferenceY",
                                         "Reference_Mag",
                                         "CMag",
                                         "Ref_Background",
                                         "Star_Background",
                                         "Plate_Solved",
                                         "JD",
                                         "AirMass",
                                         "Exposure",
                                         "Time_From",
                                         "Exposure_From",
                                         "AirMass_From",
                                         "Image_Filter_Letter",
                                         "CheckName",
                                         "Check_Mag",
                                         "Check_Error",
                                         "Check_Offset",
                                         "Saturated"};
  const std::string Files[] = {"field.fit", "blank.fit"};
  for (size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE(Lines[k]);
    TJson_Object Object;
    ASSERT_TRUE(Parse_Json_Line(Lines[k], Object));
    std::vector<std::string> Found;
    for (const auto& Pair : Object)
      Found.push_back(Pair.first);
    EXPECT_EQ(Found, Keys);

    const TMeasure_Result R = Measure_File((Dir / Files[k]).string(), Catalogue, Settings, Messages);
    ASSERT_FALSE(R.Failed) << R.Error;
    const std::map<std::string, double> Numbers = {{"Last_Error", Code_Number(R.Image.Last_Error)},
                                                   {"Magnitude", R.Image.Magnitude},
                                                   {"Std_Error", R.Image.Std_Error},
                                                   {"Less_Than", R.Image.Less_Than},
                                                   {"Threshold", R.Image.Threshold},
                                                   {"ObjectX", R.Image.ObjectX},
                                                   {"ObjectY", R.Image.ObjectY},
                                                   {"ReferenceX", R.Image.ReferenceX},
                                                   {"ReferenceY", R.Image.ReferenceY},
                                                   {"Reference_Mag", R.Image.Reference_Mag},
                                                   {"CMag", R.Image.CMag},
                                                   {"Ref_Background", R.Image.Ref_Background},
                                                   {"Star_Background", R.Image.Star_Background},
                                                   {"JD", R.Image.JD},
                                                   {"AirMass", R.Image.AirMass},
                                                   {"Exposure", R.Image.Exposure}};
    for (const auto& [Key, Expected] : Numbers) {
      const TJson_Value* Value = Find(Object, Key);
      ASSERT_NE(Value, nullptr) << Key;
      ASSERT_EQ(Value->Kind, 'n') << Key;
      EXPECT_EQ(Value->Number, Expected) << Key << " written as " << Value->Text;
    }
    EXPECT_EQ(Find(Object, "file")->Text, Files[k]);
    EXPECT_EQ(Find(Object, "ObjectName")->Text, "V1 Test");
    EXPECT_EQ(Find(Object, "ReferenceName")->Text, "Ref A");
    EXPECT_EQ(Find(Object, "Image_Filter_Letter")->Text, "V");
    EXPECT_EQ(Find(Object, "Exposure")->Number, 60.0);
  }

  // The measured field gives the known magnitude within its stated error.
  TJson_Object Field;
  ASSERT_TRUE(Parse_Json_Line(Lines[0], Field));
  const double Truth = Reference_Mag - 2.5 * std::log10(Target_Flux / Reference_Flux);
  const double Error = Find(Field, "Std_Error")->Number;
  EXPECT_GT(Error, 0.0);
  EXPECT_LT(Error, 0.1);
  EXPECT_NEAR(Find(Field, "Magnitude")->Number, Truth, 3.0 * Error);
  EXPECT_EQ(Find(Field, "Less_Than")->Number, 0.0);
  EXPECT_EQ(Find(Field, "Threshold")->Number, 13.0);
}

TEST_F(Measure_Run, Unreadable_File_Is_Reported_And_The_Next_One_Measured) {
  const TProgram_Run Json =
      Run({"--json", "--gain", "1.5", "--targets", "quiescent.csv", "gone.fit", "broken.fit", "field.fit"});
  EXPECT_EQ(Json.Status, 2);
  const std::vector<std::string> Lines = Json.Out_Lines();
  ASSERT_EQ(Lines.size(), 3u) << Json.Out;
  for (size_t k = 0; k < 2; ++k) {
    TJson_Object Object;
    ASSERT_TRUE(Parse_Json_Line(Lines[k], Object)) << Lines[k];
    ASSERT_EQ(Object.size(), 2u) << Lines[k];
    EXPECT_EQ(Object[0].first, "file");
    EXPECT_EQ(Object[0].second.Text, k == 0 ? "gone.fit" : "broken.fit");
    EXPECT_EQ(Object[1].first, "error");
    EXPECT_FALSE(Object[1].second.Text.empty());
    // Standard error names the file once, then the message.
    const std::string& File = Object[0].second.Text;
    const std::string& Message = Object[1].second.Text;
    const std::string Expected =
        "korvane-measure: " + (Message.rfind(File + ": ", 0) == 0 ? Message : File + ": " + Message) + "\n";
    EXPECT_NE(Json.Err.find(Expected), std::string::npos) << Json.Err;
  }
  TJson_Object Measured;
  ASSERT_TRUE(Parse_Json_Line(Lines[2], Measured));
  EXPECT_EQ(Find(Measured, "Last_Error")->Number, 0.0);

  // An unreadable file outranks a file that was read but not measured.
  const TProgram_Run Mixed = Run({"--gain", "1.5", "--targets", "quiescent.csv", "broken.fit", "nowcs.fit"});
  EXPECT_EQ(Mixed.Status, 2);
  const std::vector<std::string> States = Table_States(Mixed);
  ASSERT_EQ(States.size(), 2u);
  EXPECT_EQ(States[0].rfind("error: ", 0), 0u) << States[0];
  EXPECT_EQ(States[1], "Not Plate Solved");
}

TEST_F(Measure_Run, Usage_Errors_Stop_Before_Any_File) {
  const std::vector<std::vector<std::string>> Cases = {
      {},
      {"--json"},
      {"--radius", "-3", "field.fit"},
      {"--gain", "1,5", "field.fit"},
      {"--max-error", "abc", "field.fit"},
      {"--frobnicate", "field.fit"},
      {"field.fit", "--gap"},
      {"--settings", "no-such.ini", "field.fit"},
      {"--light-curve", "."},
      {"--light-curve", ".", "V1 Test", "field.fit"},
  };
  for (const auto& Args : Cases) {
    const TProgram_Run Result = Run(Args);
    EXPECT_EQ(Result.Status, 2) << Result.Err;
    EXPECT_EQ(Result.Out, "");
    EXPECT_EQ(Result.Err.rfind("korvane-measure: ", 0), 0u) << Result.Err;
  }

  const TProgram_Run Help = Run({"--help"});
  EXPECT_EQ(Help.Status, 0);
  EXPECT_EQ(Help.Out.rfind("Usage: korvane-measure", 0), 0u);
  EXPECT_NE(Help.Out.find("--max-error"), std::string::npos);
  const TProgram_Run Version = Run({"--version"});
  EXPECT_EQ(Version.Status, 0);
  EXPECT_EQ(Version.Out, std::string("korvane-measure ") + KORVANE_VERSION_FOR_TEST + "\n");
}

TEST_F(Measure_Run, Settings_File_And_Options) {
  // korvane.ini in XDG_CONFIG_HOME names the catalogue; its gain of 0 makes the measurement
  // impossible, which the command reports for the file.
  Write_File(Config() / "korvane.ini", Settings_Ini((Dir / "quiescent.csv").string(), 0.0, 0.5));
  const TProgram_Run No_Gain = Run({"blank.fit"});
  EXPECT_EQ(No_Gain.Status, 2);
  EXPECT_NE(No_Gain.Err.find("korvane-measure: blank.fit: "), std::string::npos) << No_Gain.Err;

  const struct {
    std::vector<std::string> Args;
    std::string Row_Part;
  } Cases[] = {
      {{"--gain", "1.5", "blank.fit"}, "V1 Test"},           // catalogue from the settings
      {{"--gain", "1.5", "blank.fit"}, " 0.500  Quiescent"}, // a limit shows Max_Error
      {{"--gain=1.5", "--max-error", "0.25", "blank.fit"}, " 0.250  Quiescent"},
      {{"--settings", "other.ini", "blank.fit"}, " 0.750  Quiescent"}, // the named file, not korvane.ini
      {{"--gain", "1.5", "--targets", "nodata.csv", "field.fit"}, "V5 Lone"},
  };
  Write_File(Dir / "other.ini", Settings_Ini((Dir / "quiescent.csv").string(), 1.5, 0.75));
  for (const auto& Case : Cases) {
    const TProgram_Run Result = Run(Case.Args);
    EXPECT_LE(Result.Status, 1) << Result.Err;
    const std::vector<std::string> Lines = Result.Out_Lines();
    ASSERT_EQ(Lines.size(), 2u) << Result.Out << Result.Err;
    EXPECT_NE(Lines[1].find(Case.Row_Part), std::string::npos) << Lines[1];
  }

  // The aperture from the settings file reaches the measurement; --radius overrides it.
  Write_File(Dir / "small.ini", Settings_Ini((Dir / "quiescent.csv").string(), 1.5, 0.75, "2"));
  const auto Std_Error_Of = [&](const std::vector<std::string>& Args) {
    TJson_Object Object;
    const TProgram_Run Result = Run(Args);
    const std::vector<std::string> Lines = Result.Out_Lines();
    if (Lines.size() != 1 || !Parse_Json_Line(Lines[0], Object) || Find(Object, "Std_Error") == nullptr)
      return std::nan("");
    return Find(Object, "Std_Error")->Number;
  };
  const double Error_R2 = Std_Error_Of({"--json", "--settings", "small.ini", "field.fit"});
  const double Error_R12 = Std_Error_Of({"--json", "--settings", "small.ini", "--radius", "12", "field.fit"});
  const double Error_Other = Std_Error_Of({"--json", "--settings", "other.ini", "field.fit"});
  EXPECT_TRUE(std::isfinite(Error_R2) && std::isfinite(Error_R12));
  EXPECT_NE(Error_R2, Error_R12); // a smaller aperture holds less sky noise
  EXPECT_EQ(Error_R12, Error_Other);
}

TEST_F(Measure_Run, Defaults_Damaged_Settings_And_Target_Files) {
  // No settings file: the defaults, whose target file is ~/data.csv.
  fs::create_directories(Home());
  fs::copy_file(Dir / "quiescent.csv", Home() / "data.csv");
  const TProgram_Run Defaults = Run({"--gain", "1.5", "blank.fit"});
  EXPECT_EQ(Defaults.Status, 0) << Defaults.Err;
  const std::vector<std::string> Lines = Defaults.Out_Lines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_NE(Lines[1].find("V1 Test"), std::string::npos) << Lines[1];
  EXPECT_NE(Lines[1].find(" 1.000  Quiescent"), std::string::npos) << Lines[1]; // Max_Error 1.0

  // A damaged settings file stops the run, naming each damaged line.
  std::string Damaged = Settings_Ini((Dir / "quiescent.csv").string(), 1.5, 0.5, "twelve");
  const std::string Max_Error_Line = Format_Settings_Real(0.5);
  Damaged.replace(Damaged.find(Max_Error_Line), Max_Error_Line.size(), "0,5");
  Write_File(Config() / "korvane.ini", Damaged);
  const TProgram_Run Bad_Settings = Run({"--gain", "1.5", "field.fit"});
  EXPECT_EQ(Bad_Settings.Status, 2);
  EXPECT_EQ(Bad_Settings.Out, "");
  const std::string Prefix = "korvane-measure: " + (Config() / "korvane.ini").string() + ": ";
  EXPECT_EQ(Bad_Settings.Err, Prefix + "line 7 (Radius): 'twelve' is not a valid value\n" + Prefix +
                                  "line 15 (Max_Error): '0,5' is not a valid value\n");

  // So does a damaged target file, with the loader's message.
  fs::remove(Config() / "korvane.ini");
  const TProgram_Run Bad_Targets = Run({"--gain", "1.5", "--targets", "damaged.csv", "field.fit"});
  EXPECT_EQ(Bad_Targets.Status, 2);
  EXPECT_EQ(Bad_Targets.Out, "");
  EXPECT_NE(Bad_Targets.Err.find("korvane-measure: damaged.csv: line 4: 'x' is not a valid"),
            std::string::npos)
      << Bad_Targets.Err;
}

TEST_F(Measure_Run, Table_Columns_Line_Up) {
  fs::copy_file(Dir / "nowcs.fit", Dir / "a-rather-longer-file-name.fit",
                fs::copy_options::overwrite_existing);
  const TProgram_Run Table = Run({"--gain", "1.5", "--targets", "outburst.csv", "field.fit",
                                  "a-rather-longer-file-name.fit", "blank.fit", "gone.fit", "nowcs.fit"});
  EXPECT_EQ(Table.Status, 2);
  const std::vector<std::string> Lines = Table.Out_Lines();
  ASSERT_EQ(Lines.size(), 6u) << Table.Out;
  EXPECT_EQ(Lines[0].rfind("FILE ", 0), 0u);
  const std::vector<std::string> States = Table_States(Table);
  ASSERT_EQ(States.size(), 5u);
  EXPECT_EQ(States[0], "Outburst");
  EXPECT_EQ(States[1], "Not Plate Solved");
  EXPECT_EQ(States[2], "Quiescent");
  EXPECT_EQ(States[3].rfind("error: ", 0), 0u) << States[3];
  EXPECT_EQ(States[4], "Not Plate Solved");
  // Every column starts where its title starts.
  for (const char* Title : {"TARGET", "STATE"}) {
    const size_t Column = Lines[0].find(Title);
    for (size_t i = 1; i < Lines.size(); ++i) {
      EXPECT_EQ(Lines[i][Column - 1], ' ') << Lines[i];
      EXPECT_NE(Lines[i][Column], ' ') << Lines[i];
    }
  }
  EXPECT_NE(Lines[1].find("V1 Test"), std::string::npos);
  // Standard error is no terminal here: no progress line.
  EXPECT_EQ(Table.Err.find('\r'), std::string::npos) << Table.Err;
}

// The bundled example, measured as the README shows it. These bytes were written by the
// command before its core was reorganised; any change to them is a change of results. The JSON
// line has since gained the keys naming the cards the time, exposure and air mass came from, and
// those of the check star and the saturated stars.
TEST(Measure_Example, Output_Is_Unchanged_To_The_Byte) {
  const TScratch_Folder Scratch{"korvane-example"};
  const std::vector<std::string> Common = {"--settings", "examples/korvane.ini", "--targets",
                                           "examples/targets.csv", "examples/field.fit"};
  std::vector<std::string> Json_Args = Common;
  Json_Args.insert(Json_Args.begin(), "--json");
  const TProgram_Run Json = Run_Command(KORVANE_SOURCE_DIR, Scratch.Folder, Json_Args);
  EXPECT_EQ(Json.Status, 0) << Json.Err;
  EXPECT_EQ(Json.Err, "");
  EXPECT_EQ(
      Json.Out,
      R"J({"file":"examples/field.fit","Last_Error":0,"Magnitude":13.21802994561372,"Std_Error":0.022788249560637647,"Less_Than":0,"Threshold":12.5,"Outburst":false,"ObjectName":"KV Exm","ObjectX":164.3147575576777,"ObjectY":209.50454819018233,"ReferenceName":"KV Exm C1","ReferenceX":213.59663487942794,"ReferenceY":77.49795617684784,"Reference_Mag":11.2,"CMag":-8.176487657370394,"Ref_Background":1199.013422818792,"Star_Background":1201.0805369127518,"Plate_Solved":true,"JD":2460218.3131944444,"AirMass":1.31,"Exposure":120,"Time_From":"JD","Exposure_From":"EXPOSURE","AirMass_From":"AIRMASS","Image_Filter_Letter":"V","CheckName":null,"Check_Mag":null,"Check_Error":null,"Check_Offset":null,"Saturated":[]}
)J");
  const TProgram_Run Table = Run_Command(KORVANE_SOURCE_DIR, Scratch.Folder, Common);
  EXPECT_EQ(Table.Out, "FILE                TARGET       MAG   ERROR  STATE\n"
                       "examples/field.fit  KV Exm    13.218   0.023  Quiescent\n");
}

// With --report-dir each measured file gets its report, and its JSON line the path; a report
// that cannot be written is said and makes the exit status 1, the measurement still printed.
TEST_F(Measure_Run, Reports_Of_Measured_Files) {
  const std::string Reports = (Home_Root() / "reports").string();
  fs::create_directories(Reports);
  const std::string Written = Reports + "/V1 Test_2023-02-24T00_00_00.txt";
  const struct {
    std::vector<std::string> Args;
    int Exit;
    std::string Report; // empty: null
    std::string Err_Part;
    std::string Report_Part = "";
  } Cases[] = {
      {{"--report-dir", Reports, "field.fit"}, 0, Written, "", ",V,NO,STD,Ref A,"},
      {{"--report-dir", Reports, "red.fit"},
       0,
       Written,
       "korvane-measure: red.fit: Image Filter = R, Ref Filter = V\n",
       ",R,NO,STD,Ref A,"},
      {{"--report-dir", Reports + "/nowhere", "field.fit"},
       1,
       "",
       "korvane-measure: field.fit: Report " + Reports +
           "/nowhere/V1 Test_2023-02-24T00_00_00.txt not written: "
           "the folder " +
           Reports + "/nowhere does not exist\n"},
      {{"--report-dir", Reports, "--notes", "na,clear", "field.fit"}, 1, "", "\"na,clear\" holds a comma"},
      {{"--report-dir", Reports, "nowcs.fit"}, 1, "", ""}, // reports only for measured files
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Args[1] + " " + Case.Args.back());
    fs::remove(Written);
    std::vector<std::string> Args = {"--json", "--gain", "1.5", "--targets", "quiescent.csv"};
    Args.insert(Args.end(), Case.Args.begin(), Case.Args.end());
    const TProgram_Run Json = Run(Args);
    EXPECT_EQ(Json.Status, Case.Exit);
    EXPECT_NE(Json.Err.find(Case.Err_Part), std::string::npos) << Json.Err;
    EXPECT_EQ(Case.Err_Part.empty(), Json.Err.empty()) << Json.Err;
    const std::vector<std::string> Lines = Json.Out_Lines();
    TJson_Object Object;
    ASSERT_EQ(Lines.size(), 1u) << Json.Out;
    ASSERT_TRUE(Parse_Json_Line(Lines[0], Object)) << Lines[0];
    EXPECT_EQ(Object.back().first, "Report");
    EXPECT_EQ(Object.back().second.Kind, Case.Report.empty() ? 'z' : 's');
    EXPECT_EQ(Object.back().second.Text, Case.Report.empty() ? "null" : Case.Report);
    EXPECT_EQ(fs::exists(Written), !Case.Report.empty());
    EXPECT_NE(Get(Written).find(Case.Report_Part), std::string::npos);
    EXPECT_EQ(Find(Object, "Last_Error")->Number, Case.Args.back() == "nowcs.fit" ? 2.0 : 0.0);
  }
}

// The check star and saturated stars: the JSON keys, the warnings on standard error, the
// report's KNAME, KMAG and NOTES; the variable's result as without a check star.
TEST_F(Measure_Run, Check_Star_And_Saturation_Are_Said) {
  const std::string Reports = (Home_Root() / "reports").string();
  fs::create_directories(Reports);
  const std::string Written = Reports + "/V1 Test_2023-02-24T00_00_00.txt";
  const struct {
    std::string File, Catalogue;
    bool Check_Warned;
    std::vector<std::string> Saturated;
    std::string Notes_End;
  } Cases[] = {
      {"check.fit", "check12.0.csv", false, {}, ",na 60.0 seconds\r\n"},
      {"check.fit", "check12.5.csv", true, {}, ",na 60.0 seconds\r\n"},
      {"saturated.fit", "check12.0.csv", true, {"Reference"}, ",na 60.0 seconds; saturated: Reference\r\n"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.File + " with " + Case.Catalogue);
    const auto Measure = [&](const std::string& Catalogue) {
      const TProgram_Run Json =
          Run({"--json", "--gain", "1.5", "--targets", Catalogue, "--report-dir", Reports, Case.File});
      EXPECT_EQ(Json.Status, 0) << Json.Err;
      TJson_Object Object;
      const std::vector<std::string> Lines = Json.Out_Lines();
      EXPECT_TRUE(Lines.size() == 1 && Parse_Json_Line(Lines[0], Object)) << Json.Out;
      return std::make_pair(Json, Object);
    };
    const auto [Plain_Run, Plain] = Measure("quiescent.csv");
    const std::string Plain_Report = Get(Written);
    const auto [Run_With, With] = Measure(Case.Catalogue);
    for (const char* Key : {"Last_Error", "Magnitude", "Std_Error", "CMag"})
      EXPECT_EQ(Find(With, Key)->Number, Find(Plain, Key)->Number) << Key;
    EXPECT_EQ(Find(Plain, "CheckName")->Kind, 'z');
    EXPECT_EQ(Find(Plain, "Check_Offset")->Kind, 'z');
    EXPECT_EQ(Find(With, "CheckName")->Text, "Chk K");
    const double Offset = Find(With, "Check_Offset")->Number, Error = Find(With, "Check_Error")->Number;
    EXPECT_NEAR(Offset, Find(With, "Check_Mag")->Number - std::stod(Case.Catalogue.substr(5, 4)), 1e-9);
    EXPECT_EQ(std::fabs(Offset) > 3 * Error && std::fabs(Offset) > 0.1, Case.Check_Warned) << Offset;
    EXPECT_EQ(Find(With, "Saturated")->Items, Case.Saturated);
    EXPECT_EQ(Find(Plain, "Saturated")->Items, Case.Saturated);
    EXPECT_EQ(Run_With.Err.find("warning: The check star Chk K measures") != std::string::npos,
              Case.Check_Warned)
        << Run_With.Err;
    EXPECT_EQ(Run_With.Err.find("warning: Saturated: the comparison star Ref A") != std::string::npos,
              !Case.Saturated.empty())
        << Run_With.Err;
    // The report: KNAME and KMAG with the check star, "na" without; NOTES names saturation.
    const std::string Report = Get(Written);
    EXPECT_NE(Plain_Report.find(",na,na,1.200,"), std::string::npos) << Plain_Report;
    EXPECT_NE(Report.find(",Chk K,-"), std::string::npos) << Report;
    EXPECT_TRUE(Report.ends_with(Case.Notes_End)) << Report;
    EXPECT_TRUE(Plain_Report.ends_with(Case.Notes_End)) << Plain_Report;
  }
}

// A batch ends whole when it must end early: on a closing signal at the next file boundary
// (no temporary report left, every line printed complete, the signal's own exit status), and
// at the first failed write to standard output (its reader gone, SIGPIPE ignored) with a
// message and exit status 3 instead of measuring and reporting every remaining file.
TEST_F(Measure_Run, A_Stopped_Batch_Ends_At_A_File_Boundary) {
  const std::string Reports = (Home_Root() / "reports").string();
  fs::create_directories(Reports);
  const std::vector<std::string> Base = {"--json",        "--gain",       "1.5",  "--targets",
                                         "quiescent.csv", "--report-dir", Reports};
  const struct {
    const char* What;
    const char* Shell; // runs "$@", the command
    std::vector<std::string> Files;
    int Status;
  } Cases[] = {
      {"SIGTERM", "\"$@\" & sleep 0.05; kill -TERM $!; wait $!; echo \"status $?\" >&2",
       std::vector<std::string>(400, "field.fit"), 128 + SIGTERM},
      {"SIGTERM later", "\"$@\" & sleep 0.15; kill -TERM $!; wait $!; echo \"status $?\" >&2",
       std::vector<std::string>(400, "field.fit"), 128 + SIGTERM},
      {"SIGHUP", "\"$@\" & sleep 0.1; kill -HUP $!; wait $!; echo \"status $?\" >&2",
       std::vector<std::string>(400, "field.fit"), 128 + SIGHUP},
      // Each unreadable file would add a message: only the first few may come.
      {"reader gone", "trap '' PIPE; { \"$@\"; echo \"status $?\" >&2; } | exec 0<&-",
       [] {
         std::vector<std::string> Files = {"field.fit"};
         Files.insert(Files.end(), 200, "broken.fit");
         return Files;
       }(),
       Exit_Output_Failed},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    std::vector<std::string> Args = {"/bin/sh", "-c", Case.Shell, "sh", KORVANE_MEASURE_PATH};
    Args.insert(Args.end(), Base.begin(), Base.end());
    Args.insert(Args.end(), Case.Files.begin(), Case.Files.end());
    fs::create_directories(Home());
    fs::create_directories(Config());
    const TProgram_Run Run = Run_Program(
        Args, {"HOME=" + Home().string(), "XDG_CONFIG_HOME=" + Config().string(), "PATH=/usr/bin:/bin"}, Dir,
        Home_Root(), 60);
    const std::vector<std::string> Err = Lines_Of(Run.Err);
    ASSERT_FALSE(Err.empty());
    const std::vector<std::string> Out = Run.Out_Lines();
    if (Case.Status == Exit_Output_Failed) {
      EXPECT_EQ(Err.back(), "status 3") << Run.Err;
      EXPECT_NE(Run.Err.find("korvane-measure: cannot write to standard output"), std::string::npos)
          << Run.Err;
      EXPECT_LT(Err.size(), 10u) << Run.Err;
    } else if (Out.size() < Case.Files.size()) {
      EXPECT_EQ(Err.back(), "status " + std::to_string(Case.Status)) << Run.Err;
    }
    // Every line that was printed is whole.
    for (const std::string& Line : Out) {
      TJson_Object Object;
      EXPECT_TRUE(Parse_Json_Line(Line, Object)) << Line;
    }
    EXPECT_TRUE(Run.Out.empty() || Run.Out.back() == '\n');
    for (const auto& Entry : fs::directory_iterator(Reports))
      EXPECT_EQ(Entry.path().extension(), ".txt") << "left behind: " << Entry.path();
  }
}

// A light curve from the reports the command wrote and an observer's own file: rows in date
// order, skipped lines counted on standard error, an unknown target gives the title alone.
TEST_F(Measure_Run, Light_Curve_Of_The_Reports) {
  const std::string Reports = (Home_Root() / "reports").string();
  fs::create_directories(Reports);
  ASSERT_EQ(Run({"--gain", "1.5", "--targets", "quiescent.csv", "--report-dir", Reports, "field.fit"}).Status,
            0);
  Write_File(Reports + "/mine.txt", "#TYPE=EXTENDED\n#DELIM=;\n"
                                    "V1 TEST;2459000.5;<15.2;na;V;NO;STD;C;na;na;na;na;na;X;n\n"
                                    "V1 Test;2459000.6;15.0;0.1;V;NO;STD;C;na;na;na;na;na;X\n");
  const std::string Title = "JD,MAG,MERR,LIMIT,FILT,CNAME,CMAG,CHART,FILE";
  const struct {
    std::vector<std::string> Args;
    int Exit;
    std::vector<std::string> Row_Starts; // each row up to its FILE column
    std::string Err;
  } Cases[] = {
      {{"--light-curve", Reports, "v1 test"},
       0,
       {"2459000.50000,15.2,,1,V,C,,X,", "2460000.50035,13.467,0.019,0,V,Ref A,"},
       "korvane-measure: " + Reports +
           "/mine.txt: 1 line skipped (line 4: fewer than 15 columns)\n"
           "korvane-measure: 1 line skipped\n"},
      {{"--light-curve", Reports, "V9 None"},
       0,
       {},
       "korvane-measure: " + Reports +
           "/mine.txt: 1 line skipped (line 4: fewer than 15 columns)\n"
           "korvane-measure: 1 line skipped\n"},
      {{"--light-curve=" + Reports + "/none", "V1 Test"},
       2,
       {},
       "korvane-measure: " + Reports + "/none: cannot read the folder: No such file or directory\n"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Args.back());
    const TProgram_Run Result = Run(Case.Args);
    EXPECT_EQ(Result.Status, Case.Exit);
    EXPECT_EQ(Result.Err, Case.Err);
    std::vector<std::string> Lines = Result.Out_Lines();
    if (Case.Exit != 0) {
      EXPECT_TRUE(Lines.empty());
      continue;
    }
    ASSERT_EQ(Lines.size(), Case.Row_Starts.size() + 1) << Result.Out;
    EXPECT_EQ(Lines[0], Title);
    for (size_t k = 0; k < Case.Row_Starts.size(); ++k)
      EXPECT_EQ(Lines[k + 1].rfind(Case.Row_Starts[k], 0), 0u) << Lines[k + 1];
  }
}

// The command's report of the bundled example holds the bytes the core writer gives for the
// same analysed image and settings, which is what the window writes; --obscode and --notes
// take the place of the settings' values.
TEST(Measure_Example, Report_Is_The_Core_Writers) {
  const std::string Examples = std::string(KORVANE_SOURCE_DIR) + "/examples/";
  TSettings Settings = Default_Settings("/nonexistent");
  ASSERT_TRUE(Read_Settings_File(Examples + "korvane.ini", Settings));
  TTarget_Catalogue Catalogue;
  TRecording_Messages Messages;
  Load_Targets(Examples + "targets.csv", Catalogue, TNumber_Format{'.'}, Messages);
  const TMeasure_Result Result = Measure_File(Examples + "field.fit", Catalogue, Settings, Messages);
  ASSERT_FALSE(Result.Failed) << Result.Error;

  const struct {
    std::vector<std::string> Options;
    std::string Obscode, Notes;
  } Cases[] = {{{}, "KXX", "na"}, {{"--obscode", "ABC", "--notes=cirrus"}, "ABC", "cirrus"}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Obscode);
    const TScratch_Folder Scratch{"korvane-report"};
    fs::create_directories(Scratch.Folder / "command");
    fs::create_directories(Scratch.Folder / "core");
    std::vector<std::string> Args = {"--report-dir", (Scratch.Folder / "command").string(),
                                     "--settings",   "examples/korvane.ini",
                                     "--targets",    "examples/targets.csv"};
    Args.insert(Args.end(), Case.Options.begin(), Case.Options.end());
    Args.push_back("examples/field.fit");
    const TProgram_Run Command = Run_Command(KORVANE_SOURCE_DIR, Scratch.Folder / "home", Args);
    EXPECT_EQ(Command.Status, 0) << Command.Err;
    EXPECT_EQ(Command.Err, "");

    const TReport_Outcome Core = Write_AAVSO_Report(
        Result.Image, {(Scratch.Folder / "core").string(), Case.Obscode, Case.Notes, Settings.Max_Error});
    ASSERT_TRUE(Core.Written) << Core.Reason;
    const std::string Name = "KV Exm_2023-09-30T19_30_00.txt";
    EXPECT_EQ(Core.Path, (Scratch.Folder / "core" / Name).string());
    EXPECT_EQ(Get(Scratch.Folder / "command" / Name), Get(Core.Path));
    EXPECT_NE(Get(Core.Path).find("#OBSCODE=" + Case.Obscode + "\r\n"), std::string::npos);
  }
}

// A pipe or a device named as an image, a target file or a settings file is refused at
// once with the file's name; it never waits for a writer. The child is stopped by an alarm
// should it hang, which fails the test.
TEST(Measure_Special_Files, Pipes_And_Devices_Are_Refused) {
  const TScratch_Folder Scratch{"korvane-special"};
  const std::string Fifo = Scratch.Path("pipe.fit");
  ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
  const std::string Example = std::string(KORVANE_SOURCE_DIR) + "/examples/";
  for (const std::string& Special : {Fifo, std::string("/dev/null")}) {
    const struct {
      const char* Role;
      std::vector<std::string> Args;
    } Cases[] = {
        {"image", {"--settings", Example + "korvane.ini", "--targets", Example + "targets.csv", Special}},
        {"targets", {"--settings", Example + "korvane.ini", "--targets", Special, Example + "field.fit"}},
        {"settings", {"--settings", Special, "--targets", Example + "targets.csv", Example + "field.fit"}},
    };
    for (const auto& Case : Cases) {
      SCOPED_TRACE(Special + " as " + Case.Role);
      const TProgram_Run Run = Run_Command(Scratch.Folder, Scratch.Folder / "home-root", Case.Args);
      EXPECT_EQ(Run.Status, 2) << Run.Err;
      EXPECT_NE(Run.Err.find(Special + ": not a regular file"), std::string::npos) << Run.Err;
      // The file is named once, not twice.
      EXPECT_EQ(Run.Err.find(Special + ": " + Special), std::string::npos) << Run.Err;
    }
  }
}

} // namespace
