// The start switches, the files named beside them, and the service file that registration writes.

#include "automation/Command_Line.h"
#include "automation/Service_File.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Start_Switches, First_Matching_Rule_Of_Whole_Names) {
  struct TCase {
    QStringList Arguments;
    TStart_Mode Mode;
  };
  const std::vector<TCase> Cases = {
      {{"korvane"}, TStart_Mode::User},
      {{"korvane", "/home/me/m31.fit"}, TStart_Mode::User},
      {{"korvane", "/RegServer"}, TStart_Mode::Register},
      {{"korvane", "-regserver"}, TStart_Mode::Register},
      {{"korvane", "/REGSERVER"}, TStart_Mode::Register},
      {{"korvane", "/regserverperuser"}, TStart_Mode::Register_Per_User},
      {{"korvane", "-UnRegServerPerUser"}, TStart_Mode::Unregister_Per_User},
      {{"korvane", "/unregserver"}, TStart_Mode::Unregister},
      {{"korvane", "/Embedding"}, TStart_Mode::Automation},
      {{"korvane", "-automation"}, TStart_Mode::Automation},
      // The rules' order decides, not the arguments'.
      {{"korvane", "/regserverperuser", "/regserver"}, TStart_Mode::Register},
      {{"korvane", "/unregserver", "/automation"}, TStart_Mode::Automation},
      // Neither a prefix, nor a name without its "/" or "-", nor the program's own name.
      {{"korvane", "/regserv"}, TStart_Mode::User},
      {{"korvane", "regserver"}, TStart_Mode::User},
      {{"--regserver", "x.fit"}, TStart_Mode::User},
      {{"korvane", "--automation"}, TStart_Mode::User},
  };
  for (const TCase& Case : Cases)
    EXPECT_EQ(Start_Mode(Case.Arguments), Case.Mode) << Case.Arguments.join(' ').toStdString();
}

// What a file manager passes is a file, whatever it looks like; only the service's switch
// names after "/" or "-" are switches.
TEST(Command_Line, Only_The_Service_Switches_Are_Not_Files) {
  const QStringList Arguments = {
      "korvane", "/home/me/m31.fit", "-Embedding",          "/regserver",   "relative.fit", "-",
      "/",       "--automation",     "/UNREGSERVERPERUSER", "-automationx", "-Automation"};
  EXPECT_EQ(Files_To_Open(Arguments),
            QStringList({"/home/me/m31.fit", "relative.fit", "-", "/", "--automation", "-automationx"}));
}

TEST(Service_File, Names_The_Program_And_Its_Folder) {
  const std::string Head = "[D-BUS Service]\nName=Korvane.Korvane_Server\nExec=";
  const std::vector<std::pair<std::string, std::string>> Programs = {
      {"/usr/bin/korvane", "/usr/bin/korvane /automation\n"},
      {"/opt/My Tools/korvane", "'/opt/My Tools/korvane' /automation\n"},
      {"/opt/it's/korvane", "'/opt/it'\\''s/korvane' /automation\n"},
  };
  for (const auto& [Program, Exec] : Programs)
    EXPECT_EQ(Service_File_Text(Program), Head + Exec) << Program;

  const std::string File = "/dbus-1/services/Korvane.Korvane_Server.service";
  EXPECT_EQ(Service_File_Path(true, "/x", "/home/me"), "/usr/local/share" + File);
  EXPECT_EQ(Service_File_Path(false, "/x", "/home/me"), "/x" + File);
  EXPECT_EQ(Service_File_Path(false, "", "/home/me"), "/home/me/.local/share" + File);
  EXPECT_EQ(Service_File_Path(false, "relative", "/home/me"), "/home/me/.local/share" + File);
  EXPECT_ANY_THROW(Service_File_Path(false, "", ""));
}

} // namespace
