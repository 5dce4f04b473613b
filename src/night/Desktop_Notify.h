#pragma once
// Desktop notifications from korvane-measure: the session bus's notification service
// (org.freedesktop.Notifications), reached through libdbus-1 so that the command links no Qt.

#include <string>

struct DBusConnection;

class TDesktop_Notifier {
public:
  // Connects to the session bus; a bus that is not there is said by the first Notify.
  TDesktop_Notifier();
  ~TDesktop_Notifier();
  TDesktop_Notifier(const TDesktop_Notifier&) = delete;
  TDesktop_Notifier& operator=(const TDesktop_Notifier&) = delete;

  // Shows one notification. Empty when the service took it, otherwise why not (no bus, no
  // notification service on it, its error), for a note.
  std::string Notify(const std::string& Summary, const std::string& Body);

private:
  DBusConnection* Connection = nullptr;
  std::string Connect_Error;
};
