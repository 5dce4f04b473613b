#include "settings/Settings.h"
#include "text/Messages.h"

#include "support/Test_Files.h"
#include "support/Unprivileged.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class Settings_File : public ::testing::Test {
protected:
  // A test that takes the folder's write permission away gets it back before the removal.
  void TearDown() override { ::chmod(Dir.c_str(), 0700); }
  std::vector<std::string> Folder_Entries() const {
    std::vector<std::string> Names;
    for (const auto& Entry : fs::directory_iterator(Dir))
      Names.push_back(Entry.path().filename().string());
    return Names;
  }
  TScratch_Folder Scratch{"korvane-settings"};
  const std::string Dir = Scratch.Folder.string();
};

// Compares each field of A with the same field of Of(k), k numbering the fields in file
// order from 0.
template <typename Source> void Expect_Fields(const TSettings& A, Source Of) {
  EXPECT_EQ(A.Window.Top, Of(0).Window.Top);
  EXPECT_EQ(A.Window.Left, Of(1).Window.Left);
  EXPECT_EQ(A.Window.Width, Of(2).Window.Width);
  EXPECT_EQ(A.Window.Height, Of(3).Window.Height);
  EXPECT_EQ(A.Scale_Index, Of(4).Scale_Index);
  EXPECT_EQ(A.Radius, Of(5).Radius);
  EXPECT_EQ(A.Annulus, Of(6).Annulus);
  EXPECT_EQ(A.Gap, Of(7).Gap);
  EXPECT_EQ(A.DataFileName, Of(8).DataFileName);
  EXPECT_EQ(A.Readout_Noise, Of(9).Readout_Noise);
  EXPECT_EQ(A.Dark_Current, Of(10).Dark_Current);
  EXPECT_EQ(A.Gain, Of(11).Gain);
  EXPECT_EQ(A.degC, Of(12).degC);
  EXPECT_EQ(A.Max_Error, Of(13).Max_Error);
  EXPECT_EQ(A.ReportFileDir, Of(14).ReportFileDir);
  EXPECT_EQ(A.AAVSO_ObsCode, Of(15).AAVSO_ObsCode);
  EXPECT_EQ(A.Notes, Of(16).Notes);
  EXPECT_EQ(A.Snap_to_Centre, Of(17).Snap_to_Centre);
  EXPECT_EQ(A.Show_Annulus, Of(18).Show_Annulus);
  EXPECT_EQ(A.Fits_Crpix, Of(19).Fits_Crpix);
}

void Expect_Same(const TSettings& A, const TSettings& B) {
  Expect_Fields(A, [&B](int) -> const TSettings& { return B; });
}

// The lines of a settings file, joined with CR LF.
std::string File_Of(const std::vector<std::string>& Lines, const char* End = "\r\n") {
  std::string Text;
  for (const auto& Line : Lines)
    Text += Line + End;
  return Text;
}

const std::vector<std::string> Good_Lines = {"[Korvane]",
                                             "-20",
                                             "-1300",
                                             "800",
                                             "600",
                                             "9",
                                             "15",
                                             "4",
                                             "5",
                                             "/home/ann/targets.csv",
                                             " 1.25000000000000E+0001",
                                             " 2.00000000000000E-0002",
                                             " 1.50000000000000E+0000",
                                             "-2.00000000000000E+0001",
                                             " 5.00000000000000E-0002",
                                             "/home/ann/reports",
                                             "XYZ",
                                             "CCD V",
                                             "True",
                                             "False",
                                             "True",
                                             " 6.00000000000000E+0004",
                                             "True",
                                             "3",
                                             "True"};

// A file as written before line 21 existed: Good_Lines without its last two lines.
const std::vector<std::string> Old_Lines(Good_Lines.begin(), Good_Lines.begin() + 20);

// Good_Lines with some lines (0-based index, new text) replaced.
std::vector<std::string> Good_Lines_With(std::initializer_list<std::pair<size_t, std::string>> Changes) {
  std::vector<std::string> Lines = Good_Lines;
  for (const auto& [Index, Text] : Changes)
    Lines[Index] = Text;
  return Lines;
}

