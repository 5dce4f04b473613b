#include "night/Folder_Watcher.h"

#include "night/Night.h"
#include "text/Messages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string Cause(int Error) {
  return std::error_code(Error, std::generic_category()).message();
}

// The file's size, or -1 when it is not there (or not a file).
long long File_Size(const std::string& Path) {
  struct stat Status {};
  if (::stat(Path.c_str(), &Status) != 0 || !S_ISREG(Status.st_mode))
    return -1;
  return static_cast<long long>(Status.st_size);
}

} // namespace

TFolder_Watcher::TFolder_Watcher(std::string Folder_, TWatch_Options Options_)
    : Folder(std::move(Folder_)), Options(Options_) {
  Notify_Handle = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (Notify_Handle < 0)
    throw TKorvane_Error(Folder + ": cannot watch the folder: " + Cause(errno));
  if (::inotify_add_watch(Notify_Handle, Folder.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF |
                              IN_ONLYDIR) < 0) {
    const int Error = errno;
    ::close(Notify_Handle);
    throw TKorvane_Error(Folder + ": cannot watch the folder: " + Cause(Error));
  }
  Stop_Handle = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Stop_Handle < 0) {
    const int Error = errno;
    ::close(Notify_Handle);
    throw TKorvane_Error(Folder + ": cannot watch the folder: " + Cause(Error));
  }
}

TFolder_Watcher::~TFolder_Watcher() {
  ::close(Notify_Handle);
  ::close(Stop_Handle);
}

std::vector<std::string> TFolder_Watcher::Initial_Frames() {
  std::vector<std::string> Complete;
  // Listed after the watch began, so that a frame arriving meanwhile is in one of the two.
  for (const std::string& Path : List_Frames(Folder)) {
    const std::string Name = fs::path(Path).filename().string();
    if (!Seen.insert(Name).second)
      continue;
    const long long Size = File_Size(Path);
    if (Size < 0 || Frame_Complete(Read_Frame_Extent(Path), static_cast<uint64_t>(Size)))
      Complete.push_back(Path);
    else
      Pending.push_back({Path, Size, Clock::now()});
  }
  return Complete;
}

void TFolder_Watcher::Add_Pending(const std::string& Name) {
  if (!Is_Fits_File_Name(Name) || !Seen.insert(Name).second)
    return;
  Pending.push_back({(fs::path(Folder) / Name).string(), -1, Clock::now()});
}

void TFolder_Watcher::Read_Events() {
  alignas(inotify_event) char Buffer[16384];
  for (;;) {
    const ssize_t Got = ::read(Notify_Handle, Buffer, sizeof Buffer);
    if (Got <= 0)
      return;
    for (ssize_t At = 0; At < Got;) {
      const auto* Event = reinterpret_cast<const inotify_event*>(Buffer + At);
      At += static_cast<ssize_t>(sizeof(inotify_event) + Event->len);
      if (Event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
        Gone = true;
      else if (Event->mask & IN_Q_OVERFLOW) {
        // Events were lost: the folder's list says which names are new.
        std::error_code Error;
        for (fs::directory_iterator It(Folder, Error); !Error && It != fs::directory_iterator();
             It.increment(Error))
          Add_Pending(It->path().filename().string());
      } else if (Event->len > 0 && !(Event->mask & IN_ISDIR))
        Add_Pending(Event->name);
    }
  }
}

std::vector<std::string> TFolder_Watcher::Ready_Frames() {
  std::vector<std::string> Ready;
  const auto Now = Clock::now();
  std::erase_if(Pending, [&](TPending& P) {
    const long long Size = File_Size(P.Path);
    if (Size < 0 && (P.Size >= 0 || Now - P.Changed >= Options.Stable_For)) {
      Ready.push_back(P.Path); // it vanished: its row says so
      return true;
    }
    if (Size != P.Size) {
      P.Size = Size;
      P.Changed = Now;
      return false;
    }
    const auto Stable = Now - P.Changed;
    if (Size < 0 || Stable < Options.Stable_For)
      return false;
    if (Frame_Complete(Read_Frame_Extent(P.Path), static_cast<uint64_t>(Size)) ||
        Stable >= Options.Give_Up_After) {
      Ready.push_back(P.Path);
      return true;
    }
    return false;
  });
  std::sort(Ready.begin(), Ready.end());
  return Ready;
}

std::vector<std::string> TFolder_Watcher::Wait_For_Frames(const std::function<bool()>& Stop_Asked) {
  for (;;) {
    uint64_t Count = 0;
    if (::read(Stop_Handle, &Count, sizeof Count) == sizeof Count) {
      // Stays stopped for later calls.
      Count = 1;
      [[maybe_unused]] const ssize_t Ignored = ::write(Stop_Handle, &Count, sizeof Count);
      return {};
    }
    if (Stop_Asked && Stop_Asked())
      return {};
    Read_Events();
    if (Gone)
      throw TKorvane_Error(Folder + ": the watched folder was removed or moved");
    if (std::vector<std::string> Ready = Ready_Frames(); !Ready.empty())
      return Ready;
    int Timeout = -1;
    if (!Pending.empty())
      Timeout = static_cast<int>(Options.Poll_Interval.count());
    else if (Stop_Asked)
      Timeout = 200;
    pollfd Handles[2] = {{Notify_Handle, POLLIN, 0}, {Stop_Handle, POLLIN, 0}};
    if (::poll(Handles, 2, Timeout) < 0 && errno != EINTR)
      throw TKorvane_Error(Folder + ": cannot watch the folder: " + Cause(errno));
  }
}

void TFolder_Watcher::Stop() {
  const uint64_t One = 1;
  [[maybe_unused]] const ssize_t Ignored = ::write(Stop_Handle, &One, sizeof One);
}
