#pragma once
// Permission tests run in a child process (EXPECT_EXIT). When the tests run as root, the
// child first becomes the unprivileged user "nobody", since root ignores file permissions.

#include <cstdlib>

#include <unistd.h>

inline void Become_Unprivileged_Or_Exit() {
  if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
    std::_Exit(3);
}