// The damaged lines as the messages that name them.
std::vector<std::string> Texts_Of(const std::vector<TSettings_Damage>& Damage) {
  std::vector<std::string> Texts;
  for (const TSettings_Damage& Line : Damage)
    Texts.push_back(Damage_Text(Line));
  return Texts;
}

TSettings Good_Settings() {
  TSettings S = Initial_Settings();
  S.Window = {-20, -1300, 800, 600};
  S.Scale_Index = 9;
  S.Radius = 15;
  S.Annulus = 4;
  S.Gap = 5;
  S.DataFileName = "/home/ann/targets.csv";
  S.Readout_Noise = 12.5;
  S.Dark_Current = 0.02;
  S.Gain = 1.5;
  S.degC = -20;
  S.Max_Error = 0.05;
  S.ReportFileDir = "/home/ann/reports";
  S.AAVSO_ObsCode = "XYZ";
  S.Notes = "CCD V";
  S.Snap_to_Centre = true;
  S.Show_Annulus = false;
  S.Fits_Crpix = true;
  S.Saturation_Level = 60000.0;
  S.Solve_On_Open = true;
  S.Image_Plane = 3;
  S.Notify_Outburst = true;
  return S;
}

// Good_Settings() with Change applied.
template <typename F> TSettings Good_Settings_With(F Change) {
  TSettings S = Good_Settings();
  Change(S);
  return S;
}

} // namespace

