#include "catalogue/Target_Data.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"
#include "support/Unprivileged.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const Header = "Name,RAh,RAm,RAs,Decd,Decm,Decs,Ref,RRAh,RRAm,RRAs,RDecd,RDecm,RDecs,Filter,"
                           "Rmag,Threshold,Chart\r\nsecond header line\r\n\r\n";

std::string Entry_Line(int Number) {
  return "V" + std::to_string(Number) + " Tst,1,2,3.5,-4,5,6.5,Ref A,1,3,0,-4,10,0,V,12.345,11.5,X123A\r\n";
}

class Target_File : public ::testing::Test {
protected:
  void Put(const std::string& Bytes) const { ::Put(Path, Bytes); }
  // Loads Content from a file and from memory; both must agree on the outcome.
  TLoad_Outcome Load(const std::string& Content, TTarget_Catalogue& Catalogue, char Separator = '.') {
    Put(Content);
    TRecording_Messages Messages;
    TTarget_Catalogue From_Text = Catalogue;
    const TLoad_Outcome Outcome = Load_Targets(Path, Catalogue, TNumber_Format{Separator}, Messages);
    EXPECT_TRUE(Messages.Texts.empty());
    const TLoad_Outcome Text_Outcome = Load_Targets_From_Text(Content, From_Text, TNumber_Format{Separator});
    EXPECT_EQ(Text_Outcome.Panel_Text, Outcome.Panel_Text);
    EXPECT_EQ(Text_Outcome.Too_Many, Outcome.Too_Many);
    EXPECT_EQ(From_Text.NTargets, Catalogue.NTargets);
    return Outcome;
  }
  TScratch_Folder Scratch{"korvane-targets"};
  const std::string Dir = Scratch.Folder.string(), Path = Scratch.Path("targets.csv");
};

// A catalogue that already holds entries, so that a load must restart it.
TTarget_Catalogue Used_Catalogue() {
  TTarget_Catalogue C;
  for (int i = 0; i < 7; ++i)
    C.Targets[static_cast<size_t>(i)].Name = "Old " + std::to_string(i);
  C.NTargets = 7;
  return C;
}

} // namespace

TEST(Target_Data, Field_Reader_Splits_At_Every_Comma_And_Keeps_Everything_Else) {
  struct Case {
    const char* Line;
    std::vector<std::string> Fields; // followed by empty fields
  };
  const Case Cases[] = {
      {"a,b", {"a", "b"}}, {" a , b ", {" a ", " b "}},     {"a,,b,", {"a", "", "b", ""}},
      {",x", {"", "x"}},   {"\"Q\",'s'", {"\"Q\"", "'s'"}}, {"", {}},
  };
  for (const Case& C : Cases) {
    TField_Reader R(C.Line);
    for (const std::string& Expected : C.Fields)
      EXPECT_EQ(R.Next_Field(), Expected) << C.Line;
    EXPECT_EQ(R.Next_Field(), "") << C.Line;
    EXPECT_EQ(R.Next_Field(), "") << C.Line;
  }
}

TEST(Target_Data, Sexagesimal_Conversion_Takes_The_Declination_Sign_From_The_Text) {
  struct Case {
    const char *Degrees, *Minutes, *Seconds;
    double Expected;
  };
  const Case Cases[] = {
      {"-00", "30", "00", -0.5}, {"-0", "30", "00", -0.5},       {"00", "30", "00", 0.5},
      {"+05", "30", "00", 5.5},  {" -05", "30", "00", -4.5}, // the blank comes first: the adding branch
      {"-05", "30", "00", -5.5}, {"-4", "5", "6.5", -4.0851389}, {"89", "59", "59.99", 89.99999722},
  };
  for (const Case& C : Cases)
    EXPECT_NEAR(Sexagesimal_Dec(C.Degrees, C.Minutes, C.Seconds, '.'), C.Expected, 1e-7) << C.Degrees;
  EXPECT_NEAR(Sexagesimal_RA("1", "2", "3.5", '.'), 1.0343056, 1e-7);
  EXPECT_NEAR(Sexagesimal_RA("-1", "30", "0", '.'), -0.5, 1e-12); // no sign test for RA
  EXPECT_NEAR(Sexagesimal_RA("23", "59", "59,5", ','), 23.99986111, 1e-7);
}

