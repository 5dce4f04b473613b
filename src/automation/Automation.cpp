#include "automation/Automation.h"

#include "automation/Automation_Host.h"
#include "automation/Unit_Server.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <utility>

namespace {

TClose_Question& Close_Question_Replacement() {
  static TClose_Question Question;
  return Question;
}

} // namespace

TClose_Question Set_Close_Question(TClose_Question Question) {
  return std::exchange(Close_Question_Replacement(), std::move(Question));
}

TAutomation::TAutomation(TAutomation_Host& Host_, TStart_Mode Mode, std::chrono::milliseconds Linger)
    : Host(Host_) {
  const bool Automation_Start = Mode == TStart_Mode::Automation;
  Server = new TKorvane_Server(Host, QDBusConnection::sessionBus(), this);
  QString Error;
  // A start by the user without a bus, or beside another instance, simply serves no one.
  if (!Server->Publish(true, Error) && Automation_Start)
    std::fprintf(stderr, "korvane: automation: %s\n", qPrintable(Error));
  Host.Set_Close_Query([this] { return Confirm_Close(); });
  if (!Automation_Start)
    return;
  End_Timer = new QTimer(this);
  End_Timer->setSingleShot(true);
  End_Timer->setInterval(Linger);
  connect(End_Timer, &QTimer::timeout, this, &TAutomation::End_If_Unused);
  connect(Server, &TKorvane_Server::Last_Client_Left, End_Timer, qOverload<>(&QTimer::start));
}

TAutomation::~TAutomation() {
  Host.Set_Close_Query(nullptr);
}

bool TAutomation::Confirm_Close() {
  if (Server->Client_Count() == 0)
    return true;
  QMessageBox Box(
      QMessageBox::Warning, QStringLiteral("COM Server Warning"),
      QStringLiteral("There are still active COM objects in this application.  One or more clients "
                     "may have references to these objects, so manually closing this application "
                     "may cause those client application(s) to fail.\n\nAre you sure you want to "
                     "close this application?"),
      QMessageBox::Yes | QMessageBox::No, &Host.Host_Window());
  Box.setObjectName(QStringLiteral("Server_Warning"));
  Box.setDefaultButton(QMessageBox::No);
  Box.setWindowModality(Qt::ApplicationModal);
  if (const TClose_Question& Question = Close_Question_Replacement())
    return Question(Box) == QMessageBox::Yes;
  return Box.exec() == QMessageBox::Yes;
}

void TAutomation::End_If_Unused() {
  if (Server->Client_Count() != 0)
    return;
  // Not inside an open's box: the program ends once the work has returned.
  if (Host.Busy()) {
    End_Timer->start();
    return;
  }
  // The name goes first, so that a client calling now starts a new instance. The main
  // window is then destroyed without its close handling: the settings file stays as it was.
  Server->Release_Name();
  QCoreApplication::exit(0);
}