TEST(Settings, Defaults_And_File_Path) {
  const TSettings D = Default_Settings("/home/ann");
  EXPECT_EQ(D.Window.Left, 100);
  EXPECT_EQ(D.Window.Top, 100);
  EXPECT_EQ(D.Window.Width, 100);
  EXPECT_EQ(D.Window.Height, 100);
  EXPECT_EQ(D.Scale_Index, 7);
  EXPECT_EQ(D.Radius, 12u);
  EXPECT_EQ(D.Annulus, 3u);
  EXPECT_EQ(D.Gap, 3u);
  EXPECT_EQ(D.DataFileName, "/home/ann/data.csv");
  EXPECT_EQ(D.Max_Error, 1.0);
  EXPECT_EQ(D.ReportFileDir, "/home/ann/.local/share/korvane/reports");
  EXPECT_EQ(D.Notes, "na");
  EXPECT_EQ(D.AAVSO_ObsCode, "");
  EXPECT_EQ(D.Gain, 0.0);
  EXPECT_FALSE(D.Snap_to_Centre || D.Show_Annulus || D.Fits_Crpix);

  struct Case {
    const char *Xdg, *Home, *Expected;
  };
  const Case Cases[] = {
      {"/cfg", "/home/ann", "/cfg/korvane.ini"},
      {"", "/home/ann", "/home/ann/.config/korvane.ini"},
      {"relative/cfg", "/home/ann", "/home/ann/.config/korvane.ini"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(Settings_File_Path(C.Xdg, C.Home), C.Expected) << C.Xdg;
  // The report folder of new settings is the user's own, never a shared one such as /tmp.
  const Case Report_Cases[] = {
      {"/data", "/home/ann", "/data/korvane/reports"},
      {"", "/home/ann/", "/home/ann/.local/share/korvane/reports"},
      {"relative/data", "/home/ann", "/home/ann/.local/share/korvane/reports"},
  };
  for (const Case& C : Report_Cases)
    EXPECT_EQ(Default_Settings(C.Home, C.Xdg).ReportFileDir, C.Expected) << C.Xdg;
}

TEST(Settings, Text_Is_Twenty_Five_Lines_In_The_Fixed_Forms) {
  EXPECT_EQ(Settings_Text(Good_Settings()), File_Of(Good_Lines));
  // Unsigned aperture sizes are written from their unsigned value.
  TSettings S = Good_Settings();
  S.Radius = 4294967295u;
  S.Snap_to_Centre = false;
  S.Show_Annulus = true;
  S.Fits_Crpix = false;
  S.Solve_On_Open = false;
  S.Image_Plane = 1;
  EXPECT_EQ(Settings_Text(S),
            File_Of(Good_Lines_With(
                {{6, "4294967295"}, {18, "False"}, {19, "True"}, {20, "False"}, {22, "False"}, {23, "1"}})));
}

TEST_F(Settings_File, Written_File_Reads_Back_Every_Value) {
  std::vector<TSettings> Cases;
  Cases.push_back(Good_Settings());
  Cases.push_back(Default_Settings("/home/bob"));
  {
    TSettings S = Good_Settings();
    S.Window = {-2147483647 - 1, 2147483647, 0, -1};
    S.Scale_Index = 0;
    S.Radius = 4294967295u;
    S.Annulus = 0;
    S.Gap = 2147483648u;
    S.DataFileName = "  /with blanks/ä.csv  ";
    S.Readout_Noise = 0.123456789012345;
    S.Dark_Current = -2.5;
    S.Gain = 1.23456789012345e-300;
    S.degC = -9.87654321098765e+200;
    S.Max_Error = 0;
    S.ReportFileDir = "";
    S.AAVSO_ObsCode = " A ";
    S.Notes = "\tnotes, with comma";
    S.Snap_to_Centre = false;
    S.Show_Annulus = true;
    S.Fits_Crpix = false;
    Cases.push_back(S);
  }
  const std::string Path = Dir + "/korvane.ini";
  for (const TSettings& Written : Cases) {
    ASSERT_TRUE(Write_Settings_File(Path, Written));
    TSettings Read = Initial_Settings();
    ASSERT_TRUE(Read_Settings_File(Path, Read));
    Expect_Same(Read, Written);
  }
  // A value that needs 17 digits comes back to 15 significant digits.
  TSettings S = Good_Settings();
  S.Gain = 0.1 + 0.2;
  ASSERT_TRUE(Write_Settings_File(Path, S));
  TSettings Read = Initial_Settings();
  ASSERT_TRUE(Read_Settings_File(Path, Read));
  EXPECT_NEAR(Read.Gain, 0.3, 1e-15);
  EXPECT_EQ(Folder_Entries(), std::vector<std::string>{"korvane.ini"}); // no temporary left
}

TEST_F(Settings_File, Write_Produces_Exact_Bytes_And_Replaces_The_Old_File) {
  const std::string Path = Dir + "/korvane.ini";
  Put(Path, "old content that is longer than the new one would be, surely, many times over\r\n" +
                std::string(4000, 'x'));
  ASSERT_TRUE(Write_Settings_File(Path, Good_Settings()));
  EXPECT_EQ(Get(Path), File_Of(Good_Lines));
}

TEST_F(Settings_File, Failed_Write_Leaves_The_Old_File_Intact) {
  const std::string Path = Dir + "/korvane.ini";
  const std::string Old = File_Of(Good_Lines);
  const TSettings S = Default_Settings("/home/ann");
  Put(Path, Old);

  // A missing configuration folder (fresh account) is created, not a reason to lose the file.
  EXPECT_TRUE(Write_Settings_File(Dir + "/missing/config/korvane.ini", S));
  EXPECT_EQ(Get(Dir + "/missing/config/korvane.ini"), Settings_Text(S));
  std::filesystem::remove_all(Dir + "/missing");
  // A path whose folder cannot exist (a file stands in its way) fails cleanly.
  EXPECT_FALSE(Write_Settings_File(Path + "/korvane.ini", S));

  // The disk fills up while writing: a file size limit below the file's size.
  struct rlimit Saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &Saved), 0);
  const auto Old_Handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit Small = Saved;
  Small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &Small), 0);
  const bool Written = Write_Settings_File(Path, S);
  ::setrlimit(RLIMIT_FSIZE, &Saved);
  ::signal(SIGXFSZ, Old_Handler);
  EXPECT_FALSE(Written);
  EXPECT_EQ(Get(Path), Old);
  EXPECT_EQ(Folder_Entries(), std::vector<std::string>{"korvane.ini"});
  // The same limit where SIGXFSZ keeps its default action, which ends the program: the
  // program lives on and leaves no temporary file.
  EXPECT_EXIT(
      {
        ::signal(SIGXFSZ, SIG_DFL);
        ::setrlimit(RLIMIT_FSIZE, &Small);
        std::_Exit(Write_Settings_File(Path, S) ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Get(Path), Old);
  EXPECT_EQ(Folder_Entries(), std::vector<std::string>{"korvane.ini"});

  // The rename fails: a folder that is not empty stands at the path.
  const std::string Folder_Path = Dir + "/folder.ini";
  fs::create_directory(Folder_Path);
  Put(Folder_Path + "/inside", "x");
  EXPECT_FALSE(Write_Settings_File(Folder_Path, S));
  EXPECT_TRUE(fs::is_directory(Folder_Path));
  EXPECT_EQ(Get(Folder_Path + "/inside"), "x");
  EXPECT_EQ(Folder_Entries().size(), 2u);
}

TEST_F(Settings_File, Writing_Follows_Links_And_Keeps_The_Mode) {
  const mode_t Umask = ::umask(0);
  ::umask(Umask);
  const std::string Ini = Dir + "/korvane.ini";
  const std::string Real = Dir + "/dotfiles/sub/korvane.txt";
  struct Case {
    const char* What;
    std::vector<std::pair<std::string, std::string>> Links; // the link, what it holds
    std::string File;                                       // the file finally written
    int Old_Mode;                                           // -1: no file yet
    mode_t Expected_Mode;
  };
  const std::vector<Case> Cases = {
      {"plain file", {}, Ini, 0640, 0640},
      {"new plain file", {}, Ini, -1, 0644 & ~Umask},
      {"relative link", {{Ini, "dotfiles/sub/korvane.txt"}}, Real, 0604, 0604},
      {"chain of links",
       {{Ini, Dir + "/dotfiles/link"}, {Dir + "/dotfiles/link", "sub/korvane.txt"}},
       Real,
       0600,
       0600},
      {"link to a file not yet there", {{Ini, "dotfiles/sub/korvane.txt"}}, Real, -1, 0644 & ~Umask},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    fs::remove_all(Dir + "/dotfiles");
    fs::remove(Ini);
    fs::create_directories(Dir + "/dotfiles/sub");
    for (const auto& [Link, Names] : C.Links)
      fs::create_symlink(Names, Link);
    if (C.Old_Mode >= 0) {
      Put(C.File, "old");
      ASSERT_EQ(::chmod(C.File.c_str(), static_cast<mode_t>(C.Old_Mode)), 0);
    }
    ASSERT_TRUE(Write_Settings_File(Ini, Good_Settings()));
    for (const auto& [Link, Names] : C.Links) {
      EXPECT_TRUE(fs::is_symlink(Link)) << Link;
      EXPECT_EQ(fs::read_symlink(Link).string(), Names);
    }
    EXPECT_EQ(Get(C.File), File_Of(Good_Lines));
    struct stat Status {};
    ASSERT_EQ(::stat(C.File.c_str(), &Status), 0);
    EXPECT_EQ(Status.st_mode & 07777, C.Expected_Mode);
    for (const auto& Entry : fs::recursive_directory_iterator(Dir))
      EXPECT_EQ(Entry.path().filename().string().find(".tmp"), std::string::npos) << Entry.path();
  }
  // A pipe that took the place of the file the link names is not replaced by a file.
  fs::remove_all(Dir + "/dotfiles");
  fs::remove(Ini);
  fs::create_directories(Dir + "/dotfiles/sub");
  fs::create_symlink("dotfiles/sub/korvane.txt", Ini);
  ASSERT_EQ(::mkfifo(Real.c_str(), 0600), 0);
  EXPECT_FALSE(Write_Settings_File(Ini, Good_Settings()));
  EXPECT_TRUE(fs::is_fifo(Real));
}

TEST_F(Settings_File, Write_Into_A_Read_Only_Folder_Fails) {
  const std::string Path = Dir + "/korvane.ini";
  const std::string Old = File_Of(Good_Lines);
  Put(Path, Old);
  ASSERT_EQ(::chmod(Dir.c_str(), 0555), 0);
  Expect_Without_Permission(Dir, W_OK,
                            [&] { return !Write_Settings_File(Path, Default_Settings("/home/ann")); });
  ::chmod(Dir.c_str(), 0700);
  EXPECT_EQ(Get(Path), Old);
  EXPECT_EQ(Folder_Entries(), std::vector<std::string>{"korvane.ini"});
}

TEST(Settings, Reading_Follows_The_Line_Rules) {
  struct Case {
    std::string What;
    std::string Content;
    TSettings Expected;
    std::vector<std::string> Damage = {};
  };
  std::vector<Case> Cases;
  Cases.push_back({"good file", File_Of(Good_Lines), Good_Settings()});
  Cases.push_back({"lone LF line ends", File_Of(Good_Lines, "\n"), Good_Settings()});
  {
    // Every file written before one of lines 21 to 25 existed is whole: those settings keep
    // their defaults.
    const auto Since = [](size_t Lines) {
      return Good_Settings_With([Lines](TSettings& S) {
        const TSettings D = Initial_Settings();
        if (Lines < 21)
          S.Fits_Crpix = D.Fits_Crpix;
        if (Lines < 22)
          S.Saturation_Level = D.Saturation_Level;
        if (Lines < 23)
          S.Solve_On_Open = D.Solve_On_Open;
        if (Lines < 24)
          S.Image_Plane = D.Image_Plane;
        S.Notify_Outburst = D.Notify_Outburst;
      });
    };
    const TSettings Old = Since(20);
    Cases.push_back({"20 lines, as written before line 21", File_Of(Old_Lines), Old});
    const std::vector<std::string> Lines_21(Good_Lines.begin(), Good_Lines.begin() + 21);
    for (const size_t Count : {21u, 22u, 23u, 24u}) {
      const std::vector<std::string> Lines(Good_Lines.begin(), Good_Lines.begin() + Count);
      Cases.push_back(
          {std::to_string(Count) + " lines, as written before the next", File_Of(Lines), Since(Count)});
    }
    Cases.push_back({"21 lines and blank lines", File_Of(Lines_21) + "\r\n  \r\n", Since(21)});
    Cases.push_back({"plane 0",
                     File_Of(Good_Lines_With({{23, "0"}})),
                     Good_Settings_With([](TSettings& S) { S.Image_Plane = 1; }),
                     {"line 24 (Image_Plane): '0' is not a valid value"}});
    Cases.push_back({"a saturation level below 0", File_Of(Good_Lines_With({{21, "-5"}})),
                     Good_Settings_With([](TSettings& S) { S.Saturation_Level = 0.0; })});
    std::string Unended = File_Of(Old_Lines);
    Unended.resize(Unended.size() - 2);
    Cases.push_back({"20 lines, the last without a line end", Unended, Old});
  }
  Cases.push_back(
      {"line 1 is not read", File_Of(Good_Lines_With({{0, "anything at all 12"}})), Good_Settings()});
  Cases.push_back({"a number and then a word", File_Of(Good_Lines_With({{6, "12 word"}, {1, "\t  -20  "}})),
                   Good_Settings_With([](TSettings& S) { S.Radius = 12; })});
  Cases.push_back({"text lines keep their blanks",
                   File_Of(Good_Lines_With({{9, "  /a b/c.csv  "}, {17, " notes "}})),
                   Good_Settings_With([](TSettings& S) {
                     S.DataFileName = "  /a b/c.csv  ";
                     S.Notes = " notes ";
                   })});
  {
    // An empty line inserted before a number is passed over; the values do not move
    // because the number lines are read as numbers up to the text line.
    auto Lines = Good_Lines;
    Lines.insert(Lines.begin() + 3, "");
    Cases.push_back({"an extra blank line before a number", File_Of(Lines), Good_Settings()});
  }
  for (const auto& [Line, Index] : {std::pair<std::string, int>{"15", 7}, {"-1", 7}, {"14", 14}})
    Cases.push_back({"Scale_Index " + Line, File_Of(Good_Lines_With({{5, Line}})),
                     Good_Settings_With([Index = Index](TSettings& S) { S.Scale_Index = Index; })});
  Cases.push_back({"reals in other forms", File_Of(Good_Lines_With({{10, "2.5e3"}, {11, "-.5"}})),
                   Good_Settings_With([](TSettings& S) {
                     S.Readout_Noise = 2500;
                     S.Dark_Current = -0.5;
                   })});
  {
    // A file that ends early: the missing settings keep their defaults, and the first
    // missing line is named.
    const TSettings D = Default_Settings("/home/ann");
    const std::string Top_Missing = "line 2 (Top): missing, the file ends before it";
    Cases.push_back({"only line 1", "[Korvane]\r\n", D, {Top_Missing}});
    Cases.push_back({"empty file", "", D, {Top_Missing}});
    std::vector<std::string> Lines(Good_Lines.begin(), Good_Lines.begin() + 12);
    Lines.back() = " 3.25000000000000E+0000"; // no line end after the last line
    TSettings T = Good_Settings();
    T.Dark_Current = 3.25;
    T.Gain = D.Gain;
    T.degC = D.degC;
    T.Max_Error = D.Max_Error;
    T.ReportFileDir = D.ReportFileDir;
    T.AAVSO_ObsCode = D.AAVSO_ObsCode;
    T.Notes = D.Notes;
    T.Snap_to_Centre = D.Snap_to_Centre;
    T.Show_Annulus = D.Show_Annulus;
    T.Fits_Crpix = D.Fits_Crpix;
    std::string Text = File_Of(Lines);
    Text.resize(Text.size() - 2);
    Cases.push_back(
        {"file ends after line 12", Text, T, {"line 13 (Gain): missing, the file ends before it"}});
  }
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    TSettings S = Default_Settings("/home/ann");
    EXPECT_EQ(Texts_Of(Read_Settings(C.Content, S)), C.Damage);
    Expect_Same(S, C.Expected);
  }
}

