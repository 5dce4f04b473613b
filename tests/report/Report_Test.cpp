// The AAVSO report as an observer submits it: bytes, file names, refusals, failed writes.

#include "report/Report.h"
#include "support/Fits_Writer.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"
#include "support/Unprivileged.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <locale>
#include <map>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string Header =
    "#TYPE=EXTENDED\r\n#OBSCODE=XYZ\r\n#SOFTWARE=Korvane V1.0\r\n#DELIM=,\r\n#DATE=JD\r\n"
    "#OBSTYPE=CCD\r\n"
    "#NAME,DATE,MAG,MERR,FILT,TRANS,MTYPE,CNAME,CMAG,KNAME,KMAG,AMASS,GROUP,CHART,NOTES\r\n";
const std::string Worked_Line =
    "V1 Tst,2456659.63021,12.346,0.021,V,NO,STD,Ref A,-9.877,na,na,1.234,na,X123A,na 60.0 seconds";
// The worked line up to its NOTES column.
const std::string Worked_Columns = Worked_Line.substr(0, Worked_Line.rfind(',') + 1);
const std::string Worked_Name = "V1 Tst_2014-01-02T03_04_05.txt";

// A user whose numbers take a decimal comma, for everything that formats through a locale.
struct TComma : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
};

class Report : public ::testing::Test {
protected:
  void SetUp() override { Fresh(); }
  void TearDown() override {
    std::error_code Ignored; // a folder left read-only could not be emptied
    fs::permissions(Dir, fs::perms::owner_all, Ignored);
  }
  // An empty report folder, the worked example's image and settings.
  void Fresh() {
    for (const auto& Entry : fs::directory_iterator(Root))
      fs::remove_all(Entry.path());
    fs::create_directory(Dir);
    Image = TImage_Model();
    Image.Has_Measurement = true; // the writer reports nothing else
    Image.ObjectName = "V1 Tst";
    Image.Date_Obs = "'2014-01-02T03:04:05' ";
    Image.JD = 2456659.63021;
    Image.Time_From = "JD";
    Image.Magnitude = 12.3456;
    Image.Std_Error = 0.0213;
    Image.Image_Filter_Letter = Image.Ref_Filter_Letter = 'V';
    Image.ReferenceName = "Ref A";
    Image.CMag = -9.87654;
    Image.AirMass = 1.234;
    Image.AirMass_From = "AIRMASS";
    Image.ChartName = "X123A";
    Image.Exposure = 60.0;
    Settings = {Dir.string(), "XYZ", "na", 1.0};
  }
  // Every file under Root, relative to it.
  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> Found;
    for (const auto& Entry : fs::recursive_directory_iterator(Root))
      if (!Entry.is_directory())
        Found[fs::relative(Entry.path(), Root).string()] = Get(Entry.path());
    return Found;
  }
  TScratch_Folder Scratch{"korvane-report"};
  const fs::path& Root = Scratch.Folder;
  const fs::path Dir = Root / "reports";
  TImage_Model Image;
  TReport_Settings Settings;
};

