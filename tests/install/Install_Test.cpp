// The installed Korvane: the build is installed with the /usr prefix into a scratch DESTDIR,
// as the package does, and the tree is checked the way a desktop, man and a shell use it.

#include "cli/Measure_Command.h"
#include "support/Run_Program.h"
#include "support/Test_Files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr bool With_Gui = KORVANE_WITH_GUI != 0;
const std::string Version = KORVANE_VERSION_FOR_TEST;
constexpr unsigned Timeout_Seconds = 120;

// The key=value lines of a desktop entry's main group.
std::string Desktop_Value(const std::string& Entry, const std::string& Key) {
  for (const std::string& Line : Lines_Of(Entry))
    if (Line.rfind(Key + "=", 0) == 0)
      return Line.substr(Key.size() + 1);
  return {};
}

// The text of the first <Tag>...</Tag> of an XML file, or empty.
std::string Xml_Text(const std::string& Xml, const std::string& Tag) {
  const size_t Open = Xml.find("<" + Tag);
  const size_t Start = Open == std::string::npos ? Open : Xml.find('>', Open);
  const size_t End = Start == std::string::npos ? Start : Xml.find("</" + Tag + ">", Start);
  return End == std::string::npos ? std::string() : Xml.substr(Start + 1, End - Start - 1);
}

class Install_Test : public testing::Test {
protected:
  static void SetUpTestSuite() {
    Scratch = std::make_unique<TScratch_Folder>("korvane-install-test");
    Root = Scratch->Folder;
    fs::create_directories(Root / "work" / "examples");
    fs::create_directories(Root / "home");
    Install = Run_Program({KORVANE_CMAKE_COMMAND, "--install", KORVANE_BINARY_DIR, "--prefix", "/usr"},
                          {"DESTDIR=" + (Root / "dest").string(), "PATH=/usr/bin:/bin"}, Root, Root,
                          Timeout_Seconds);
  }
  static void TearDownTestSuite() { Scratch.reset(); }
  void SetUp() override { ASSERT_EQ(Install.Status, 0) << Install.Out << Install.Err; }

  static fs::path Installed(const std::string& Relative) { return Root / "dest" / "usr" / Relative; }
  // A user's environment without a display: a program that opened a window would fail.
  static std::vector<std::string> User_Environment() {
    return {"HOME=" + (Root / "home").string(), "XDG_CONFIG_HOME=" + (Root / "home" / ".config").string(),
            "PATH=/usr/bin:/bin", "LC_ALL=C", "QT_QPA_PLATFORM=xcb"};
  }

  static inline std::unique_ptr<TScratch_Folder> Scratch;
  static inline fs::path Root;
  static inline TProgram_Run Install;
};

const std::string Desktop_File = "share/applications/korvane.desktop";
const std::string Metainfo_File = "share/metainfo/org.korvane.Korvane.metainfo.xml";
const std::string Man_Page = "share/man/man1/korvane-measure.1";

TEST_F(Install_Test, InstallsExactlyTheProgramsAndTheirDesktopFiles) {
  struct TExpected {
    std::string Path;
    bool Program;
  };
  std::vector<TExpected> Expected = {{"bin/korvane-measure", true}, {Man_Page, false}};
  if (With_Gui)
    Expected.insert(Expected.end(), {{"bin/korvane", true},
                                     {Desktop_File, false},
                                     {Metainfo_File, false},
                                     {"share/icons/hicolor/scalable/apps/korvane.svg", false},
                                     {"share/icons/hicolor/256x256/apps/korvane.png", false}});
  std::set<std::string> Unexpected;
  for (const auto& Entry : fs::recursive_directory_iterator(Root / "dest"))
    if (!Entry.is_directory())
      Unexpected.insert(Entry.path().lexically_relative(Root / "dest" / "usr").string());
  for (const TExpected& File : Expected) {
    SCOPED_TRACE(File.Path);
    ASSERT_TRUE(fs::is_regular_file(Installed(File.Path)));
    Unexpected.erase(File.Path);
    const fs::perms Mode = fs::status(Installed(File.Path)).permissions();
    // Everyone reads every file; only the programs are executable.
    EXPECT_NE(Mode & fs::perms::others_read, fs::perms::none);
    EXPECT_EQ((Mode & fs::perms::others_exec) != fs::perms::none, File.Program);
    EXPECT_GT(fs::file_size(Installed(File.Path)), 0u);
  }
  EXPECT_TRUE(Unexpected.empty()) << "not expected: " << *Unexpected.begin();

  if (With_Gui) { // the PNG's header says 256 x 256
    const std::string Png = Get(Installed("share/icons/hicolor/256x256/apps/korvane.png"));
    ASSERT_GE(Png.size(), 24u);
    EXPECT_EQ(Png.substr(1, 3), "PNG");
    EXPECT_EQ(Png.substr(16, 8), std::string("\0\0\1\0\0\0\1\0", 8));
  }
}