TEST_F(Target_File, Example_Line_Gives_The_Documented_Entry) {
  TTarget_Catalogue C = Used_Catalogue();
  const TLoad_Outcome Outcome =
      Load(std::string(Header) + "V1 Tst,1,2,3.5,-4,5,6.5,Ref A,1,3,0,-4,10,0,V,12.345,11.5,X123A\r\n", C);
  EXPECT_TRUE(Outcome.Panel_Changed);
  EXPECT_EQ(Outcome.Panel_Text, "1 Targets Loaded");
  ASSERT_EQ(C.NTargets, 1);
  const TTargetData& T = C.Targets[0];
  EXPECT_EQ(T.Name, "V1 Tst");
  EXPECT_NEAR(T.RA, 1.0343056, 1e-7);
  EXPECT_NEAR(T.Dec, -4.0851389, 1e-7);
  EXPECT_EQ(T.RName, "Ref A");
  EXPECT_NEAR(T.RRA, 1.05, 1e-7);
  EXPECT_NEAR(T.RDec, -4.1666667, 1e-7);
  EXPECT_EQ(T.RFilter, 'V');
  EXPECT_NEAR(T.Rmag, 12.345, 1e-7);
  EXPECT_NEAR(T.Threshold, 11.5, 1e-7);
  EXPECT_EQ(T.ChartName, "X123A");
}