TEST_F(Report, Lines_Columns_And_Filter_Rule) {
  const std::locale Saved = std::locale::global(std::locale(std::locale::classic(), new TComma));
  const struct {
    const char* What;
    std::function<void(TImage_Model&, TReport_Settings&)> Change;
    std::string Line, Message;
  } Cases[] = {
      {"worked example", [](auto&, auto&) {}, Worked_Line, ""},
      {"limit",
       [](auto& I, auto& S) {
         I.Less_Than = 1;
         I.Magnitude = 13.52;
         S.Max_Error = 0.75;
       },
       "V1 Tst,2456659.63021,<13.520,0.750,V,NO,STD,Ref A,-9.877,na,na,1.234,na,X123A,na 60.0 seconds", ""},
      {"exposure 5", [](auto& I, auto&) { I.Exposure = 5.0; }, Worked_Columns + "na  5.0 seconds", ""},
      {"exposure 0", [](auto& I, auto&) { I.Exposure = 0.0; }, Worked_Columns + "na  0.0 seconds", ""},
      {"empty notes", [](auto&, auto& S) { S.Notes = ""; }, Worked_Columns + " 60.0 seconds", ""},
      {"L against V", [](auto& I, auto&) { I.Image_Filter_Letter = 'L'; },
       "V1 Tst,2456659.63021,12.346,0.021,CV,NO,STD,Ref A,-9.877,na,na,1.234,na,X123A,na 60.0 seconds", ""},
      {"v against V", [](auto& I, auto&) { I.Image_Filter_Letter = 'v'; },
       "V1 Tst,2456659.63021,12.346,0.021,v,NO,STD,Ref A,-9.877,na,na,1.234,na,X123A,na 60.0 seconds",
       "Image Filter = v, Ref Filter = V"},
      {"ISO 8859-1 text",
       [](auto& I, auto&) {
         I.ChartName = "X\xc3\xa9"; // UTF-8
         I.ReferenceName = "R\xe9"; // a target file written in 8 bits
       },
       "V1 Tst,2456659.63021,12.346,0.021,V,NO,STD,R\xe9,-9.877,na,na,1.234,na,X\xe9,na 60.0 seconds", ""},
      {"check star, saturated stars",
       [](auto& I, auto&) {
         I.Has_Check = true;
         I.CheckName = "Chk B";
         I.Check_CMag = -9.4056;
         I.Saturated = {"Reference", "Check"};
       },
       "V1 Tst,2456659.63021,12.346,0.021,V,NO,STD,Ref A,-9.877,Chk B,-9.406,1.234,na,X123A,na 60.0 seconds; "
       "saturated: Reference; saturated: Check",
       ""},
      {"a check star not measured says na",
       [](auto& I, auto&) {
         I.CheckName = "Chk B";
         I.Check_CMag = -9.4056;
       },
       Worked_Line, ""},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    Fresh();
    Case.Change(Image, Settings);
    Put(Dir / Worked_Name, std::string(5000, 'o')); // an older, longer report is replaced
    for (int Time = 0; Time < 2; ++Time) {          // the second write gives the same file again
      const TReport_Outcome Outcome = Write_AAVSO_Report(Image, Settings);
      EXPECT_TRUE(Outcome.Written) << Outcome.Reason;
      EXPECT_EQ(Outcome.Path, Dir.string() + "/" + Worked_Name);
      EXPECT_EQ(Outcome.Filter_Message, Case.Message);
      EXPECT_EQ(Files(), (std::map<std::string, std::string>{
                             {"reports/" + Worked_Name, Header + Case.Line + "\r\n"}}));
    }
  }
  std::locale::global(Saved);
}

