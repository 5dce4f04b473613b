#include "automation/Service_File.h"

#include "text/Messages.h"
#include "text/Output_File.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>

namespace {

std::string Environment(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value != nullptr ? Value : "";
}

// The bus splits the command line as a shell would: a path with blanks, quotes or other
// special characters goes in single quotes, a single quote in it as '\''.
std::string Quoted(const std::string& Path) {
  if (!Path.empty() && Path.find_first_of(" \t\n'\"\\$`;&|<>()*?[]#~=%") == std::string::npos)
    return Path;
  std::string Text = "'";
  for (const char C : Path)
    Text += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Text + "'";
}

} // namespace

std::string Service_File_Text(const std::string& Program_Path) {
  return std::string("[D-BUS Service]\nName=") + Service_Bus_Name + "\nExec=" + Quoted(Program_Path) +
         " /automation\n";
}

std::string Service_File_Path(bool All_Users, const std::string& Xdg_Data_Home, const std::string& Home) {
  const std::string File = std::string("/dbus-1/services/") + Service_Bus_Name + ".service";
  if (All_Users)
    return "/usr/local/share" + File;
  // A relative XDG_DATA_HOME is to be ignored, as the bus ignores it.
  if (!Xdg_Data_Home.empty() && Xdg_Data_Home.front() == '/')
    return Xdg_Data_Home + File;
  if (Home.empty())
    throw TKorvane_Error("neither XDG_DATA_HOME nor HOME is set: no folder for the user's service file");
  return Home + "/.local/share" + File;
}

void Register_Service(const std::string& Path, const std::string& Program_Path) {
  Write_File_Whole(Path, Service_File_Text(Program_Path), true);
}

void Unregister_Service(const std::string& Path) {
  if (std::remove(Path.c_str()) != 0 && errno != ENOENT)
    throw TKorvane_Error(Path + ": cannot remove the file: " + std::strerror(errno));
}

std::string Running_Program_Path() {
  std::error_code Error;
  const std::filesystem::path Path = std::filesystem::read_symlink("/proc/self/exe", Error);
  if (Error)
    throw TKorvane_Error(std::string("the program's own path cannot be read: ") + Error.message());
  return Path.string();
}

int Run_Registration(TStart_Mode Mode) {
  try {
    const bool All_Users = Mode == TStart_Mode::Register || Mode == TStart_Mode::Unregister;
    const std::string Path = Service_File_Path(All_Users, Environment("XDG_DATA_HOME"), Environment("HOME"));
    if (Mode == TStart_Mode::Register || Mode == TStart_Mode::Register_Per_User)
      Register_Service(Path, Running_Program_Path());
    else
      Unregister_Service(Path);
    return 0;
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "korvane: %s\n", Error.what());
    return 1;
  }
}
