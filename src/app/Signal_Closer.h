#pragma once
// Ending the session ends the program as the close button does: SIGTERM and SIGHUP (a
// logout, a shutdown) and SIGINT (Ctrl+C in the terminal) close the main window, so its
// settings are written. The signal handler only writes a byte to a pipe; the window is
// closed from the event loop once the pipe's read end is readable.

#include <QObject>
#include <QPointer>
#include <QWidget>

class QSocketNotifier;

class TSignal_Closer : public QObject {
  Q_OBJECT

public:
  // Installs the handlers, before any window exists, so that a signal during a box shown at
  // start (a damaged settings file) is kept rather than ending the program unsaved. The first
  // signal closes the window of Set_Window (at once, or as soon as it is set); a further one,
  // should the window still be closing, leaves the event loops. One closer at a time.
  TSignal_Closer();
  void Set_Window(QWidget& Window);
  // Restores the handlers that were in place before.
  ~TSignal_Closer() override;

  TSignal_Closer(const TSignal_Closer&) = delete;
  TSignal_Closer& operator=(const TSignal_Closer&) = delete;

private:
  void Signal_Arrived();

  void Close_Window();

  QPointer<QWidget> Window;
  QSocketNotifier* Notifier = nullptr;
  int Read_End = -1;
  bool Installed = false;
  bool Close_Asked = false;
};
