#pragma once
// For automation tests: a session bus of the test's own, and the example settings adapted.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

// dbus-run-session with a shell in it that holds the bus as long as it can read its input.
struct TPrivate_Bus {
  std::string Address; // empty when the bus did not start
  pid_t Pid = -1;      // dbus-run-session
  int Input = -1;      // the shell's input: closing it ends the bus
};

// Starts a private bus; the environment is left as it is.
inline TPrivate_Bus Start_Private_Bus() {
  TPrivate_Bus Bus;
  int To_Shell[2], From_Shell[2];
  if (::pipe2(To_Shell, O_CLOEXEC) != 0 || ::pipe2(From_Shell, O_CLOEXEC) != 0)
    return Bus;
  Bus.Pid = ::fork();
  if (Bus.Pid == 0) {
    ::dup2(To_Shell[0], 0);
    ::dup2(From_Shell[1], 1);
    ::execlp("dbus-run-session", "dbus-run-session", "--", "sh", "-c",
             "echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec cat >/dev/null", static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  ::close(To_Shell[0]);
  ::close(From_Shell[1]);
  Bus.Input = To_Shell[1];
  char C;
  while (::read(From_Shell[0], &C, 1) == 1 && C != '\n')
    Bus.Address += C;
  ::close(From_Shell[0]);
  return Bus;
}

// Replaces the whole line Line (one with CR LF after it, not the first) of Text by By.
inline void Replace_Line(std::string& Text, const std::string& Line, const std::string& By) {
  const size_t At = Text.find("\n" + Line + "\r\n");
  ASSERT_NE(At, std::string::npos) << Line;
  Text.replace(At + 1, Line.size(), By);
}
