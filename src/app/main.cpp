// Program start: the application object, the three program-wide windows, the event loop.

#include "app/Command_Line.h"
#include "app/Korvane_Application.h"
#include "app/Qt_Messages.h"
#include "app/Signal_Closer.h"
#include "app/Unit_Help.h"
#include "app/Unit_Main.h"
#include "automation/Automation.h"
#include "automation/Service_File.h"
#include "settings/Unit_Settings.h"

#include <QTimer>

int main(int argc, char** argv) {
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

  TQt_Messages Messages;
  // Created in this order; the dialogs are children of the main window, so closing the
  // main window ends the program.
  TMain_Form Main(Messages);
  Main_Form = &Main;
  TForm_Settings Settings(Main, &Main);
  Form_Settings = &Settings;
  TForm_Help Help(&Main);
  Form_Help = &Help;
  // Clients on the session bus reach the main window's operations.
  TAutomation Automation(Main, Mode);

  // A logout, a shutdown or Ctrl+C closes the main window as its close button does.
  TSignal_Closer Closer(Main);
  Main.show();
  // Files named on the command line (a file manager passes them so) open once the event
  // loop runs, so that an error shows in the program's error box.
  const QStringList Files = Files_To_Open(QApplication::arguments());
  if (!Files.isEmpty())
    QTimer::singleShot(0, &Main, [&Main, Files] { Main.Open_Files(Files); });
  const int Result = Application.exec();

  Form_Help = nullptr;
  Form_Settings = nullptr;
  Main_Form = nullptr;
  return Result;
}