TEST_F(Install_Test, DesktopFilesValidateAndNameWhatIsInstalled) {
  if (!With_Gui)
    GTEST_SKIP() << "built without the desktop program";
  // Each validator must pass without a single error, warning, hint or info line.
  const std::vector<std::vector<std::string>> Validators = {
      {"desktop-file-validate", Installed(Desktop_File).string()},
      {"appstreamcli", "validate", "--no-net", "--strict", Installed(Metainfo_File).string()}};
  for (const auto& Command : Validators) {
    SCOPED_TRACE(Command[0]);
    const TProgram_Run Result =
        Run_Program(Command, {"PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8"}, Root, Root, Timeout_Seconds);
    EXPECT_EQ(Result.Status, 0) << Result.Out << Result.Err;
    for (const std::string& Line : Lines_Of(Result.Out + Result.Err))
      EXPECT_TRUE(Line.empty() || Line.find("Validation was successful") != std::string::npos) << Line;
  }

  const std::string Entry = Get(Installed(Desktop_File));
  const std::string Metainfo = Get(Installed(Metainfo_File));
  const std::string Exec = Desktop_Value(Entry, "Exec");
  const std::string Icon = Desktop_Value(Entry, "Icon");
  struct TCase {
    const char* What;
    bool Holds;
  };
  const TCase Cases[] = {
      {"Exec opens the files it is given with an installed program",
       Exec.size() > 3 && Exec.substr(Exec.size() - 3) == " %F" &&
           fs::is_regular_file(Installed("bin/" + Exec.substr(0, Exec.size() - 3)))},
      {"Icon names the installed SVG",
       fs::is_regular_file(Installed("share/icons/hicolor/scalable/apps/" + Icon + ".svg"))},
      {"Icon names the installed PNG",
       fs::is_regular_file(Installed("share/icons/hicolor/256x256/apps/" + Icon + ".png"))},
      {"FITS files open with it",
       (";" + Desktop_Value(Entry, "MimeType")).find(";image/fits;") != std::string::npos &&
           (";" + Desktop_Value(Entry, "MimeType")).find(";application/fits;") != std::string::npos},
      {"it is listed under Science and Astronomy",
       Desktop_Value(Entry, "Categories") == "Science;Astronomy;"},
      {"the metainfo launches the installed desktop entry",
       fs::path(Desktop_File).filename() == Xml_Text(Metainfo, "launchable")},
      {"the metainfo file is named after its id",
       Installed(Metainfo_File).filename() == Xml_Text(Metainfo, "id") + ".metainfo.xml"},
      {"the metainfo's release is this version",
       Metainfo.find("<release version=\"" + Version + "\"") != std::string::npos},
  };
  for (const TCase& Case : Cases)
    EXPECT_TRUE(Case.Holds) << Case.What;
}

TEST_F(Install_Test, ManualPageRendersEveryOptionOfTheHelp) {
  const TProgram_Run Result =
      Run_Program({"man", "--warnings", "-l", Installed(Man_Page).string()},
                  {"PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8", "MANWIDTH=80", "MANPAGER=cat", "PAGER=cat"}, Root,
                  Root, Timeout_Seconds);
  ASSERT_EQ(Result.Status, 0) << Result.Err;
  EXPECT_EQ(Result.Err, ""); // troff warnings: a broken macro or an unknown escape
  std::vector<std::string> Expected = {"NAME",
                                       "SYNOPSIS",
                                       "OPTIONS",
                                       "OUTPUT",
                                       "EXIT STATUS",
                                       "EXAMPLES",
                                       "KV Exm    13.218   0.023  Quiescent"};
  // Every option the command's --help lists, as a user types it: an option added to the
  // command and not to the page fails here.
  for (const std::string& Line : Lines_Of(Usage_Text())) {
    std::istringstream Words(Line);
    for (std::string Word; Line.rfind("  -", 0) == 0 && Words >> Word && Word[0] == '-';)
      Expected.push_back(Word.back() == ',' ? Word.substr(0, Word.size() - 1) : Word);
  }
  ASSERT_GT(Expected.size(), 20u);
  for (const std::string& Text : Expected)
    EXPECT_NE(Result.Out.find(Text), std::string::npos) << Text;
}

TEST_F(Install_Test, InstalledProgramsRunOutsideTheSourceTree) {
  // The bundled example, copied next to nothing else.
  for (const char* Name : {"field.fit", "korvane.ini", "targets.csv"})
    fs::copy_file(fs::path(KORVANE_SOURCE_DIR) / "examples" / Name, Root / "work" / "examples" / Name,
                  fs::copy_options::overwrite_existing);
  struct TCase {
    std::vector<std::string> Argv;
    std::string Expected_Out; // a whole line of standard output
  };
  std::vector<TCase> Cases = {
      {{"korvane-measure", "--settings", "examples/korvane.ini", "--targets", "examples/targets.csv",
        "examples/field.fit"},
       "examples/field.fit  KV Exm    13.218   0.023  Quiescent"},
      {{"korvane-measure", "--version"}, "korvane-measure " + Version},
  };
  if (With_Gui)
    Cases.insert(Cases.end(), {{{"korvane", "--version"}, "korvane " + Version},
                               {{"korvane", "--help"}, "Usage: korvane [FILE]..."},
                               {{"korvane", "examples/field.fit", "--help"}, "Usage: korvane [FILE]..."}});
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Argv.back());
    std::vector<std::string> Argv = Case.Argv;
    Argv[0] = Installed("bin/" + Argv[0]).string();
    const TProgram_Run Result = Run_Program(Argv, User_Environment(), Root / "work", Root, Timeout_Seconds);
    EXPECT_EQ(Result.Status, 0) << Result.Err;
    EXPECT_EQ(Result.Err, "");
    const std::vector<std::string> Lines = Lines_Of(Result.Out);
    EXPECT_NE(std::find(Lines.begin(), Lines.end(), Case.Expected_Out), Lines.end()) << Result.Out;
  }
  // Nothing was written into the user's folders.
  EXPECT_TRUE(fs::is_empty(Root / "home"));
}

} // namespace