TEST_F(Report, File_Names_Stay_In_The_Report_Folder) {
  const std::string Card_Without_Comment = "'2014-01-02T03:04:05'" + std::string(49, ' ');
  const struct {
    std::string Object, Date_Obs, Folder, Name; // Name empty: not created (code 6)
    bool Measured = true;
  } Cases[] = {
      {"V1 Tst", "'2014-01-02T03:04:05' ", "reports", Worked_Name},
      // Nothing measured (a failed measurement, an unsolved image, a file not read): no report.
      {"V1 Tst", "'2014-01-02T03:04:05' ", "reports", "", false},
      {"", "'2014-01-02T03:04:05' ", "reports", ""},
      // A comment line to every reader, a hidden file to every folder listing.
      {"#V1 Tst", "'2014-01-02T03:04:05' ", "reports", ""},
      {".V1 Tst", "'2014-01-02T03:04:05' ", "reports", ""},
      {"V1 #Tst.", "'2014-01-02T03:04:05' ", "reports", "V1 #Tst._2014-01-02T03_04_05.txt"},
      // Without DATE-OBS the date is the exposure's start, JD 2456659.63021 less 30 s.
      {"V1 Tst", "", "reports", "V1 Tst_2014-01-02T03_07_00.txt"},
      {"V1 Tst", Card_Without_Comment, "reports",
       "V1 Tst_2014-01-02T03_04_05'" + std::string(47, ' ') + ".txt"},
      {"V1/Tst", "'2014-01-02T03:04:05' ", "reports", ""},
      {"V1 Tst", "'/../../escaped' ", "reports", ""}, // "reports/V1 Tst_" exists: would reach Root
      {"V1 Tst", "'02/01/14' ", "reports", ""},
      {"V1 Tst", "'2014-01-02T03:04:05' ", "missing", ""},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Object + " " + Case.Date_Obs);
    Fresh();
    fs::create_directory(Dir / "V1 Tst_");
    Image.ObjectName = Case.Object;
    Image.Date_Obs = Case.Date_Obs;
    Image.Has_Measurement = Case.Measured;
    Put(Dir / Worked_Name, "good");
    Settings.ReportFileDir = (Root / Case.Folder).string();
    TReport_Outcome Outcome;
    EXPECT_NO_THROW(Outcome = Write_AAVSO_Report(Image, Settings));
    EXPECT_EQ(Outcome.Written, !Case.Name.empty());
    EXPECT_EQ(Outcome.Reason.empty(), !Case.Name.empty());
    std::map<std::string, std::string> Expected = {{"reports/" + Worked_Name, "good"}};
    if (!Case.Name.empty())
      Expected["reports/" + Case.Name] = Report_Text(Image, Settings);
    EXPECT_EQ(Files(), Expected);
  }
}

TEST_F(Report, Fields_That_Would_Break_The_File_Are_Refused) {
  const struct {
    std::function<void(TImage_Model&, TReport_Settings&)> Change;
    std::string Message_Part;
  } Cases[] = {
      {[](auto&, auto& S) { S.Notes = "na, cloudy"; }, "the Notes setting \"na, cloudy\" holds a comma"},
      {[](auto& I, auto&) { I.ObjectName = "V1,Tst"; }, "the target name \"V1,Tst\" holds a comma"},
      {[](auto& I, auto&) { I.ReferenceName = "Ref,A"; },
       "the reference star's name \"Ref,A\" holds a comma"},
      {[](auto& I, auto&) { I.ChartName = "X1,23"; }, "the chart name \"X1,23\" holds a comma"},
      {[](auto& I, auto&) {
         I.Has_Check = true;
         I.CheckName = "Chk,B";
       },
       "the check star's name \"Chk,B\" holds a comma"},
      {[](auto& I, auto&) { I.ChartName = "X\xe2\x98\x85"; }, "the chart name \"X\xe2\x98\x85\" holds "
                                                              "\"\xe2\x98\x85\" (U+2605)"},
      {[](auto&, auto& S) { S.AAVSO_ObsCode = "XY\r\nZ"; },
       "the observer code \"XY\r\nZ\" holds a line break"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Message_Part);
    Fresh();
    Case.Change(Image, Settings);
    Put(Dir / "V1,Tst_2014-01-02T03_04_05.txt", "old");
    Put(Dir / Worked_Name, "old");
    const auto Before = Files();
    try {
      Write_AAVSO_Report(Image, Settings);
      ADD_FAILURE() << "written";
    } catch (const TKorvane_Error& E) {
      EXPECT_NE(std::string(E.what()).find(Case.Message_Part), std::string::npos) << E.what();
    }
    EXPECT_EQ(Files(), Before);
  }
}

