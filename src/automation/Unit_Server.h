#pragma once
// The D-Bus binding of the main window's automation operations: object /Korvane_Server,
// interface Korvane.IKorvane_Server. Each member reads or writes one value of the main window
// or calls one of its operations, through TAutomation_Host, and converts the value; the
// binding adds nothing of its own, shows nothing (a failure becomes the error
// Korvane.Error.Unexpected) and serves one call at a time, in arrival order, so that a call
// never runs inside another call's message box. While the main window is busy (an image being
// opened or analysed, a box or dialog of a window, whoever began it), only calls that read a
// property answer; the others wait for its end.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QPointer>
#include <QSet>

#include <deque>

class QDBusServiceWatcher;
class QWidget;
class TAutomation_Host;

inline constexpr const char* Server_Object_Path = "/Korvane_Server";
inline constexpr const char* Server_Interface = "Korvane.IKorvane_Server";
inline constexpr const char* Server_Error = "Korvane.Error.Unexpected";

class TKorvane_Server : public QDBusVirtualObject {
  Q_OBJECT

public:
  TKorvane_Server(TAutomation_Host& Host, QDBusConnection Connection, QObject* Parent = nullptr);
  ~TKorvane_Server() override;

  // Registers the object; with Own_Name also asks for the bus name, which only a free name
  // gets. False with the reason in Error when either fails.
  bool Publish(bool Own_Name, QString& Error);
  // Gives the bus name back, so that the next client starts another instance.
  void Release_Name();

  // The unique bus names that sent the object a message and are still on the bus.
  qsizetype Client_Count() const { return Clients.size(); }

  QString introspect(const QString& Path) const override;
  bool handleMessage(const QDBusMessage& Message, const QDBusConnection& Connection) override;

signals:
  // The last client left the bus.
  void Last_Client_Left();

private:
  struct TCall {
    QDBusMessage Message;
    QDBusConnection Connection;
  };

  void Note_Client(const QString& Sender);
  void Client_Left(const QString& Name);
  void Serve(const TCall& Call);
  // Whether Message must wait for the main window's work to end.
  bool Must_Wait(const QDBusMessage& Message) const;
  // Serves the waiting calls in order, up to the first that must wait longer.
  void Serve_Waiting();
  // The reply to one call; the main window's exceptions pass through.
  QDBusMessage Answer(const QDBusMessage& Message);

  TAutomation_Host& Host;
  // Null once the host's window is destroyed: the host is then called no more.
  QPointer<QWidget> Window;
  QDBusConnection Bus;
  QDBusServiceWatcher* Watcher = nullptr;
  QSet<QString> Clients;
  bool Busy = false;
  std::deque<TCall> Waiting;
};