TEST(Settings, Booleans_Are_True_Only_For_A_Capital_T) {
  struct Case {
    const char* Line;
    bool Expected;
  };
  const Case Cases[] = {{"True", true}, {"T", true}, {"Tx", true},     {"true", false}, {"yes", false},
                        {"1", false},   {"", false}, {" True", false}, {"False", false}};
  for (const Case& C : Cases) {
    TSettings S = Initial_Settings();
    EXPECT_TRUE(
        Read_Settings(File_Of(Good_Lines_With({{18, C.Line}, {19, C.Line}, {20, C.Line}})), S).empty());
    EXPECT_EQ(S.Snap_to_Centre, C.Expected) << '"' << C.Line << '"';
    EXPECT_EQ(S.Show_Annulus, C.Expected) << '"' << C.Line << '"';
    EXPECT_EQ(S.Fits_Crpix, C.Expected) << '"' << C.Line << '"';
    EXPECT_EQ(S.Notes, "CCD V");
  }
}

TEST(Settings, A_Bad_Value_Costs_Only_Its_Own_Setting) {
  struct Case {
    const char* What;
    std::vector<std::pair<size_t, std::string>> Lines; // 0-based line index, its text
    void (*To_Default)(TSettings& S, const TSettings& D);
    std::vector<std::string> Damage;
  };
  const Case Cases[] = {
      {"a word on line 7",
       {{6, "word"}},
       [](TSettings& S, const TSettings& D) { S.Radius = D.Radius; },
       {"line 7 (Radius): 'word' is not a valid value"}},
      {"a word on line 2",
       {{1, "x12"}},
       [](TSettings& S, const TSettings& D) { S.Window.Top = D.Window.Top; },
       {"line 2 (Top): 'x12' is not a valid value"}},
      {"a real with a comma",
       {{12, "1,5"}},
       [](TSettings& S, const TSettings& D) { S.Gain = D.Gain; },
       {"line 13 (Gain): '1,5' is not a valid value"}},
      {"a top beyond 32 bits",
       {{1, "2147483648"}},
       [](TSettings& S, const TSettings& D) { S.Window.Top = D.Window.Top; },
       {"line 2 (Top): '2147483648' is not a valid value"}},
      {"a real beyond the double range",
       {{14, "1e999"}},
       [](TSettings& S, const TSettings& D) { S.Max_Error = D.Max_Error; },
       {"line 15 (Max_Error): '1e999' is not a valid value"}},
      {"a number with a trailing sign",
       {{3, "12-"}},
       [](TSettings& S, const TSettings& D) { S.Window.Width = D.Window.Width; },
       {"line 4 (Width): '12-' is not a valid value"}},
      {"aperture sizes outside 0 to 2^32-1",
       {{6, "-1"}, {7, "4294967296"}, {8, "-3"}},
       [](TSettings& S, const TSettings& D) {
         S.Radius = D.Radius;
         S.Annulus = D.Annulus;
         S.Gap = D.Gap;
       },
       {"line 7 (Radius): '-1' is not a valid value", "line 8 (Annulus): '4294967296' is not a valid value",
        "line 9 (Gap): '-3' is not a valid value"}},
  };
  const TSettings D = Default_Settings("/home/ann");
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    std::vector<std::string> Lines = Good_Lines;
    for (const auto& [Index, Text] : C.Lines)
      Lines[Index] = Text;
    TSettings S = D;
    EXPECT_EQ(Texts_Of(Read_Settings(File_Of(Lines), S)), C.Damage);
    TSettings Expected = Good_Settings();
    C.To_Default(Expected, D);
    Expect_Same(S, Expected);
  }
}