TEST_F(Report, Nothing_At_The_Reports_Name_Redirects_It) {
  // What another user of a shared folder could plant at a predictable report name.
  const fs::path Name = Dir / Worked_Name, Victim = Root / "authorized_keys", Nowhere = Root / "nowhere";
  const struct {
    const char* What;
    std::function<void()> Plant;
    bool Written; // else refused, the thing planted left as it was
  } Cases[] = {
      {"a link to another file", [&] { fs::create_symlink(Victim, Name); }, true},
      {"a link to nothing", [&] { fs::create_symlink(Nowhere, Name); }, true},
      {"a pipe", [&] { ASSERT_EQ(::mkfifo(Name.c_str(), 0600), 0); }, false},
      {"a folder", [&] { fs::create_directory(Name); }, false},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    Fresh();
    Put(Victim, "secret");
    Case.Plant();
    const fs::file_status Planted = fs::symlink_status(Name);
    bool Written = false;
    try {
      Written = Write_AAVSO_Report(Image, Settings).Written;
    } catch (const TKorvane_Error& E) {
      EXPECT_NE(std::string(E.what()).find(Name.string() + ": cannot write the file"), std::string::npos)
          << E.what();
    }
    EXPECT_EQ(Written, Case.Written);
    EXPECT_EQ(Get(Victim), "secret");
    EXPECT_FALSE(fs::exists(Nowhere));
    if (Case.Written) {
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Name)));
      EXPECT_EQ(Get(Name), Report_Text(Image, Settings));
    } else {
      EXPECT_EQ(fs::symlink_status(Name).type(), Planted.type());
    }
    for (const auto& Entry : fs::directory_iterator(Dir))
      EXPECT_EQ(Entry.path().extension(), ".txt") << "left behind: " << Entry.path();
  }
}

TEST_F(Report, A_Failed_Write_Leaves_The_Old_Report) {
  Put(Dir / Worked_Name, "old");
  const auto Before = Files();
  // The disk fills up: a file-size limit below the report's size.
  EXPECT_EXIT(
      {
        ::signal(SIGXFSZ, SIG_DFL);
        struct rlimit Small = {};
        Small.rlim_cur = Small.rlim_max = 100;
        ::setrlimit(RLIMIT_FSIZE, &Small);
        try {
          Write_AAVSO_Report(Image, Settings);
        } catch (const TKorvane_Error&) {
          std::_Exit(0);
        }
        std::_Exit(1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Files(), Before);
  // A folder the user may not write into cannot take the report (code 6).
  fs::permissions(Root, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(Dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                           fs::perms::others_exec);
  Expect_Without_Permission(Dir.string(), W_OK, [&] { return !Write_AAVSO_Report(Image, Settings).Written; });
  EXPECT_EQ(Files(), Before);
}

} // namespace

// A frame whose header gives no time is measured but not reported: nothing is written and the
// reason names the cards looked for. One without an air mass is reported with AMASS na.
TEST_F(Report, A_Frame_Without_Time_Is_Refused_And_One_Without_Air_Mass_Says_Na) {
  const TScratch_Folder Frames{"korvane-report-time"};
  TFits_Writer Writer = Standard_Header(3, 2);
  Writer.Add("EXPOSURE", "60");
  Writer.Add("TIME-OBS", "'03:04:05'"); // a time of day alone gives no date
  Writer.Write(Frames.Path("frame.fit"), TFits_Writer::Data_Bytes_Unsigned({1, 2, 3, 4, 5, 6}));
  TRecording_Messages Messages;
  TImage_Model Read;
  Read.Open_File(Frames.Path("frame.fit"), Messages);
  Image.Time_From = Read.Time_From;
  Image.Date_Obs = Read.Date_Obs;
  Image.JD = Read.JD;
  const TReport_Outcome Refused = Write_AAVSO_Report(Image, Settings);
  EXPECT_FALSE(Refused.Written);
  EXPECT_TRUE(Refused.No_Time);
  for (const char* Card : {"JD", "DATE-AVG", "MJD-AVG", "DATE-OBS", "TIME-OBS", "UT", "MJD-OBS"})
    EXPECT_NE(Refused.Reason.find(Card), std::string::npos) << Card << ": " << Refused.Reason;
  EXPECT_TRUE(Files().empty());

  Fresh();
  Image.AirMass_From.clear();
  ASSERT_TRUE(Write_AAVSO_Report(Image, Settings).Written);
  EXPECT_NE(Get(Dir / Worked_Name).find(",-9.877,na,na,na,na,X123A,"), std::string::npos);
}
