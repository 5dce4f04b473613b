#pragma once
// The automation service's registration: a D-Bus service file that lets the session bus
// start the program (with /automation) when a client calls Korvane.Korvane_Server.

#include "automation/Command_Line.h"

#include <string>

// The bus name the program serves and the service file's name.
inline constexpr const char* Service_Bus_Name = "Korvane.Korvane_Server";

// The file's text: the bus name and the command that starts the program for a client.
// A path with characters the bus would split or expand is quoted.
std::string Service_File_Text(const std::string& Program_Path);

// Where the service file of a registration goes: /usr/local/share/dbus-1/services for all
// users, $XDG_DATA_HOME/dbus-1/services (default ~/.local/share) for one user. Throws
// TKorvane_Error when neither XDG_DATA_HOME nor HOME says where one user's files are.
std::string Service_File_Path(bool All_Users, const std::string& Xdg_Data_Home, const std::string& Home);

// Writes the file whole, its folder made when needed, or removes it (a missing file is
// no error). Throws TKorvane_Error saying why it could not.
void Register_Service(const std::string& Path, const std::string& Program_Path);
void Unregister_Service(const std::string& Path);

// The absolute path of the running program.
std::string Running_Program_Path();

// Carries out a registration start (Mode is one of the four registration modes) for the
// running program, with the environment of the process: 0 when done, otherwise the reason
// on standard error and 1.
int Run_Registration(TStart_Mode Mode);