TEST(Settings, A_Blank_Line_Where_A_Number_Stands_Shifts_The_Later_Lines) {
  std::vector<std::string> Lines(Good_Lines.begin(), Good_Lines.begin() + 22); // as written before line 23
  Lines[6] = "";   // Radius missing: Radius takes the Annulus line, Annulus the Gap line
  Lines[9] = "42"; // and Gap the DataFileName line,
  Lines[15] = "7"; // and Max_Error the ReportFileDir line
  TSettings S = Initial_Settings();
  // The shift leaves the last setting without a line.
  EXPECT_EQ(Texts_Of(Read_Settings(File_Of(Lines), S)),
            std::vector<std::string>{"line 22 (Saturation_Level): missing, the file ends before it"});
  EXPECT_EQ(S.Scale_Index, 9);
  EXPECT_EQ(S.Radius, 4u);
  EXPECT_EQ(S.Annulus, 5u);
  EXPECT_EQ(S.Gap, 42u);
  EXPECT_EQ(S.DataFileName, " 1.25000000000000E+0001");
  EXPECT_EQ(S.Readout_Noise, 0.02);
  EXPECT_EQ(S.Dark_Current, 1.5);
  EXPECT_EQ(S.Gain, -20.0);
  EXPECT_EQ(S.degC, 0.05);
  EXPECT_EQ(S.Max_Error, 7.0);
  EXPECT_EQ(S.ReportFileDir, "XYZ");
  EXPECT_EQ(S.AAVSO_ObsCode, "CCD V");
  EXPECT_EQ(S.Notes, "True");
  EXPECT_FALSE(S.Snap_to_Centre);     // "False"
  EXPECT_TRUE(S.Show_Annulus);        // "True", line 21's
  EXPECT_FALSE(S.Fits_Crpix);         // line 22's number
  EXPECT_EQ(S.Saturation_Level, 0.0); // end of file

  // The same shift in a file of 20 lines is noticed at line 20, as it always was.
  TSettings Old = Initial_Settings();
  EXPECT_EQ(
      Texts_Of(Read_Settings(File_Of(std::vector<std::string>(Lines.begin(), Lines.begin() + 20)), Old)),
      std::vector<std::string>{"line 20 (Show_Annulus): missing, the file ends before it"});

  // With a path on the DataFileName line the shifted Gap read fails: Gap keeps its default,
  // the later settings are still read.
  Lines[9] = "/home/ann/targets.csv";
  TSettings T = Default_Settings("/home/ann");
  EXPECT_EQ(Texts_Of(Read_Settings(File_Of(Lines), T)),
            (std::vector<std::string>{"line 10 (Gap): '/home/ann/targets.csv' is not a valid value",
                                      "line 22 (Saturation_Level): missing, the file ends before it"}));
  EXPECT_EQ(T.Annulus, 5u);
  EXPECT_EQ(T.Gap, 3u);
  EXPECT_EQ(T.Max_Error, 7.0);
}

