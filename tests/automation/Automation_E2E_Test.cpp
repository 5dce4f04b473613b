// The automation service as a script sees it: the built program, registered with
// /regserverperuser in a scratch data folder, started by the bus on a private session bus
// (dbus-run-session) when gdbus calls it, measuring offscreen.

#include "Automation_Test.h"
#include "support/Star_Field.h"
#include "support/Test_Files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TRun {
  int Status = -1; // exit status, -1 when it had to be killed
  std::string Out;
  std::string Err;
};

// Runs Argv with its output in files under Folder, killed after Limit.
TRun Run_Program(const std::vector<std::string>& Argv, const fs::path& Folder,
                 std::chrono::seconds Limit = 60s) {
  const fs::path Out = Folder / "run.out", Err = Folder / "run.err";
  const pid_t Pid = ::fork();
  if (Pid == 0) {
    ::dup2(::open(Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(::open(Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> Args;
    for (const std::string& A : Argv)
      Args.push_back(const_cast<char*>(A.c_str()));
    Args.push_back(nullptr);
    ::execvp(Args[0], Args.data());
    std::_Exit(127);
  }
  TRun Result;
  const auto End = std::chrono::steady_clock::now() + Limit;
  int Status = 0;
  while (::waitpid(Pid, &Status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > End) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, &Status, 0);
      Status = -1;
      break;
    }
    std::this_thread::sleep_for(5ms);
  }
  Result.Status = Status == -1 ? -1 : (WIFEXITED(Status) ? WEXITSTATUS(Status) : 128);
  Result.Out = Get(Out);
  Result.Err = Get(Err);
  while (!Result.Out.empty() && Result.Out.back() == '\n')
    Result.Out.pop_back();
  return Result;
}

bool Alive(pid_t Pid) {
  return ::kill(Pid, 0) == 0;
}

// A number after "Key": in the command's JSON line.
double Json_Number(const std::string& Line, const std::string& Key) {
  const size_t At = Line.find("\"" + Key + "\":");
  return At == std::string::npos ? -1e9 : std::strtod(Line.c_str() + At + Key.size() + 3, nullptr);
}

class Automation : public ::testing::Test {
protected:
  void SetUp() override {
    ::alarm(300); // a hung bus or program ends the test program instead of the test run
    for (const char* Folder : {"config", "data", "home", "reports"})
      fs::create_directories(Root / Folder);
    // The example settings with the bundled target file and the report folder made absolute.
    std::string Ini = Get(fs::path(KORVANE_SOURCE_DIR) / "examples" / "korvane.ini");
    // The bundled target file, its first target given its comparison star as the check star too.
    std::string Targets = Get(fs::path(KORVANE_SOURCE_DIR) / "examples" / "targets.csv");
    const std::string Chart = ",X0001EX\r\n";
    ASSERT_NE(Targets.find(Chart), std::string::npos);
    Targets.replace(Targets.find(Chart), Chart.size(), ",X0001EX,KV Exm C1,20,41,58.00,45,13,12.0,11.20\r\n");
    Put(Root / "targets.csv", Targets);
    Replace_Line(Ini, "examples/targets.csv", (Root / "targets.csv").string());
    Replace_Line(Ini, "/tmp", (Root / "reports").string());
    Put(Root / "config" / "korvane.ini", Ini);
    Ini_Bytes = Ini;

    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_CONFIG_HOME", (Root / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (Root / "data").c_str(), 1);
    ::setenv("HOME", (Root / "home").c_str(), 1);
    const TRun Registered = Run_Program({KORVANE_PROGRAM_PATH, "/regserverperuser"}, Root);
    ASSERT_EQ(Registered.Status, 0) << Registered.Err;

    // The private bus lives as long as the shell in it waits on its input.
    Session = Start_Private_Bus();
    ASSERT_FALSE(Session.Address.empty()) << "dbus-run-session did not start";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", Session.Address.c_str(), 1);
  }

  void TearDown() override {
    if (Session.Input >= 0)
      ::close(Session.Input);
    if (Session.Pid > 0) {
      for (int i = 0; i < 1000 && ::waitpid(Session.Pid, nullptr, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(10ms);
      ::kill(Session.Pid, SIGKILL);
      ::waitpid(Session.Pid, nullptr, 0);
    }
    // The program this test had the bus start, should it outlive its bus.
    if (Program) {
      for (int i = 0; i < 500 && Alive(*Program); ++i)
        std::this_thread::sleep_for(10ms);
      if (Alive(*Program))
        ::kill(*Program, SIGKILL);
    }
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::alarm(0);
  }

  // gdbus on the object: a method of the interface, or a property read or write.
  TRun Call(const std::string& Method) { return Gdbus("Korvane.IKorvane_Server." + Method, {}); }
  TRun Property(const std::string& Name, const std::optional<std::string>& Value = std::nullopt) {
    std::vector<std::string> Arguments = {"Korvane.IKorvane_Server", Name};
    if (Value)
      Arguments.push_back("<" + *Value + ">");
    return Gdbus(Value ? "org.freedesktop.DBus.Properties.Set" : "org.freedesktop.DBus.Properties.Get",
                 Arguments);
  }
  // gdbus calling Method on the object, Arguments after it.
  TRun Gdbus(const std::string& Method, const std::vector<std::string>& Arguments) {
    std::vector<std::string> Argv({"gdbus", "call", "--session", "--timeout", "60", "--dest",
                                   "Korvane.Korvane_Server", "--object-path", "/Korvane_Server", "--method",
                                   Method});
    Argv.insert(Argv.end(), Arguments.begin(), Arguments.end());
    TRun Result = Run_Program(Argv, Root);
    Note_Program();
    return Result;
  }
  // The process that owns the name, once the bus has started it.
  void Note_Program() {
    if (Program)
      return;
    const TRun Owner =
        Run_Program({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                     "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.GetConnectionUnixProcessID",
                     "Korvane.Korvane_Server"},
                    Root);
    if (Owner.Status == 0 && Owner.Out.rfind("(uint32 ", 0) == 0)
      Program = static_cast<pid_t>(std::stol(Owner.Out.substr(8)));
  }
  std::string File(const std::string& Name) const { return (Root / Name).string(); }
  static std::string Example() { return std::string(KORVANE_SOURCE_DIR) + "/examples/field.fit"; }
  // gdbus prints text in single quotes.
  static std::string Text(const std::string& S) { return "'" + S + "'"; }

  TScratch_Folder Scratch{"korvane-automation"};
  const fs::path Root = Scratch.Folder;
  std::string Ini_Bytes;
  TPrivate_Bus Session;
  std::optional<pid_t> Program;
};

TEST_F(Automation, Typical_Client_Sequence_Measures_As_The_Command_And_Ends_With_Its_Client) {
  const TRun Command = Run_Program({KORVANE_MEASURE_PATH, "--json", Example()}, Root);
  ASSERT_EQ(Command.Status, 0) << Command.Err;
  const double Expected = Json_Number(Command.Out, "Magnitude");
  EXPECT_NEAR(Expected, 13.21802994561372, 1e-9);

  ASSERT_EQ(Property("FileName", Text(Example())).Status, 0);
  ASSERT_TRUE(Program) << "the bus did not start the program";
  const TRun Magnitude = Call("Magnitude");
  ASSERT_EQ(Magnitude.Status, 0) << Magnitude.Err;
  EXPECT_EQ(std::strtod(Magnitude.Out.c_str() + 1, nullptr), Expected) << Magnitude.Out;
  EXPECT_EQ(Property("LastError").Out, "(<0>,)");
  // A single on the interface: the command's double rounded to float.
  EXPECT_EQ(std::strtod(Property("Standard_Deviation").Out.c_str() + 2, nullptr),
            static_cast<double>(static_cast<float>(Json_Number(Command.Out, "Std_Error"))));
  EXPECT_EQ(Property("Less_Than").Out, "(<0>,)");
  EXPECT_EQ(Property("Threshold").Out, "(<12.5>,)");
  // The check star as the command gives it.
  EXPECT_EQ(Property("CheckName").Out, "(<'KV Exm C1'>,)");
  for (const char* Name : {"Check_Mag", "Check_Error", "Check_Offset"}) {
    SCOPED_TRACE(Name);
    const std::string Out = Property(Name).Out;
    EXPECT_EQ(std::strtod(Out.c_str() + 2, nullptr), Json_Number(Command.Out, Name)) << Out;
  }
  EXPECT_GT(Json_Number(Command.Out, "Check_Error"), 0.0);
  EXPECT_EQ(Property("Saturated").Out, "(<''>,)");
  EXPECT_EQ(Call("AAVSO_Report").Status, 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(Root / "reports"), fs::directory_iterator()), 1)
      << "one report written";
  EXPECT_EQ(Call("CloseFile").Status, 0);
  EXPECT_EQ(Property("LastError").Out, "(<1>,)");

  // The camera values are stored as singles: each reads back rounded.
  for (const char* Name : {"Gain", "degC", "Readout_Noise", "Dark_Current", "Max_Error"}) {
    SCOPED_TRACE(Name);
    EXPECT_EQ(Property(Name, "1.1").Status, 0);
    EXPECT_EQ(Property(Name).Out, "(<1.1000000238418579>,)");
  }

  // Its last client gone, the program ends by itself, its settings file as it was.
  for (int i = 0; i < 2000 && Alive(*Program); ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(Alive(*Program)) << "still running 20 s after its last client";
  EXPECT_EQ(Get(Root / "config" / "korvane.ini"), Ini_Bytes);
}

TEST_F(Automation, Calls_Answer_For_The_Active_Image_Window) {
  TStar_Field_Description Unsolved = Centred_Field(100, 100, 150.0, 20.0);
  Unsolved.Write_WCS = false;
  Write_Star_Field(Make_Star_Field(Unsolved), File("nowcs.fit"));
  Put(File("broken.fit"), "SIMPLE  =                    T\n");
  TRun Measured_Run = Run_Program({KORVANE_MEASURE_PATH, "--json", Example()}, Root);
  const std::string Measured = "(" + std::to_string(Json_Number(Measured_Run.Out, "Magnitude")).substr(0, 6);
  TRun From_1_Run = Run_Program({KORVANE_MEASURE_PATH, "--json", "--fits-crpix", Example()}, Root);
  const std::string From_1 = "(" + std::to_string(Json_Number(From_1_Run.Out, "Magnitude")).substr(0, 6);
  ASSERT_NE(From_1, Measured);

  // Each step: a read (no value), a write, or a method; what gdbus prints, or the start of it.
  struct TStep {
    std::string Name;
    std::optional<std::string> Value;
    bool Method;
    std::string Output;
  };
  const std::vector<TStep> Steps = {
      // No image window.
      {"LastError", {}, false, "(<1>,)"},
      {"Threshold", {}, false, "(<0.0>,)"},
      {"Standard_Deviation", {}, false, "(<0.0>,)"},
      {"Less_Than", {}, false, "(<0>,)"},
      {"CheckName", {}, false, "(<''>,)"},
      {"Check_Offset", {}, false, "(<0.0>,)"},
      {"Saturated", {}, false, "(<''>,)"},
      {"CloseFile", {}, true, "()"},
      {"Magnitude", {}, true, "(0.0,)"}, // no name yet: nothing opened
      {"LastError", {}, false, "(<1>,)"},
      // Two reads of one file leave two windows; CloseFile closes the second.
      {"FileName", Text(Example()), false, "()"},
      {"Magnitude", {}, true, Measured},
      {"Magnitude", {}, true, Measured},
      {"CloseFile", {}, true, "()"},
      {"LastError", {}, false, "(<0>,)"},
      // A missing file opens nothing: the measured window stays the active one.
      {"FileName", Text(File("missing.fit")), false, "()"},
      {"Magnitude", {}, true, "(0.0,)"},
      {"LastError", {}, false, "(<0>,)"},
      {"CloseFile", {}, true, "()"},
      {"LastError", {}, false, "(<1>,)"},
      // An image without world coordinates.
      {"FileName", Text(File("nowcs.fit")), false, "()"},
      {"Magnitude", {}, true, "(0.0,)"},
      {"LastError", {}, false, "(<2>,)"},
      {"Threshold", {}, false, "(<0.0>,)"},
      // CRPIX counted from 1 for the images opened from then on, as with --fits-crpix.
      {"Fits_Crpix", {}, false, "(<false>,)"},
      {"Fits_Crpix", "true", false, "()"},
      {"Fits_Crpix", {}, false, "(<true>,)"},
      {"FileName", Text(Example()), false, "()"},
      {"Magnitude", {}, true, From_1},
  };
  for (const TStep& Step : Steps) {
    SCOPED_TRACE(Step.Name + (Step.Value ? " := " + *Step.Value : ""));
    const TRun Result = Step.Method ? Call(Step.Name) : Property(Step.Name, Step.Value);
    EXPECT_EQ(Result.Status, 0) << Result.Err;
    EXPECT_EQ(Result.Out.substr(0, Step.Output.size()), Step.Output) << Result.Out;
  }

  // A file that cannot be read fails the call with the error and its message.
  ASSERT_EQ(Property("FileName", Text(File("broken.fit"))).Status, 0);
  const TRun Broken = Call("Magnitude");
  EXPECT_NE(Broken.Status, 0);
  EXPECT_NE(Broken.Err.find("Korvane.Error.Unexpected"), std::string::npos) << Broken.Err;
  EXPECT_NE(Broken.Err.find("broken.fit: file ends inside the header"), std::string::npos) << Broken.Err;
  // Reading the properties is harmless; only the method measures.
  EXPECT_NE(Property("Magnitude").Err.find("UnknownProperty"), std::string::npos);

  // Introspection lists the members in their order, each with its identifier.
  const TRun Xml = Run_Program({"gdbus", "introspect", "--session", "--xml", "--dest",
                                "Korvane.Korvane_Server", "--object-path", "/Korvane_Server"},
                               Root);
  ASSERT_EQ(Xml.Status, 0) << Xml.Err;
  const size_t Interface = Xml.Out.find("<interface name=\"Korvane.IKorvane_Server\">");
  ASSERT_NE(Interface, std::string::npos) << Xml.Out;
  const std::vector<std::string> Members = {
      "<property name=\"FileName\" type=\"s\" access=\"write\">",
      "<method name=\"Magnitude\">",
      "<property name=\"LastError\" type=\"i\" access=\"read\">",
      "<method name=\"CloseFile\">",
      "<property name=\"Threshold\" type=\"d\" access=\"read\">",
      "<property name=\"Gain\" type=\"d\" access=\"readwrite\">",
      "<property name=\"degC\" type=\"d\" access=\"readwrite\">",
      "<property name=\"Readout_Noise\" type=\"d\" access=\"readwrite\">",
      "<property name=\"Dark_Current\" type=\"d\" access=\"readwrite\">",
      "<property name=\"Standard_Deviation\" type=\"d\" access=\"read\">",
      "<property name=\"Less_Than\" type=\"i\" access=\"read\">",
      "<property name=\"Max_Error\" type=\"d\" access=\"readwrite\">",
      "<method name=\"AAVSO_Report\">",
      "<property name=\"Fits_Crpix\" type=\"b\" access=\"readwrite\">",
      "<property name=\"CheckName\" type=\"s\" access=\"read\">",
      "<property name=\"Check_Mag\" type=\"d\" access=\"read\">",
      "<property name=\"Check_Error\" type=\"d\" access=\"read\">",
      "<property name=\"Check_Offset\" type=\"d\" access=\"read\">",
      "<property name=\"Saturated\" type=\"s\" access=\"read\">",
  };
  size_t At = Interface;
  for (size_t i = 0; i < Members.size(); ++i) {
    SCOPED_TRACE(Members[i]);
    At = Xml.Out.find(Members[i], At);
    ASSERT_NE(At, std::string::npos) << "missing or out of order";
    const size_t Id = Xml.Out.find("<annotation name=\"Korvane.DispID\" value=\"", At);
    ASSERT_NE(Id, std::string::npos);
    EXPECT_EQ(Xml.Out.substr(Id + 41, 3), std::to_string(201 + i));
    EXPECT_LT(Id, Xml.Out.find("</", At)) << "the identifier belongs to the member";
  }
}

TEST_F(Automation, Registration_Writes_And_Removes_The_Service_File_Only) {
  const fs::path Service = Root / "data" / "dbus-1" / "services" / "Korvane.Korvane_Server.service";
  const std::string Text = std::string("[D-BUS Service]\nName=Korvane.Korvane_Server\nExec=") +
                           KORVANE_PROGRAM_PATH + " /automation\n";
  EXPECT_EQ(Get(Service), Text); // written by SetUp
  struct TCase {
    std::string Switch;
    bool Present;
  };
  // No window either: with a display platform that does not exist, an application object
  // would end the program.
  ::setenv("QT_QPA_PLATFORM", "none-such", 1);
  const std::vector<TCase> Cases = {
      {"-UNREGSERVERPERUSER", false},
      {"/unregserverperuser", false}, // a missing file is no failure
      {"-RegServerPerUser", true},
      {"/regserverperuser", true},
  };
  for (const TCase& Case : Cases) {
    const TRun Result = Run_Program({KORVANE_PROGRAM_PATH, Case.Switch}, Root);
    EXPECT_EQ(Result.Status, 0) << Case.Switch << ": " << Result.Err;
    EXPECT_EQ(fs::exists(Service), Case.Present) << Case.Switch;
  }
  EXPECT_EQ(Get(Service), Text);

  // A folder that cannot be made: the reason on standard error, a failing status.
  Put(Root / "file", "");
  ::setenv("XDG_DATA_HOME", (Root / "file").c_str(), 1);
  const TRun Failed = Run_Program({KORVANE_PROGRAM_PATH, "/regserverperuser"}, Root);
  EXPECT_NE(Failed.Status, 0);
  EXPECT_NE(Failed.Err.find((Root / "file").string()), std::string::npos) << Failed.Err;
  // No registration looked at the settings.
  EXPECT_EQ(Get(Root / "config" / "korvane.ini"), Ini_Bytes);
}

} // namespace
