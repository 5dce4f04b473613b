#pragma once
// For window tests: the one application object of a test program, and a scratch home.

#include "app/Korvane_Application.h"

#include <QByteArray>
#include <QString>

#include <string>

inline TKorvane_Application& Test_Application() {
  static int Argc = 1;
  static char Name[] = "korvane-window-test";
  static char* Argv[] = {Name, nullptr};
  // Never destroyed: it must outlive every window of every test.
  static auto* App = new TKorvane_Application(Argc, Argv);
  return *App;
}

// Points HOME and XDG_CONFIG_HOME at scratch folders, so that a main window created by the
// test reads and writes its settings there and nowhere else; the default report folder is
// then under HOME too.
inline void Use_Scratch_Home(const std::string& Home, const std::string& Config) {
  qputenv("HOME", QByteArray::fromStdString(Home));
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(Config));
  qunsetenv("XDG_DATA_HOME");
}