TEST_F(Settings_File, Line_Feeds_In_Texts_Do_Not_Break_The_File) {
  TSettings S = Good_Settings();
  S.Notes = "two\nlines";
  S.DataFileName = "/a\r\n/b.csv";
  const std::string Path = Dir + "/korvane.ini";
  ASSERT_TRUE(Write_Settings_File(Path, S));
  TSettings Read = Initial_Settings();
  ASSERT_NO_THROW(Read_Settings_File(Path, Read));
  EXPECT_EQ(Read.Notes, "two lines");
  EXPECT_EQ(Read.DataFileName, "/a\r /b.csv");
  EXPECT_EQ(Read.Readout_Noise, 12.5);
  EXPECT_TRUE(Read.Snap_to_Centre);
}

TEST_F(Settings_File, Missing_Folder_And_Huge_Files) {
  TSettings S = Initial_Settings();
  EXPECT_FALSE(Read_Settings_File(Dir + "/none.ini", S));
  EXPECT_FALSE(Read_Settings_File(Dir + "/none/korvane.ini", S));
  Expect_Same(S, Initial_Settings());

  // A folder standing where the file should be.
  try {
    Read_Settings_File(Dir, S);
    ADD_FAILURE() << "no error for a folder";
  } catch (const TKorvane_Error& E) {
    EXPECT_NE(std::string(E.what()).find(Dir), std::string::npos) << E.what();
  }

  // Good values followed by a mass of junk: only the start is read.
  const std::string Path = Dir + "/korvane.ini";
  Put(Path, File_Of(Good_Lines) + std::string(3 << 20, 'j'));
  TSettings Big = Initial_Settings();
  ASSERT_NO_THROW(Read_Settings_File(Path, Big));
  Expect_Same(Big, Good_Settings());

  // A first line of several MiB: the values are beyond what is read.
  Put(Path, std::string(3 << 20, 'j') + "\r\n" + File_Of(Good_Lines));
  TSettings Huge = Initial_Settings();
  EXPECT_THROW(Read_Settings_File(Path, Huge), TKorvane_Error);
  Expect_Same(Huge, Initial_Settings());
}

TEST_F(Settings_File, An_Unreadable_File_Is_An_Error_Naming_It) {
  const std::string Path = Dir + "/korvane.ini";
  Put(Path, File_Of(Good_Lines));
  ASSERT_EQ(::chmod(Path.c_str(), 0), 0);
  ASSERT_EQ(::chmod(Dir.c_str(), 0711), 0);
  Expect_Without_Permission(Path, R_OK, [&] {
    TSettings S = Initial_Settings();
    try {
      Read_Settings_File(Path, S);
    } catch (const TKorvane_Error& E) {
      return std::string(E.what()).find(Path) != std::string::npos;
    }
    return false;
  });
  ::chmod(Dir.c_str(), 0700);
  ::chmod(Path.c_str(), 0600);
}
