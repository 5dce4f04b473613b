#pragma once
// The automation service's life in the running program: it publishes the main window on
// the session bus, ends an automation start once its clients have gone, and asks before
// the user closes a program that clients still use.

#include "automation/Command_Line.h"

#include <QMessageBox>
#include <QObject>

#include <chrono>
#include <functional>

class QTimer;
class TAutomation_Host;
class TKorvane_Server;

// Answers the close question: receives the box as built (title, text, buttons, No
// preselected) and returns the button chosen. By default the user answers the modal box.
using TClose_Question = std::function<QMessageBox::StandardButton(QMessageBox& Box)>;

// Replaces the user's answer by Question; an empty function restores the modal box.
// Returns the previous replacement. Used where no one can click a modal box away, such as
// the window tests.
TClose_Question Set_Close_Question(TClose_Question Question);

class TAutomation : public QObject {
  Q_OBJECT

public:
  // Publishes Host's operations. An automation start (Mode Automation) ends the program,
  // without writing the settings, when no client has been on the bus for Linger, so that
  // the separate calls of a shell script reach the same instance; a start by the user
  // serves clients only when the bus name is free. Problems go to standard error.
  TAutomation(TAutomation_Host& Host, TStart_Mode Mode,
              std::chrono::milliseconds Linger = std::chrono::seconds(3));
  ~TAutomation() override;

  TAutomation(const TAutomation&) = delete;
  TAutomation& operator=(const TAutomation&) = delete;

private:
  // After the settings are written at close: with clients on the bus, the user decides.
  bool Confirm_Close();
  void End_If_Unused();

  TAutomation_Host& Host;
  TKorvane_Server* Server = nullptr;
  QTimer* End_Timer = nullptr;
};