TEST_F(Target_File, Entry_Lines_Fill_The_Slots_In_File_Order) {
  struct Case {
    const char* What;
    std::string Content;
    int Expected_Count;
    std::string Expected_Panel;
    bool Too_Many = false; // lines were left after Max_Targets entries
  };
  std::string Full(Header);
  for (int i = 1; i <= 200; ++i)
    Full += Entry_Line(i);
  std::vector<Case> Cases = {
      {"only the header", Header, 0, "0 Targets Loaded"},
      {"fewer than three lines", "Name,RA\r\nx\r\n", 0, "0 Targets Loaded"},
      {"empty file", "", 0, "0 Targets Loaded"},
      {"200 entries", Full, 200, "200 Targets Loaded"},
      {"200 entries and an empty line", Full + "\r\n", 200, "Too many (200) Targets", true},
      {"201 entries", Full + Entry_Line(201), 200, "Too many (200) Targets", true},
      {"empty lines take no slot",
       std::string(Header) + "\r\n" + Entry_Line(1) + "\r\n\r\n" + Entry_Line(2) + "\r\n", 2,
       "2 Targets Loaded"},
      {"a line without a name takes no slot",
       std::string(Header) + Entry_Line(1) + ",1,2,3,4,5,6\r\n" + Entry_Line(2), 2, "2 Targets Loaded"},
      {"lone LF line ends", "h1\nh2\nh3\nA,1,2,3,4,5,6\nB,1,2,3,4,5,6", 2, "2 Targets Loaded"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    TTarget_Catalogue Catalogue = Used_Catalogue();
    const TLoad_Outcome Outcome = Load(C.Content, Catalogue);
    EXPECT_TRUE(Outcome.Panel_Changed);
    EXPECT_EQ(Outcome.Panel_Text, C.Expected_Panel);
    EXPECT_EQ(Outcome.Too_Many, C.Too_Many);
    EXPECT_EQ(Catalogue.NTargets, C.Expected_Count);
    for (int i = 0; i < Catalogue.NTargets; ++i)
      EXPECT_FALSE(Catalogue.Targets[static_cast<size_t>(i)].Name.empty()) << i;
  }
  TTarget_Catalogue Catalogue;
  Load(Full + Entry_Line(201), Catalogue);
  EXPECT_EQ(Catalogue.Targets[199].Name, "V200 Tst");
  Load(std::string(Header) + Entry_Line(1) + ",1,2,3,4,5,6\r\n" + Entry_Line(2), Catalogue);
  EXPECT_EQ(Catalogue.Targets[1].Name, "V2 Tst");
}

TEST_F(Target_File, Fields_Of_Entries_With_And_Without_Reference_Star) {
  TTarget_Catalogue C;
  Load(std::string(Header) + "No Ref,10,20,30,+05,30,00\r\n"                         // ends after field 7
                             "Empty Ref,10,20,30,-00,30,00,,9,9,9,9,9,9,V,1,2,C\r\n" // nothing after 8 read
                             "Vis,0,0,0,0,0,0,R,0,0,0,0,0,0,Vis,10,,C1\r\n"          // empty threshold: 0
                             "\"Quoted\",0,0,0,0,0,0,R,0,0,0,0,0,0,B,10,,C2\r\n"     // empty threshold: 0
                             "   Blanks ,0,0,0, -05,30,00,R,0,0,0,0,0,0,R,10, 9.5 \r\n", // no chart field
       C);
  ASSERT_EQ(C.NTargets, 5);
  EXPECT_NEAR(C.Targets[0].RA, 10 + 20 / 60.0 + 30 / 3600.0, 1e-12);
  EXPECT_NEAR(C.Targets[0].Dec, 5.5, 1e-12);
  EXPECT_EQ(C.Targets[0].RName, "");
  EXPECT_EQ(C.Targets[1].RName, "");
  EXPECT_NEAR(C.Targets[1].Dec, -0.5, 1e-12);
  EXPECT_EQ(C.Targets[1].RRA, 0.0);
  EXPECT_EQ(C.Targets[1].RDec, 0.0);
  EXPECT_EQ(C.Targets[1].Rmag, 0.0);
  EXPECT_EQ(C.Targets[1].ChartName, "");
  EXPECT_EQ(C.Targets[2].RFilter, 'V');
  EXPECT_EQ(C.Targets[2].Threshold, 0.0);
  EXPECT_EQ(C.Targets[2].ChartName, "C1");
  EXPECT_EQ(C.Targets[3].Name, "\"Quoted\"");
  EXPECT_EQ(C.Targets[3].Threshold, 0.0);
  EXPECT_EQ(C.Targets[4].Name, "   Blanks ");
  EXPECT_NEAR(C.Targets[4].Dec, -4.5, 1e-12);
  EXPECT_EQ(C.Targets[4].Threshold, 9.5);
  EXPECT_EQ(C.Targets[4].ChartName, "");
}

TEST_F(Target_File, Check_Star_Columns_After_The_Chart) {
  struct Case {
    const char* Tail; // after the chart field
    const char* KName;
    double KRA, KDec, Kmag;
    const char* Error; // part of the message; empty: the line loads
  };
  const Case Cases[] = {
      {"", "", 0, 0, 0, ""},
      {",", "", 0, 0, 0, ""},
      {",K1,1,4,30,-4,12,0,12.8", "K1", 1.075, -4.2, 12.8, ""},
      {",K1,1,4,30,-4,12,0,12.8,more", "K1", 1.075, -4.2, 12.8, ""},
      {",K1,1,4,x,-4,12,0,12.8", "", 0, 0, 0, "check star K1 of the target V1 Tst: KRAh, KRAm, KRAs: 'x'"},
      {",K1,1,4,30,-4,1.5,0,12.8", "", 0, 0, 0, "KDecd, KDecm, KDecs: '1.5' is not a valid integer"},
      {",K1,1,4,30,-4,12,0", "", 0, 0, 0, "Kmag: no magnitude"},
      {",K1,1,4,30,-4,12,0,bright", "", 0, 0, 0, "Kmag: 'bright' is not a valid floating point value"},
      {",extra,fields", "", 0, 0, 0, "check star extra"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Tail);
    const std::string Content = std::string(Header) +
                                "V1 Tst,1,2,3.5,-4,5,6.5,Ref A,1,3,0,-4,10,0,V,12.345,11.5,X123A" + C.Tail +
                                "\r\n";
    TTarget_Catalogue Catalogue;
    if (!*C.Error) {
      Load(Content, Catalogue);
      ASSERT_EQ(Catalogue.NTargets, 1);
      const TTargetData& T = Catalogue.Targets[0];
      EXPECT_EQ(T.ChartName, "X123A");
      EXPECT_EQ(T.KName, C.KName);
      EXPECT_NEAR(T.KRA, C.KRA, 1e-9);
      EXPECT_NEAR(T.KDec, C.KDec, 1e-9);
      EXPECT_EQ(T.Kmag, C.Kmag);
      continue;
    }
    try {
      Load_Targets_From_Text(Content, Catalogue, TNumber_Format{});
      ADD_FAILURE() << "no error";
    } catch (const TLine_Error& E) {
      EXPECT_EQ(E.Line, 4);
      EXPECT_NE(std::string(E.what()).find(C.Error), std::string::npos) << E.what();
    }
    EXPECT_EQ(Catalogue.NTargets, 0);
  }
}

TEST_F(Target_File, A_Field_That_Does_Not_Convert_Ends_The_Load) {
  struct Case {
    const char* Line;
    char Separator;
    const char* Message; // empty: only checked to be a clear message
  };
  const Case Cases[] = {
      {"   ", '.', "'' is not a valid floating point value"}, // seconds come first
      {"V,x,2,3", '.', "'x' is not a valid integer value"},
      {"V,1,2.5,3", '.', "'2.5' is not a valid integer value"},
      {"V,1 ,2,3", '.', "'1 ' is not a valid integer value"},
      {"V,4294967296,2,3", '.', "'4294967296' is not a valid integer value"},
      {"V,1,2,3,4,5,abc", '.', "'abc' is not a valid floating point value"},
      {"V,1,2,3,,5,6", '.', "'' is not a valid integer value"},
      {"V,1,2,3,4,5,6,R,1,2,3,4,5,x,V,1", '.', "'x' is not a valid floating point value"},
      {"V,1,2,3,4,5,6,R,1,2,3,4,5,6,V,bright", '.', "'bright' is not a valid floating point value"},
      {"V,1,2,3,4,5,6,R,1,2,3,4,5,6", '.', ""}, // reference star without filter
      {"V,1,2,3,4,5,6,R,1,2,3,4,5,6,,12", '.', ""},
      {"V,1,2,3,4,5,6,R,1,2,3,4,5,6,V,12,abc,C", '.', "'abc' is not a valid floating point value"},
      {"V,1,2,3,4,5,6,R,1,2,3,4,5,6,V,12,abc,C", ',', "'abc' is not a valid floating point value"},
      {"V,1,2,3,4,5,6,R,1,2,3,4,5,6,V,12, ", ',', "' ' is not a valid floating point value"},
      {"V,1,2,3.5.1,4,5,6", ',', "'3.5.1' is not a valid floating point value"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Line);
    const std::string Content = std::string(Header) + "Good,1,2,3,4,5,6,R,1,2,3,4,5,6,V,12,11,C\r\n" +
                                C.Line + "\r\n" + "After,1,2,3,4,5,6\r\n";
    for (bool From_File : {true, false}) {
      TTarget_Catalogue Catalogue = Used_Catalogue();
      try {
        TRecording_Messages Messages;
        Put(Content);
        if (From_File)
          Load_Targets(Path, Catalogue, TNumber_Format{C.Separator}, Messages);
        else
          Load_Targets_From_Text(Content, Catalogue, TNumber_Format{C.Separator});
        ADD_FAILURE() << "no error";
      } catch (const TKorvane_Error& E) {
        if (*C.Message)
          EXPECT_STREQ(E.what(), C.Message);
        else
          EXPECT_NE(std::string(E.what()).find("filter"), std::string::npos) << E.what();
      }
      ASSERT_EQ(Catalogue.NTargets, 1);
      EXPECT_EQ(Catalogue.Targets[0].Name, "Good");
      EXPECT_EQ(Catalogue.Targets[0].Rmag, 12.0);
    }
  }
}

TEST_F(Target_File, A_File_Loads_The_Same_Values_Under_Either_Decimal_Separator) {
  struct Case {
    const char* Line;
    double RA, Dec, RRA, RDec, Rmag, Threshold;
  };
  auto S = [](double Whole, double Minutes, double Seconds) { return Whole + Minutes / 60 + Seconds / 3600; };
  const Case Cases[] = {
      {"V1,1,2,3.5,-4,5,6.5,Ref A,1,3,0.5,-4,10,0.25,V,12.345,13.5,C", S(1, 2, 3.5), -S(4, 5, 6.5),
       S(1, 3, 0.5), -S(4, 10, 0.25), 12.345, 13.5},
      {"V1,1,2,3,-4,5,6,Ref A,1,3,0,-4,10,0,V,12,11,C", S(1, 2, 3), -S(4, 5, 6), S(1, 3, 0), -S(4, 10, 0),
       12.0, 11.0},
      {"V1,1,2, 3.5 ,-4,5,.5,Ref A,1,3,0,-4,10,0,V, 1.2345E1 ,-1.5e+1,C", S(1, 2, 3.5), -S(4, 5, 0.5),
       S(1, 3, 0), -S(4, 10, 0), 12.345, -15.0},
      {"V1,1,2,3,-4,5,6,Ref A,1,3,0,-4,10,0,V,9.5,,C", S(1, 2, 3), -S(4, 5, 6), S(1, 3, 0), -S(4, 10, 0), 9.5,
       0.0},
  };
  for (const Case& C : Cases)
    for (char Separator : {'.', ','}) {
      SCOPED_TRACE(std::string(C.Line) + " with '" + Separator + "'");
      TTarget_Catalogue Catalogue = Used_Catalogue();
      const TLoad_Outcome Outcome =
          Load(std::string(Header) + C.Line + "\r\nAfter,1,2,3.25,4,5,6\r\n", Catalogue, Separator);
      EXPECT_EQ(Outcome.Panel_Text, "2 Targets Loaded");
      ASSERT_EQ(Catalogue.NTargets, 2);
      const TTargetData& T = Catalogue.Targets[0];
      EXPECT_NEAR(T.RA, C.RA, 1e-12);
      EXPECT_NEAR(T.Dec, C.Dec, 1e-12);
      EXPECT_NEAR(T.RRA, C.RRA, 1e-12);
      EXPECT_NEAR(T.RDec, C.RDec, 1e-12);
      EXPECT_EQ(T.Rmag, C.Rmag);
      EXPECT_EQ(T.Threshold, C.Threshold);
      EXPECT_NEAR(Catalogue.Targets[1].RA, S(1, 2, 3.25), 1e-12);
    }
}

TEST_F(Target_File, Missing_File_Changes_Nothing) {
  for (const std::string& Name : {Dir + "/absent.csv", Dir + "/absent/targets.csv", std::string()}) {
    TTarget_Catalogue C = Used_Catalogue();
    TRecording_Messages Messages;
    const TLoad_Outcome Outcome = Load_Targets(Name, C, TNumber_Format{}, Messages);
    EXPECT_FALSE(Outcome.Panel_Changed);
    EXPECT_EQ(Messages.Texts, std::vector<std::string>{Name + " not found"});
    EXPECT_EQ(C.NTargets, 7);
    EXPECT_EQ(C.Targets[6].Name, "Old 6");
  }
}

TEST_F(Target_File, Unreadable_And_Hostile_Files_Give_Clear_Errors) {
  TRecording_Messages Messages;
  // A folder at the path: exists, cannot be read.
  {
    TTarget_Catalogue C = Used_Catalogue();
    try {
      Load_Targets(Dir, C, TNumber_Format{}, Messages);
      ADD_FAILURE() << "no error";
    } catch (const TKorvane_Error& E) {
      EXPECT_NE(std::string(E.what()).find(Dir), std::string::npos) << E.what();
    }
    EXPECT_EQ(C.NTargets, 7);
  }
  // A line far longer than any entry, after a good one.
  {
    const std::string Content = std::string(Header) + Entry_Line(1) + std::string(1 << 20, 'x') + "\r\n";
    Put(Content);
    TTarget_Catalogue C = Used_Catalogue();
    try {
      Load_Targets(Path, C, TNumber_Format{}, Messages);
      ADD_FAILURE() << "no error";
    } catch (const TKorvane_Error& E) {
      const std::string Text = E.what();
      EXPECT_NE(Text.find("Line 5"), std::string::npos) << Text;
      EXPECT_NE(Text.find(Path), std::string::npos) << Text;
    }
    EXPECT_EQ(C.NTargets, 1);
    TTarget_Catalogue D = Used_Catalogue();
    EXPECT_THROW(Load_Targets_From_Text(Content, D, TNumber_Format{}), TKorvane_Error);
    EXPECT_EQ(D.NTargets, 1);
  }
  // A line of exactly the largest length is still read.
  {
    TTarget_Catalogue C;
    Load(std::string(Header) + std::string(64 * 1024 - 12, 'N') + ",1,2,3,4,5,6\r\n", C);
    EXPECT_EQ(C.NTargets, 1);
  }
  EXPECT_TRUE(Messages.Texts.empty());
}

TEST_F(Target_File, A_File_Without_Read_Permission_Is_An_Error_Naming_It) {
  Put(std::string(Header) + Entry_Line(1));
  ASSERT_EQ(::chmod(Path.c_str(), 0), 0);
  ASSERT_EQ(::chmod(Dir.c_str(), 0711), 0);
  Expect_Without_Permission(Path, R_OK, [&] {
    TTarget_Catalogue C = Used_Catalogue();
    TRecording_Messages Messages;
    try {
      Load_Targets(Path, C, TNumber_Format{}, Messages);
    } catch (const TKorvane_Error& E) {
      const bool Named = std::string(E.what()).find(Path) != std::string::npos;
      return Named && C.NTargets == 7 && Messages.Texts.empty();
    }
    return false;
  });
  ::chmod(Dir.c_str(), 0700);
  ::chmod(Path.c_str(), 0600);
}
