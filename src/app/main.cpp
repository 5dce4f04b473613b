// Program start: the application object, the three program-wide windows, the event loop.

#include "app/Korvane_Application.h"
#include "app/Qt_Messages.h"
#include "app/Signal_Closer.h"
#include "app/Unit_Main.h"
#include "automation/Automation.h"
#include "automation/Command_Line.h"
#include "automation/Service_File.h"

#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstring>

#ifndef KORVANE_VERSION
#error "KORVANE_VERSION must be defined by the build"
#endif

namespace {

constexpr const char* Help_Text =
    "Usage: korvane [FILE]...\n"
    "Open plate-solved FITS images and measure the catalogue target of each.\n"
    "\n"
    "  --night DIR             open the night table of the FITS files in DIR\n"
    "  --help                  show this help and exit\n"
    "  --version               show the version and exit\n"
    "  /automation             start for a D-Bus client (also /embedding; \"-\" for \"/\")\n"
    "  /regserverperuser       register the D-Bus service for yourself, then exit\n"
    "  /regserver              register it for all users, then exit\n"
    "  /unregserverperuser, /unregserver   remove the registration, then exit\n"
    "\n"
    "Settings: $XDG_CONFIG_HOME/korvane.ini (default ~/.config/korvane.ini).\n"
    "korvane-measure measures images without a window.\n";

} // namespace

int main(int argc, char** argv) {
  // --version and --help print and end before the application object: no window, no display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(argv[i][2] == 'v' ? "korvane " KORVANE_VERSION "\n" : Help_Text, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  // A registration start ends here, before the application object: no window, no display.
  QStringList Arguments;
  for (int i = 0; i < argc; ++i)
    Arguments.append(QString::fromLocal8Bit(argv[i]));
  const TStart_Mode Mode = Start_Mode(Arguments);
  if (Mode != TStart_Mode::User && Mode != TStart_Mode::Automation)
    return Run_Registration(Mode);

  TKorvane_Application Application(argc, argv);
  Application.setApplicationName(QStringLiteral("korvane"));
  Application.setApplicationDisplayName(QStringLiteral("Korvane"));

  // A logout, a shutdown or Ctrl+C closes the main window as its close button does; caught
  // from here on, so that a box shown while the window is made cannot let a signal end the
  // program unsaved.
  TSignal_Closer Closer;
  TQt_Messages Messages;
  // The main window owns the dialogs (its children), so closing it ends the program.
  TMain_Form Main(Messages);
  Main_Form = &Main;
  // Clients on the session bus reach the main window's operations.
  TAutomation Automation(Main, Mode);

  Closer.Set_Window(Main);
  Main.show();
  // Files named on the command line (a file manager passes them so) open once the event
  // loop runs, so that an error shows in the program's error box.
  const QStringList Files = Files_To_Open(QApplication::arguments());
  if (!Files.isEmpty())
    QTimer::singleShot(0, &Main, [&Main, Files] { Main.Open_Files(Files); });
  if (const QString Night = Night_Folder(QApplication::arguments()); !Night.isEmpty())
    QTimer::singleShot(0, &Main,
                       [&Main, Night] { Main.Open_Night({}, QFileInfo(Night).absoluteFilePath()); });
  const int Result = Application.exec();

  Main_Form = nullptr;
  return Result;
}
