// Program start: the application object, the three program-wide windows, the event loop.

#include "app/Command_Line.h"
#include "app/Korvane_Application.h"
#include "app/Qt_Messages.h"
#include "app/Signal_Closer.h"
#include "app/Unit_Help.h"
#include "app/Unit_Main.h"
#include "settings/Unit_Settings.h"

#include <QTimer>

int main(int argc, char** argv) {
  TKorvane_Application Application(argc, argv);
  Application.setApplicationName(QStringLiteral("korvane"));
  Application.setApplicationDisplayName(QStringLiteral("Korvane"));

  TQt_Messages Messages;
  // Created in this order; the dialogs are children of the main window, so closing the
  // main window ends the program.
  TMain_Form Main(Messages);
  Main_Form = &Main;
  TForm_Settings Settings(&Main);
  Form_Settings = &Settings;
  TForm_Help Help(&Main);
  Form_Help = &Help;

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
