// Reading reports back for light curves: our own files field by field, other extended files,
// damaged lines, and the dates shown in the tooltips.

#include "report/Report.h"
#include "report/Report_Reader.h"
#include "support/Test_Files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class Report_Reader : public ::testing::Test {
protected:
  TScratch_Folder Scratch{"korvane-reader"};
  const fs::path& Dir = Scratch.Folder;
};

TEST_F(Report_Reader, Reports_We_Write_Read_Back_Field_By_Field) {
  TReport_Settings Settings{Dir.string(), "XYZ", "na", 0.75};
  struct TCase {
    std::string Name, Date_Obs;
    double JD, Magnitude, Error;
    int Less_Than;
    char Image_Filter, Ref_Filter;
    std::string Filter, Reference, Reference_UTF8, Chart;
    double CMag;
  };
  // Written out of date order, two spellings of one target, a limit and ISO 8859-1 text.
  const TCase Cases[] = {
      {"KV Exm", "'2023-09-30T19:30:00' ", 2460218.31319, 13.2184, 0.0231, 0, 'V', 'V', "V", "KV Exm C1",
       "KV Exm C1", "X0001EX", -8.17612},
      {"KV EXM", "'2023-09-29T19:30:00' ", 2460217.31319, 14.5, 0.0, 1, 'L', 'V', "CV", "R\xe9", "R\xc3\xa9",
       "X0001EX", -7.5},
      {"V2 Tst", "'2023-10-01T01:00:00' ", 2460218.54167, 9.87654, 0.0049, 0, 'B', 'B', "B", "C", "C", "Y",
       1.5},
  };
  for (const TCase& Case : Cases) {
    TImage_Model Image;
    Image.Has_Measurement = true;
    Image.ObjectName = Case.Name;
    Image.Date_Obs = Case.Date_Obs;
    Image.JD = Case.JD;
    Image.Time_From = "JD";
    Image.AirMass_From = "AIRMASS"; // the model's 1.0
    Image.Magnitude = Case.Magnitude;
    Image.Std_Error = Case.Error;
    Image.Less_Than = Case.Less_Than;
    Image.Image_Filter_Letter = Case.Image_Filter;
    Image.Ref_Filter_Letter = Case.Ref_Filter;
    Image.ReferenceName = Case.Reference;
    Image.ChartName = Case.Chart;
    Image.CMag = Case.CMag;
    ASSERT_TRUE(Write_AAVSO_Report(Image, Settings).Written);
  }
  const TReport_Folder Folder = Read_Report_Folder(Dir.string());
  EXPECT_EQ(Folder.Files_Read, 3u);
  EXPECT_EQ(Folder.Skipped_Lines, 0u);
  ASSERT_EQ(Folder.Targets.size(), 2u);
  const TTarget_History* KV = Find_Target(Folder, "kv  exm");
  ASSERT_NE(KV, nullptr);
  ASSERT_EQ(KV->Observations.size(), 2u);
  EXPECT_EQ(Find_Target(Folder, "V2 TST")->Observations.size(), 1u);
  EXPECT_EQ(Find_Target(Folder, "V3 Tst"), nullptr);

  // JD ascending: the second case comes first.
  const TCase* In_Order[] = {&Cases[1], &Cases[0]};
  for (size_t k = 0; k < 2; ++k) {
    const TCase& Case = *In_Order[k];
    const TObservation& O = KV->Observations[k];
    SCOPED_TRACE(Case.Date_Obs);
    EXPECT_NEAR(O.JD, Case.JD, 5e-6);
    EXPECT_NEAR(O.Magnitude, Case.Magnitude, 5e-4);
    EXPECT_EQ(O.Limit, Case.Less_Than != 0);
    EXPECT_NEAR(O.Error, Case.Less_Than ? Settings.Max_Error : Case.Error, 5e-4);
    EXPECT_EQ(O.Filter, Case.Filter);
    EXPECT_EQ(O.Comp_Name, Case.Reference_UTF8);
    EXPECT_NEAR(O.Comp_Mag, Case.CMag, 5e-4);
    EXPECT_EQ(O.Chart, Case.Chart);
    EXPECT_EQ(fs::path(O.File).parent_path(), Dir);
  }
  EXPECT_EQ(Light_Curve_CSV(KV->Observations),
            "JD,MAG,MERR,LIMIT,FILT,CNAME,CMAG,CHART,FILE\n"
            "2460217.31319,14.5,0.75,1,CV,R\xc3\xa9,-7.5,X0001EX," +
                (Dir / "KV EXM_2023-09-29T19_30_00.txt").string() +
                "\n"
                "2460218.31319,13.218,0.023,0,V,KV Exm C1,-8.176,X0001EX," +
                (Dir / "KV Exm_2023-09-30T19_30_00.txt").string() + "\n");
}

