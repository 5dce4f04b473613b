// korvane-measure: measures FITS images from the command line, for batch runs and scripts.
// This file gathers what the run needs from the process; the work is in Measure_Command.

#include "cli/Measure_Command.h"

#include <clocale>
#include <cstdlib>
#include <iostream>
#include <pwd.h>
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

} // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  TMeasure_Environment Environment;
  Environment.Xdg_Config_Home = Environment_Variable("XDG_CONFIG_HOME");
  Environment.Home = Home_Folder();
  Environment.Decimal_Separator = User_Decimal_Separator();
  Environment.Show_Progress = isatty(STDERR_FILENO) == 1;

  std::vector<std::string> Args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int Status = Run_Measure(Args, Environment, std::cout, std::cerr);
  std::cout.flush();
  return std::cout.good() ? Status : Exit_Error;
}
