#pragma once
// Watching a folder for frames: those present at the start, then each new one once it is
// complete (moved in, or written in place and finished), never while it is half-written.
// The kernel's notifications of the folder say when a name appears or a writer closes a file;
// a pending file's size is then looked at every Poll_Interval until it has stayed the same for
// Stable_For and the file is complete by its header (Frame_Complete).

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

struct TWatch_Options {
  std::chrono::milliseconds Poll_Interval{100};
  std::chrono::milliseconds Stable_For{300};
  // A file whose size stays the same this long without being complete is handed on anyway,
  // so that a truncated frame becomes a row with its error instead of waiting for ever.
  std::chrono::milliseconds Give_Up_After{10000};
};

class TFolder_Watcher {
public:
  // Starts watching Folder. Throws TKorvane_Error naming the folder when it cannot be watched.
  explicit TFolder_Watcher(std::string Folder, TWatch_Options Options = {});
  ~TFolder_Watcher();
  TFolder_Watcher(const TFolder_Watcher&) = delete;
  TFolder_Watcher& operator=(const TFolder_Watcher&) = delete;

  // The frames in the folder when the watch began, sorted, those complete already; the
  // others follow from Wait_For_Frames once complete. Throws as List_Frames does.
  std::vector<std::string> Initial_Frames();

  // Blocks until frames are complete and returns them sorted (each path once in the
  // watcher's life); empty once Stop was called or Stop_Asked returned true (asked at least
  // every 200 ms). A pending frame that vanished is handed on too: reading it says why.
  // Throws TKorvane_Error when the folder itself goes away.
  std::vector<std::string> Wait_For_Frames(const std::function<bool()>& Stop_Asked = {});

  // Ends a Wait_For_Frames in another thread at once; safe from any thread.
  void Stop();

private:
  struct TPending {
    std::string Path;
    long long Size = -1;
    std::chrono::steady_clock::time_point Changed;
  };
  void Add_Pending(const std::string& Name);
  void Read_Events();
  std::vector<std::string> Ready_Frames();

  std::string Folder;
  TWatch_Options Options;
  int Notify_Handle = -1;
  int Stop_Handle = -1;
  bool Gone = false;
  std::set<std::string> Seen; // names handed on or pending
  std::vector<TPending> Pending;
};