TEST_F(Report_Reader, Other_Files_And_Damaged_Lines) {
  const std::string Title =
      "#NAME,DATE,MAG,MERR,FILT,TRANS,MTYPE,CNAME,CMAG,KNAME,KMAG,AMASS,GROUP,CHART,NOTES\n";
  const struct {
    const char* What;
    std::string Text;
    std::string Expected; // "NAME JD MAG ERR LIMIT" of each observation read, in JD order
    size_t Skipped, Read, Passed_Over;
  } Cases[] = {
      {"several lines, pipes, CR LF, na",
       "\r\n#TYPE=Extended\r\n#DELIM=|\r\n#DATE=HJD\r\n"
       "SS CYG|2459001.5|<12.1|na|V|NO|STD|na|na|na|na|na|na|X1|n\r\n"
       "SS CYG|2459000.25|11.95|0.02|V|NO|STD|C1|11.2|na|na|1.2|na|X1|note, with comma\r\n",
       "SS CYG 2459000.25 11.95 0.02 0|SS CYG 2459001.5 12.1 nan 1|", 0, 1, 0},
      {"tab named as a word",
       "#TYPE=EXTENDED\n#DELIM=tab\nZ Cam\t2459002.5\t10.5\t0.1\tV\tNO\tSTD\tC\t9\tna\tna\tna\tna\tX\tn\n",
       "Z Cam 2459002.5 10.5 0.1 0|", 0, 1, 0},
      {"a comma in the wrong place",
       "#TYPE=EXTENDED\n" + Title + "V1, Tst,2459000.5,12.0,0.1,V,NO,STD,C,9,na,na,na,na,X,n\n" +
           "V1 Tst,2459000.5,12.0,0.1,V,NO,STD,C,9,na,na,na,na,X\n" +
           "V1 Tst,2459000.5,12.0,0.1,V,NO,STD,C,9,na,na,na,na,X,n\n",
       "V1 Tst 2459000.5 12 0.1 0|", 2, 1, 0},
      {"numbers that are not",
       "#TYPE=EXTENDED\n" + Title + "A,2459000.5,na,0.1,V,NO,STD,C,9,na,na,na,na,X,n\n" +
           "A,-1,12,0.1,V,NO,STD,C,9,na,na,na,na,X,n\n" +
           "A,2459000.5,12,-0.1,V,NO,STD,C,9,na,na,na,na,X,n\n" +
           "A,2459000.5,12,0.1,V,NO,STD,C,nine,na,na,na,na,X,n\n" +
           ",2459000.5,12,0.1,V,NO,STD,C,9,na,na,na,na,X,n\n" +
           "A,2459000.5,1e999,0.1,V,NO,STD,C,9,na,na,na,na,X,n\n",
       "", 6, 1, 0},
      {"dates the reader does not take",
       "#TYPE=EXTENDED\n#DATE=EXCEL\nA,1/2/2020,12,0.1,V,NO,STD,C,9,na,na,na,na,X,n\n", "", 1, 1, 0},
      {"a delimiter that cannot be", "#TYPE=EXTENDED\n#DELIM=.\nA.2459000.5.12.0.1\n", "", 1, 1, 0},
      {"a visual report", "#TYPE=VISUAL\nA,2459000.5,12,na,na,na,na\n", "", 0, 0, 1},
      {"an image", std::string("SIMPLE  =                    T\0\xff\n", 34), "", 0, 0, 1},
      {"empty file", "", "", 0, 0, 1},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    fs::remove_all(Dir);
    fs::create_directory(Dir);
    Put(Dir / "obs.txt", Case.Text);
    Put(Dir / ".hidden.txt", Case.Text);
    Put(Dir / "korvane-1-0.tmp", Case.Text); // a report being written
    fs::create_directory(Dir / "sub");
    Put(Dir / "sub" / "obs.txt", Case.Text);
    const TReport_Folder Folder = Read_Report_Folder(Dir.string());
    std::string Read;
    for (const TTarget_History& Target : Folder.Targets)
      for (const TObservation& O : Target.Observations) {
        std::ostringstream Line;
        Line << Target.Name << ' ' << std::setprecision(10) << O.JD << ' ' << O.Magnitude << ' ' << O.Error
             << ' ' << O.Limit << '|';
        Read += Line.str();
      }
    EXPECT_EQ(Read, Case.Expected);
    EXPECT_EQ(Folder.Skipped_Lines, Case.Skipped);
    EXPECT_EQ(Folder.Problems.size(), Case.Skipped > 0 ? 1u : 0u);
    EXPECT_EQ(Folder.Files_Read, Case.Read);
    EXPECT_EQ(Folder.Files_Passed_Over, Case.Passed_Over);
  }
  fs::remove_all(Dir);
  fs::create_directory(Dir);
  EXPECT_TRUE(Read_Report_Folder(Dir.string()).Targets.empty());
  EXPECT_THROW(Read_Report_Folder((Dir / "missing").string()), TKorvane_Error);
}

