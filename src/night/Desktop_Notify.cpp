#include "night/Desktop_Notify.h"

#include <dbus/dbus.h>

#include <cstdint>

namespace {

// How long a notification service may take to answer.
constexpr int Reply_Milliseconds = 2000;

std::string Error_Text(const DBusError& Error) {
  return Error.message != nullptr ? Error.message : (Error.name != nullptr ? Error.name : "unknown error");
}

} // namespace

TDesktop_Notifier::TDesktop_Notifier() {
  DBusError Error;
  dbus_error_init(&Error);
  Connection = dbus_bus_get_private(DBUS_BUS_SESSION, &Error);
  if (Connection == nullptr) {
    Connect_Error = "no session bus: " + Error_Text(Error);
    dbus_error_free(&Error);
    return;
  }
  // The bus going away must not end the program.
  dbus_connection_set_exit_on_disconnect(Connection, FALSE);
}

TDesktop_Notifier::~TDesktop_Notifier() {
  if (Connection != nullptr) {
    dbus_connection_close(Connection);
    dbus_connection_unref(Connection);
  }
}

std::string TDesktop_Notifier::Notify(const std::string& Summary, const std::string& Body) {
  if (Connection == nullptr)
    return Connect_Error;
  DBusMessage* Call =
      dbus_message_new_method_call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                   "org.freedesktop.Notifications", "Notify");
  if (Call == nullptr)
    return "out of memory";
  const char* App_Name = "korvane-measure";
  const char* Icon = "korvane";
  const char* Summary_Text = Summary.c_str();
  const char* Body_Text = Body.c_str();
  const dbus_uint32_t Replaces = 0;
  const dbus_int32_t Expire = -1;
  DBusMessageIter Args, Actions, Hints;
  dbus_message_iter_init_append(Call, &Args);
  bool Built = dbus_message_iter_append_basic(&Args, DBUS_TYPE_STRING, &App_Name) &&
               dbus_message_iter_append_basic(&Args, DBUS_TYPE_UINT32, &Replaces) &&
               dbus_message_iter_append_basic(&Args, DBUS_TYPE_STRING, &Icon) &&
               dbus_message_iter_append_basic(&Args, DBUS_TYPE_STRING, &Summary_Text) &&
               dbus_message_iter_append_basic(&Args, DBUS_TYPE_STRING, &Body_Text);
  Built = Built && dbus_message_iter_open_container(&Args, DBUS_TYPE_ARRAY, "s", &Actions) &&
          dbus_message_iter_close_container(&Args, &Actions);
  Built = Built && dbus_message_iter_open_container(&Args, DBUS_TYPE_ARRAY, "{sv}", &Hints) &&
          dbus_message_iter_close_container(&Args, &Hints);
  Built = Built && dbus_message_iter_append_basic(&Args, DBUS_TYPE_INT32, &Expire);
  if (!Built) {
    dbus_message_unref(Call);
    return "out of memory";
  }
  DBusError Error;
  dbus_error_init(&Error);
  DBusMessage* Reply =
      dbus_connection_send_with_reply_and_block(Connection, Call, Reply_Milliseconds, &Error);
  dbus_message_unref(Call);
  if (Reply == nullptr) {
    std::string Why = dbus_error_has_name(&Error, DBUS_ERROR_SERVICE_UNKNOWN)
                          ? std::string("no notification service on the session bus")
                          : "the notification service failed: " + Error_Text(Error);
    dbus_error_free(&Error);
    return Why;
  }
  dbus_message_unref(Reply);
  return {};
}
