// The pieces of korvane-measure that need no process: arguments, JSON text, table rows.

#include "cli/Measure_Command.h"
#include "support/Run_Program.h"
#include "support/Test_Files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

namespace {

struct TArgument_Case {
  std::vector<std::string> Args;
  TCommand_Action Action;
  std::string Error_Part; // for usage errors: a part of the message the user sees
};

TEST(Measure_Arguments, Actions_And_Usage_Errors) {
  const TArgument_Case Cases[] = {
      {{"a.fit"}, TCommand_Action::Measure, ""},
      {{"--help", "--bogus"}, TCommand_Action::Help, ""},
      {{"a.fit", "-h"}, TCommand_Action::Help, ""},
      {{"--version"}, TCommand_Action::Version, ""},
      {{}, TCommand_Action::Usage_Error, "no FITS file"},
      {{"--json"}, TCommand_Action::Usage_Error, "no FITS file"},
      {{"--radius", "-1", "a.fit"}, TCommand_Action::Usage_Error, "--radius"},
      {{"--radius", "0", "a.fit"}, TCommand_Action::Usage_Error, "--radius"},
      {{"--radius", "abc", "a.fit"}, TCommand_Action::Usage_Error, "'abc'"},
      {{"--radius", "12.5", "a.fit"}, TCommand_Action::Usage_Error, "--radius"},
      {{"--radius", "10001", "a.fit"}, TCommand_Action::Usage_Error, "--radius"},
      {{"--annulus=0", "a.fit"}, TCommand_Action::Usage_Error, "--annulus"},
      {{"--gap", "-1", "a.fit"}, TCommand_Action::Usage_Error, "--gap"},
      {{"--gain", "1,5", "a.fit"}, TCommand_Action::Usage_Error, "'1,5'"},
      {{"--gain", "-0.1", "a.fit"}, TCommand_Action::Usage_Error, "--gain"},
      {{"--gain", "nan", "a.fit"}, TCommand_Action::Usage_Error, "--gain"},
      {{"--gain", "1e999", "a.fit"}, TCommand_Action::Usage_Error, "--gain"},
      {{"--readout-noise", "", "a.fit"}, TCommand_Action::Usage_Error, "--readout-noise"},
      {{"--max-error", "0", "a.fit"}, TCommand_Action::Usage_Error, "--max-error"},
      {{"--plane", "0", "a.fit"}, TCommand_Action::Usage_Error, "--plane"},
      {{"--plane", "2.5", "a.fit"}, TCommand_Action::Usage_Error, "--plane"},
      {{"--plane=3", "a.fit"}, TCommand_Action::Measure, ""},
      {{"--bogus", "a.fit"}, TCommand_Action::Usage_Error, "'--bogus'"},
      {{"-x", "a.fit"}, TCommand_Action::Usage_Error, "'-x'"},
      {{"--json=yes", "a.fit"}, TCommand_Action::Usage_Error, "--json"},
      {{"a.fit", "--dark-current"}, TCommand_Action::Usage_Error, "--dark-current"},
      {{"--targets=", "a.fit"}, TCommand_Action::Usage_Error, "--targets"},
      {{"--report-dir=", "a.fit"}, TCommand_Action::Usage_Error, "--report-dir needs a folder"},
      {{"--notes", "na", "a.fit"}, TCommand_Action::Usage_Error, "--notes needs --report-dir"},
      {{"--report-dir", "r", "--notes=", "--obscode", "", "a.fit"}, TCommand_Action::Measure, ""},
  };
  for (const TArgument_Case& Case : Cases) {
    std::string Joined;
    for (const std::string& Arg : Case.Args)
      Joined += "[" + Arg + "]";
    SCOPED_TRACE(Joined);
    const TParsed_Arguments Parsed = Parse_Arguments(Case.Args);
    EXPECT_EQ(Parsed.Action, Case.Action);
    if (Case.Action == TCommand_Action::Usage_Error) {
      EXPECT_NE(Parsed.Error.find(Case.Error_Part), std::string::npos) << Parsed.Error;
    }
  }
}

// Every option --help lists is one the parser knows, and takes the values its help line shows
// ("--radius N" one, "--light-curve DIR NAME" two, "--json" none): an option row whose help
// and parsing disagree fails here. The help texts start in one column, continued lines too.
TEST(Measure_Arguments, Every_Option_Of_The_Help_Is_Parsed_As_Shown) {
  size_t Options_Seen = 0;
  bool In_Options = false;
  for (const std::string& Line : Lines_Of(Usage_Text())) {
    In_Options = Line.rfind("  -", 0) == 0 || (In_Options && !Line.empty());
    if (In_Options) {
      EXPECT_TRUE(Line.size() > 25 && Line[24] == ' ' && Line[25] != ' ') << Line;
    }
    if (Line.rfind("  -", 0) != 0)
      continue;
    std::vector<std::string> Names;
    size_t Values = 0; // the upper-case words after the names: "N", "DIR NAME"
    std::istringstream Words(Line);
    for (std::string Word; Words >> Word;) {
      if (Values == 0 && Word[0] == '-')
        Names.push_back(Word.back() == ',' ? Word.substr(0, Word.size() - 1) : Word);
      else if (std::all_of(Word.begin(), Word.end(), [](char c) { return std::isupper(c) != 0; }))
        ++Values;
      else
        break;
    }
    for (const std::string& Name : Names) {
      SCOPED_TRACE(Line + " / " + Name);
      ++Options_Seen;
      std::vector<std::string> Args = {Name};
      Args.insert(Args.end(), Values, "1");
      Args.push_back("a.fit");
      const std::string Error = Parse_Arguments(Args).Error;
      for (const std::string& Wrong : std::vector<std::string>{"unknown option", Name + " needs a",
                                                               Name + " takes no value", "invalid value"})
        EXPECT_EQ(Error.find(Wrong), std::string::npos) << Error;
      const std::string Refused = Values == 0 ? Parse_Arguments({Name + "=1", "a.fit"}).Error
                                              : Parse_Arguments({"a.fit", Name}).Error;
      EXPECT_EQ(Refused.rfind("option " + Name + (Values == 0 ? " takes no value" : " needs a"), 0), 0u)
          << Refused;
    }
  }
  EXPECT_GT(Options_Seen, 20u);
}

TEST(Measure_Arguments, Values_Reach_The_Settings) {
  const TParsed_Arguments Parsed = Parse_Arguments({"--radius",
                                                    "5",
                                                    "--gap=0",
                                                    "--annulus",
                                                    "7",
                                                    "--gain",
                                                    "1.5",
                                                    "--readout-noise=12",
                                                    "--dark-current",
                                                    "2e-2",
                                                    "--max-error",
                                                    "0.05",
                                                    "--snap",
                                                    "--targets",
                                                    "t.csv",
                                                    "--settings=k.ini",
                                                    "--json",
                                                    "b.fit",
                                                    "--",
                                                    "--json",
                                                    "-"});
  ASSERT_EQ(Parsed.Action, TCommand_Action::Measure) << Parsed.Error;
  const TMeasure_Options& O = Parsed.Options;
  EXPECT_EQ(O.Files, (std::vector<std::string>{"b.fit", "--json", "-"}));
  EXPECT_TRUE(O.Json);
  EXPECT_EQ(O.Settings_File, "k.ini");

  TSettings S = Initial_Settings();
  S.Radius = 12;
  S.Gap = 3;
  S.Annulus = 3;
  S.degC = -20.0;
  S.AAVSO_ObsCode = "XYZ";
  S.DataFileName = "old.csv";
  Apply_Options(O, S);
  EXPECT_EQ(S.Radius, 5u);
  EXPECT_EQ(S.Gap, 0u);
  EXPECT_EQ(S.Annulus, 7u);
  EXPECT_EQ(S.Gain, 1.5);
  EXPECT_EQ(S.Readout_Noise, 12.0);
  EXPECT_EQ(S.Dark_Current, 0.02);
  EXPECT_EQ(S.Max_Error, 0.05);
  EXPECT_TRUE(S.Snap_to_Centre);
  EXPECT_EQ(S.DataFileName, "t.csv");
  // Settings without an option keep their values.
  EXPECT_EQ(S.degC, -20.0);
  EXPECT_EQ(S.AAVSO_ObsCode, "XYZ");

  // No option: nothing changes; the last of --snap / --no-snap wins.
  TSettings Untouched = S;
  Apply_Options(Parse_Arguments({"a.fit"}).Options, Untouched);
  EXPECT_EQ(Untouched.Radius, 5u);
  EXPECT_EQ(Untouched.Max_Error, 0.05);
  EXPECT_TRUE(Untouched.Snap_to_Centre);
  Apply_Options(Parse_Arguments({"--snap", "--no-snap", "a.fit"}).Options, Untouched);
  EXPECT_FALSE(Untouched.Snap_to_Centre);

  // The report and reading options, each into its own field.
  const TMeasure_Options R = Parse_Arguments({"--report-dir", "out", "--obscode=ABC", "--notes",
                                              "thin cirrus", "--fits-crpix", "--full-read", "a.fit"})
                                 .Options;
  EXPECT_EQ(R.Report_Dir, "out");
  EXPECT_EQ(R.Obscode, "ABC");
  EXPECT_EQ(R.Notes, "thin cirrus");
  EXPECT_EQ(R.Fits_Crpix, true);
  EXPECT_TRUE(R.Full_Read && !R.Json);
  EXPECT_FALSE(O.Fits_Crpix || O.Full_Read || O.Report_Dir || O.Obscode || O.Notes);
  Apply_Options(R, S);
  EXPECT_EQ(S.ReportFileDir, "out");
  EXPECT_EQ(S.AAVSO_ObsCode, "ABC");
  EXPECT_EQ(S.Notes, "thin cirrus");
  EXPECT_TRUE(S.Fits_Crpix);
  // The pixel origin of the settings file stands unless an option says otherwise; the last
  // of --fits-crpix / --no-fits-crpix wins.
  Apply_Options(Parse_Arguments({"a.fit"}).Options, S);
  EXPECT_TRUE(S.Fits_Crpix);
  Apply_Options(Parse_Arguments({"--fits-crpix", "--no-fits-crpix", "a.fit"}).Options, S);
  EXPECT_FALSE(S.Fits_Crpix);
}

// A target file with more entries than the catalogue holds is said once, before any file is
// measured.
TEST(Measure_Run_In_Process, Too_Many_Targets_Is_A_Warning) {
  const TScratch_Folder Scratch{"korvane-many"};
  std::string Targets = "h\r\nh\r\nh\r\n";
  for (int i = 0; i <= Max_Targets; ++i)
    Targets += "V" + std::to_string(i) + " Tst,1,2,3,-4,5,6\r\n";
  Put(Scratch.Path("many.csv"), Targets);
  TMeasure_Environment Environment;
  Environment.Home = Environment.Xdg_Config_Home = Environment.Xdg_Data_Home = Scratch.Folder.string();
  std::ostringstream Out, Err;
  const int Status =
      Run_Measure({"--targets", Scratch.Path("many.csv"), Scratch.Path("gone.fit")}, Environment, Out, Err);
  EXPECT_EQ(Status, Exit_Error); // the image is not there
  EXPECT_EQ(Err.str().rfind("korvane-measure: " + Scratch.Path("many.csv") + ": warning: Too many (" +
                                std::to_string(Max_Targets) + ") Targets: only the first " +
                                std::to_string(Max_Targets) + " targets are searched\n",
                            0),
            0u)
      << Err.str();
}

TEST(Measure_Json, String_Escaping) {
  const struct {
    std::string Text;
    std::string Json;
  } Cases[] = {
      {"", "\"\""},
      {"V1 Tst/a", "\"V1 Tst/a\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\data", "\"C:\\\\data\""},
      {"a\nb\r\t", "\"a\\u000ab\\u000d\\u0009\""},
      {std::string("\x00\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
      {"\x7f", "\"\x7f\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""}, // UTF-8 passes through
      {"\xe2\x82\xac \xf0\x9f\x8c\x9f", "\"\xe2\x82\xac \xf0\x9f\x8c\x9f\""},
      {"caf\xe9", "\"caf\\u00e9\""},                            // a Latin-1 byte
      {"\xc0\x80", "\"\\u00c0\\u0080\""},                       // overlong NUL
      {"\xe0\x80\xaf", "\"\\u00e0\\u0080\\u00af\""},            // overlong '/'
      {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},            // surrogate
      {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""}, // above U+10FFFF
      {"\xe2\x82", "\"\\u00e2\\u0082\""},                       // cut short
      {"\xe2\x82x", "\"\\u00e2\\u0082x\""},
      {"\xff", "\"\\u00ff\""},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(Json_String(Case.Text), Case.Json) << Case.Json;
}

TEST(Measure_Json, Numbers_Read_Back_Exactly) {
  const double Values[] = {0.0,
                           -0.0,
                           0.1,
                           1.0 / 3.0,
                           -2.5,
                           13.505,
                           2456000.5 + 60.0 / 172800.0,
                           1e300,
                           5e-324,
                           std::numeric_limits<double>::max(),
                           123456789.125};
  for (double Value : Values) {
    const std::string Text = Json_Number(Value);
    double Back = 1.0;
    const auto Result = std::from_chars(Text.data(), Text.data() + Text.size(), Back);
    ASSERT_EQ(Result.ec, std::errc()) << Text;
    EXPECT_EQ(Result.ptr, Text.data() + Text.size()) << Text;
    EXPECT_EQ(std::memcmp(&Back, &Value, sizeof Value), 0) << Text;
    EXPECT_EQ(Text.find_first_not_of("0123456789.e+-"), std::string::npos) << Text;
  }
  EXPECT_EQ(Json_Number(0.1), "0.1");
  for (double Bad : {std::nan(""), HUGE_VAL, -HUGE_VAL})
    EXPECT_EQ(Json_Number(Bad), "null");
}

TMeasure_Result Measured(int32_t Code) {
  TMeasure_Result R;
  R.File = "m31.fit";
  R.Image.Last_Error = static_cast<TResult_Code>(Code);
  R.Image.ObjectName = "V1 Tst";
  R.Image.Magnitude = 13.5049;
  R.Image.Std_Error = 0.0234;
  R.Image.Plate_Solved = Code != 2;
  return R;
}

TEST(Measure_Output, Table_Rows) {
  TTarget_Catalogue Catalogue;
  Catalogue.NTargets = 2;
  Catalogue.Targets[0].Name = "V1 Tst";
  Catalogue.Targets[1].Name = "A much longer name";
  const TTable_Layout Layout = Table_Layout({"a.fit", "some/longer/file.fit"}, Catalogue);
  EXPECT_EQ(Layout.File_Width, std::string("some/longer/file.fit").size());
  EXPECT_EQ(Layout.Target_Width, std::string("A much longer name").size());

  TMeasure_Result Limit = Measured(0);
  Limit.Image.Less_Than = 1;
  TMeasure_Result Failed = Measured(1);
  Failed.Failed = true;
  Failed.Error = "short file";
  TMeasure_Result Odd_Name = Measured(3);
  Odd_Name.File = "a\nb.fit";

  const std::string Header = Table_Header(Layout);
  const size_t State_Column = Header.find("STATE");
  const struct {
    TMeasure_Result Result;
    std::string Magnitude, Error, State;
  } Cases[] = {
      {Measured(0), "13.505", "0.023", "Quiescent"},
      {Limit, "<13.505", "0.750", "Quiescent"}, // a limit shows Max_Error as its error
      {Measured(2), "-", "-", "Not Plate Solved"},
      {Odd_Name, "-", "-", "No star!"},
      {Failed, "-", "-", "error: short file"},
  };
  for (const auto& Case : Cases) {
    const std::string Row = Table_Row(Case.Result, Layout, 0.75);
    SCOPED_TRACE(Row);
    EXPECT_EQ(Row.find('\n'), std::string::npos);
    EXPECT_EQ(Row.substr(State_Column), Case.State);
    // Right-aligned numbers end where their titles end.
    const size_t Mag_End = Header.find("MAG") + 3, Error_End = Header.find("ERROR") + 5;
    EXPECT_EQ(Row.substr(Mag_End - Case.Magnitude.size(), Case.Magnitude.size()), Case.Magnitude);
    EXPECT_EQ(Row[Mag_End - Case.Magnitude.size() - 1], ' ');
    EXPECT_EQ(Row.substr(Error_End - Case.Error.size(), Case.Error.size()), Case.Error);
    EXPECT_EQ(Row.compare(Header.find("TARGET"), 6, Case.Result.Failed ? "-     " : "V1 Tst"), 0);
  }
}

TEST(Measure_Output, Json_Lines) {
  TMeasure_Result Failed = Measured(1);
  Failed.File = "dir/\"x\".fit";
  Failed.Failed = true;
  Failed.Error = "cannot open";
  EXPECT_EQ(Json_Line(Failed), "{\"file\":\"dir/\\\"x\\\".fit\",\"error\":\"cannot open\"}");

  TMeasure_Result R = Measured(0);
  R.Image.Image_Filter_Letter = 'V';
  R.Image.Magnitude = std::nan("");
  const std::string Line = Json_Line(R);
  EXPECT_EQ(Line.find('\n'), std::string::npos);
  EXPECT_NE(Line.find(",\"Magnitude\":null,"), std::string::npos) << Line;
  EXPECT_NE(Line.find(",\"Image_Filter_Letter\":\"V\",\"CheckName\":null,\"Check_Mag\":null,\"Check_Error\":"
                      "null,\"Check_Offset\":null,\"Saturated\":[]}"),
            std::string::npos)
      << Line;
  EXPECT_NE(Line.find(",\"Outburst\":false,"), std::string::npos) << Line;
  EXPECT_NE(Line.find(",\"Last_Error\":0,"), std::string::npos) << Line;
  R.Image.Image_Filter_Letter = '\0';
  EXPECT_NE(Json_Line(R).find(",\"Image_Filter_Letter\":\"\",\"CheckName\""), std::string::npos);
  R.Image.Image_Filter_Letter = '\xe9'; // a Latin-1 header byte
  EXPECT_NE(Json_Line(R).find(",\"Image_Filter_Letter\":\"\\u00e9\",\"CheckName\""), std::string::npos);

  // With --report-dir every line ends with the report's path, or null.
  R.Report_Asked = Failed.Report_Asked = true;
  EXPECT_EQ(Json_Line(Failed), "{\"file\":\"dir/\\\"x\\\".fit\",\"error\":\"cannot open\",\"Report\":null}");
  R.Report = "out/V1 \"a\".txt";
  EXPECT_NE(Json_Line(R).find(",\"Saturated\":[],\"Report\":\"out/V1 \\\"a\\\".txt\"}"), std::string::npos)
      << Json_Line(R);
}

} // namespace