// A folder of huge or hostile files costs bounded memory: the observations stop at the bound
// (said once), and a message quotes a bad field in at most 80 characters.
TEST(Report_Reader_Bounds, Observations_And_Quotes_Are_Bounded) {
  const std::string Head = "#TYPE=EXTENDED\n";
  std::string Many = Head;
  for (size_t k = 0; k < Max_Folder_Observations / 2 + 10; ++k)
    Many += "V,2460000.5,12.1,na,V,NO,STD,na,na,na,na,na,na,na,na\n";
  const std::string Long_Field(60000, '9');
  const struct {
    const char* What;
    std::vector<std::string> Files;
    size_t Observations;
    std::string Problem; // the one problem said, as its start
  } Cases[] = {
      {"below the bound", {Many}, Max_Folder_Observations / 2 + 10, ""},
      {"two files past the bound",
       {Many, Many, Many},
       Max_Folder_Observations,
       "b: only the first " + std::to_string(Max_Folder_Observations) + " observations"},
      {"a long bad field",
       {Head + "V," + Long_Field + "x,12.1,na,V,NO,STD,na,na,na,na,na,na,na,na\n"},
       0,
       "a: 1 line skipped (line 2: the date '" + Long_Field.substr(0, 80) + "...' is not a Julian date)"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    TReport_Folder Folder;
    for (size_t k = 0; k < Case.Files.size() && !Folder.Observations_Cut; ++k)
      Read_Report_Text(Case.Files[k], std::string(1, static_cast<char>('a' + k)), Folder);
    size_t Count = 0;
    for (const TTarget_History& Target : Folder.Targets)
      Count += Target.Observations.size();
    EXPECT_EQ(Count, Case.Observations);
    EXPECT_EQ(Folder.Observations, Case.Observations);
    EXPECT_EQ(Folder.Observations_Cut, Case.Observations == Max_Folder_Observations);
    if (Case.Problem.empty()) {
      EXPECT_TRUE(Folder.Problems.empty());
      continue;
    }
    ASSERT_EQ(Folder.Problems.size(), 1u);
    EXPECT_EQ(Folder.Problems[0].substr(0, Case.Problem.size()), Case.Problem);
    EXPECT_LT(Folder.Problems[0].size(), 200u);
  }
}

TEST(Report_Dates, Calendar_And_Tooltip_Texts) {
  const struct {
    double JD;
    std::string Calendar;
  } Dates[] = {
      {2451545.0, "2000-01-01 12:00:00"},
      {2440587.5, "1970-01-01 00:00:00"},
      {2460369.5, "2024-02-29 00:00:00"},
      {2460218.31319, "2023-09-30 19:31:00"},
      {2451544.5 - 0.4 / 86400, "2000-01-01 00:00:00"}, // rounds across midnight and the year
      {2299160.5, "1582-10-15 00:00:00"},
      {1721425.5, "0001-01-01 00:00:00"},
      {1721424.5, ""},
      {NAN, ""},
  };
  for (const auto& Date : Dates)
    EXPECT_EQ(Calendar_Text(Date.JD), Date.Calendar) << Date.JD;

  TObservation O;
  O.JD = 2451545.0;
  O.Magnitude = 12.3456;
  O.Error = 0.0214;
  O.Filter = "V";
  EXPECT_EQ(Observation_Text(O, ','), "JD 2451545,00000\n2000-01-01 12:00:00 UTC\nV 12,346 \u00b1 0,021");
  O.Error = NAN;
  O.Filter.clear();
  EXPECT_EQ(Observation_Text(O, '.'), "JD 2451545.00000\n2000-01-01 12:00:00 UTC\n12.346");
  O.Limit = true;
  O.Filter = "B";
  EXPECT_EQ(Observation_Text(O, '.'), "JD 2451545.00000\n2000-01-01 12:00:00 UTC\nB fainter than 12.346");
}

} // namespace

