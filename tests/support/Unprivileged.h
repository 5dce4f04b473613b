#pragma once
// Permission tests run in a child process (EXPECT_EXIT). When the tests run as root, the
// child first becomes the unprivileged user "nobody", since root ignores file permissions.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <unistd.h>

inline void Become_Unprivileged_Or_Exit() {
  if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
    std::_Exit(3);
}

// Runs Attempt in a child process as that user and expects it to return true. Path must be
// denied there the access Denied names (R_OK, W_OK): otherwise the check would prove
// nothing, and the child fails.
template <class TAttempt>
void Expect_Without_Permission(const std::string& Path, int Denied, TAttempt Attempt) {
  EXPECT_EXIT(
      {
        Become_Unprivileged_Or_Exit();
        if (::access(Path.c_str(), Denied) == 0)
          std::_Exit(4);
        std::_Exit(Attempt() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
