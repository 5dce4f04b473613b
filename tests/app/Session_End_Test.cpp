// Ending the session ends the program as its close button does: the built program, sent
// SIGTERM (a logout), SIGHUP (a closed terminal) or SIGINT (Ctrl+C), writes its settings
// and exits normally.

#include "settings/Settings.h"

#include "support/Test_Files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Whether the process has a handler of its own for Signal (its SigCgt mask in /proc).
bool Handles(pid_t Pid, int Signal) {
  std::ifstream Status("/proc/" + std::to_string(Pid) + "/status");
  std::string Line;
  while (std::getline(Status, Line))
    if (Line.rfind("SigCgt:", 0) == 0)
      return (std::stoull(Line.substr(7), nullptr, 16) >> (Signal - 1)) & 1u;
  return false;
}

// The program's exit, waited for at most Limit; nothing if it is still running.
std::optional<int> Wait_For_Exit(pid_t Pid, std::chrono::milliseconds Limit) {
  const auto End = std::chrono::steady_clock::now() + Limit;
  do {
    int Status = 0;
    if (::waitpid(Pid, &Status, WNOHANG) == Pid)
      return Status;
    std::this_thread::sleep_for(10ms);
  } while (std::chrono::steady_clock::now() < End);
  return std::nullopt;
}

class Session_End : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directories(Root / "config");
    fs::create_directories(Root / "home");
  }

  // Starts the program with the offscreen platform and its settings in Root/config, the
  // closing signals at their default actions whatever this test inherited. Its output goes
  // to Root/output.log. (This test program runs no other thread, so the child may set its
  // environment between fork and exec.)
  pid_t Start() const {
    const std::string Log = (Root / "output.log").string();
    const pid_t Pid = ::fork();
    if (Pid != 0)
      return Pid;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_CONFIG_HOME", (Root / "config").c_str(), 1);
    ::setenv("HOME", (Root / "home").c_str(), 1);
    sigset_t None;
    sigemptyset(&None);
    ::sigprocmask(SIG_SETMASK, &None, nullptr);
    for (const int Signal : {SIGTERM, SIGHUP, SIGINT})
      ::signal(Signal, SIG_DFL);
    const int Out = ::open(Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(Out, 1);
    ::dup2(Out, 2);
    ::execl(KORVANE_PROGRAM_PATH, KORVANE_PROGRAM_PATH, static_cast<char*>(nullptr));
    std::_Exit(127);
  }

  TScratch_Folder Scratch{"korvane-session"};
  const fs::path Root = Scratch.Folder;
};

TEST_F(Session_End, A_Closing_Signal_Writes_The_Settings) {
  // A target file that loads, so that no message box holds up the start.
  Put(Root / "targets.csv", "Name,RAh,RAm,RAs,Decd,Decm,Decs\r\nx\r\ny\r\n"
                            "V1 Tst,1,2,3,-4,5,6,Ref A,1,3,0,-4,10,0,V,12,11,X123A\r\n");
  TSettings S = Default_Settings((Root / "home").string());
  S.Window = {150, 20, 900, 600};
  S.Scale_Index = 3;
  S.Radius = 10;
  S.DataFileName = (Root / "targets.csv").string();
  S.Gain = 2.0;
  S.AAVSO_ObsCode = "XYZ";
  S.Snap_to_Centre = true;
  const std::string Expected = Settings_Text(S);
  // The file read has lone LF line ends; the one written at the end has CR LF.
  std::string Lf_File = Expected;
  for (size_t At; (At = Lf_File.find("\r\n")) != std::string::npos;)
    Lf_File.erase(At, 1);
  const fs::path Ini = Root / "config" / "korvane.ini";

  for (const int Signal : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(::strsignal(Signal));
    Put(Ini, Lf_File);
    const pid_t Pid = Start();
    ASSERT_GT(Pid, 0);
    // Running: the handler is in place (it is installed just before the event loop starts).
    const auto Deadline = std::chrono::steady_clock::now() + 30s;
    std::optional<int> Ended;
    while (!Handles(Pid, Signal) && !(Ended = Wait_For_Exit(Pid, 20ms)) &&
           std::chrono::steady_clock::now() < Deadline) {
    }
    if (!Handles(Pid, Signal)) {
      if (!Ended) {
        ::kill(Pid, SIGKILL);
        ::waitpid(Pid, nullptr, 0);
      }
      FAIL() << "the program did not come up:\n" << Get(Root / "output.log");
    }
    ASSERT_EQ(::kill(Pid, Signal), 0);
    const std::optional<int> Status = Wait_For_Exit(Pid, 30s);
    if (!Status) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
      FAIL() << "the program did not end:\n" << Get(Root / "output.log");
    }
    EXPECT_TRUE(WIFEXITED(*Status) && WEXITSTATUS(*Status) == 0) << "status " << *Status << "\n"
                                                                 << Get(Root / "output.log");
    EXPECT_EQ(Get(Ini), Expected);
    // Nothing else of ours: no temporary file, no copy.
    std::vector<std::string> Names;
    for (const fs::directory_entry& Entry : fs::directory_iterator(Root / "config"))
      if (Entry.path().filename().string().starts_with("korvane"))
        Names.push_back(Entry.path().filename().string());
    EXPECT_EQ(Names, std::vector<std::string>{"korvane.ini"});
  }
}

} // namespace
