// korvane-measure: measures FITS images from the command line, for batch runs and scripts.
// This file gathers what the run needs from the process; the work is in Measure_Command.

#include "cli/Measure_Command.h"

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <pwd.h>
#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string Environment_Variable(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value != nullptr ? Value : "";
}

std::string Home_Folder() {
  std::string Home = Environment_Variable("HOME");
  if (Home.empty())
    if (const passwd* Entry = getpwuid(getuid()); Entry != nullptr && Entry->pw_dir != nullptr)
      Home = Entry->pw_dir;
  return Home;
}

// The user's decimal separator, which the target file is written with. The locale is set
// only to learn it and put back to "C" at once, so that nothing later formats or parses
// with it by accident.
char User_Decimal_Separator() {
  char Separator = '.';
  if (std::setlocale(LC_ALL, "") != nullptr) {
    const std::lconv* Conventions = std::localeconv();
    if (Conventions != nullptr && Conventions->decimal_point != nullptr &&
        Conventions->decimal_point[0] != '\0' && Conventions->decimal_point[1] == '\0')
      Separator = Conventions->decimal_point[0];
  }
  std::setlocale(LC_ALL, "C");
  return Separator;
}

// The closing signal that came, 0 while none has: the run ends at the next file boundary,
// so that no line is cut and no report's temporary file is left behind.
volatile std::sig_atomic_t Closing_Signal = 0;

extern "C" void On_Closing_Signal(int Signal) {
  Closing_Signal = Signal;
}

// A signal ignored from the start stays ignored ("nohup korvane-measure").
void Catch_Closing_Signals() {
  for (const int Signal : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction Old {};
    if (::sigaction(Signal, nullptr, &Old) != 0 || Old.sa_handler == SIG_IGN)
      continue;
    struct sigaction Action {};
    Action.sa_handler = On_Closing_Signal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    ::sigaction(Signal, &Action, nullptr);
  }
}

} // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  TMeasure_Environment Environment;
  Environment.Xdg_Config_Home = Environment_Variable("XDG_CONFIG_HOME");
  Environment.Xdg_Data_Home = Environment_Variable("XDG_DATA_HOME");
  Environment.Xdg_Cache_Home = Environment_Variable("XDG_CACHE_HOME");
  Environment.Home = Home_Folder();
  Environment.Decimal_Separator = User_Decimal_Separator();
  Environment.Show_Progress = isatty(STDERR_FILENO) == 1;

  std::vector<std::string> Args(argv + (argc > 0 ? 1 : 0), argv + argc);
  Catch_Closing_Signals();
  Environment.Stop_Asked = [] { return Closing_Signal != 0; };
  const int Status = Run_Measure(Args, Environment, std::cout, std::cerr);
  std::cout.flush();
  // A watch ends by a closing signal: that is its normal end, with its status.
  const bool Watching = Parse_Arguments(Args).Options.Watch_Dir.has_value();
  if (const int Signal = Closing_Signal; Signal != 0 && !Watching) {
    // Ended by the signal, as its sender expects to see, once the work done is complete.
    std::signal(Signal, SIG_DFL);
    std::raise(Signal);
  }
  if (Status == Exit_Output_Failed)
    return Status;
  return std::cout.good() ? Status : Exit_Output_Failed;
}