namespace {

TEST(Light_Curve_Range, Every_Point_Bar_And_Threshold_Inside_With_A_Margin) {
  const auto At = [](double JD, double Magnitude, double Error, bool Limit = false) {
    TObservation O;
    O.JD = JD;
    O.Magnitude = Magnitude;
    O.Error = Error;
    O.Limit = Limit;
    return O;
  };
  const struct {
    const char* What;
    std::vector<TObservation> Observations;
    std::optional<double> Threshold;
    TLight_Curve_Extent Expected;
  } Cases[] = {
      {"bars widen the range, a limit's error does not",
       {At(100.0, 12.0, 0.5), At(200.0, 13.0, NAN), At(150.0, 14.0, 3.0, true)},
       std::nullopt,
       {97.0, 203.0, 11.5 - 0.125, 14.0 + 0.125}},
      {"the threshold is inside",
       {At(100.0, 12.0, 0.0), At(110.0, 13.0, 0.0)},
       15.0,
       {99.7, 110.3, 11.85, 15.15}},
      {"one point", {At(100.0, 12.0, NAN)}, std::nullopt, {99.0, 101.0, 11.9, 12.1}},
      {"nothing", {}, 15.0, {0.0, 1.0, 0.0, 1.0}},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const TLight_Curve_Extent E = Light_Curve_Extent(Case.Observations, Case.Threshold);
    EXPECT_NEAR(E.JD_Low, Case.Expected.JD_Low, 1e-9);
    EXPECT_NEAR(E.JD_High, Case.Expected.JD_High, 1e-9);
    EXPECT_NEAR(E.Mag_Low, Case.Expected.Mag_Low, 1e-9);
    EXPECT_NEAR(E.Mag_High, Case.Expected.Mag_High, 1e-9);
  }
  const std::pair<double, int> Steps[] = {{30.0, 0}, {1.0, 0}, {0.25, 1}, {0.01, 2},
                                          {1e-9, 5}, {0.0, 3}, {NAN, 3}};
  for (const auto& [Step, Decimals] : Steps)
    EXPECT_EQ(Label_Decimals(Step), Decimals) << Step;
}

} // namespace
