#include "app/Signal_Closer.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <QtGlobal>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int Closing_Signals[] = {SIGTERM, SIGHUP, SIGINT};
constexpr int Signal_Count = sizeof Closing_Signals / sizeof Closing_Signals[0];

// The pipe's write end for the handler; -1 while no closer is installed. A lock-free atomic
// is safe to read in a signal handler.
std::atomic<int> Write_End{-1};
static_assert(std::atomic<int>::is_always_lock_free);

struct sigaction Previous_Actions[Signal_Count];
bool Handled[Signal_Count];

extern "C" void On_Closing_Signal(int) {
  const int Saved_Errno = errno;
  const int Fd = Write_End.load();
  if (Fd >= 0) {
    const char Byte = 1;
    // A full pipe already holds a wake-up; nothing else can be done here.
    [[maybe_unused]] const ssize_t Written = ::write(Fd, &Byte, 1);
  }
  errno = Saved_Errno;
}

} // namespace

TSignal_Closer::TSignal_Closer() {
  int Ends[2];
  if (Write_End.load() >= 0 || ::pipe2(Ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    // The program runs all the same; a closing signal then ends it without saving.
    qWarning("korvane: the settings will not be saved when the session ends: %s",
             Write_End.load() >= 0 ? "a closer is already installed" : std::strerror(errno));
    return;
  }
  Read_End = Ends[0];
  Write_End.store(Ends[1]);
  Notifier = new QSocketNotifier(Read_End, QSocketNotifier::Read, this);
  connect(Notifier, &QSocketNotifier::activated, this, &TSignal_Closer::Signal_Arrived);

  struct sigaction Action {};
  Action.sa_handler = On_Closing_Signal;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  for (int i = 0; i < Signal_Count; ++i) {
    // A signal ignored from the start stays ignored: "nohup korvane" must outlive the terminal.
    ::sigaction(Closing_Signals[i], nullptr, &Previous_Actions[i]);
    Handled[i] = Previous_Actions[i].sa_handler != SIG_IGN;
    if (Handled[i])
      ::sigaction(Closing_Signals[i], &Action, nullptr);
  }
  Installed = true;
}

TSignal_Closer::~TSignal_Closer() {
  if (!Installed)
    return;
  for (int i = 0; i < Signal_Count; ++i)
    if (Handled[i])
      ::sigaction(Closing_Signals[i], &Previous_Actions[i], nullptr);
  const int Fd = Write_End.exchange(-1);
  ::close(Fd);
  delete Notifier;
  ::close(Read_End);
}

void TSignal_Closer::Signal_Arrived() {
  char Buffer[64];
  while (::read(Read_End, Buffer, sizeof Buffer) > 0) {
  }
  if (Close_Asked) {
    QCoreApplication::quit();
    return;
  }
  Close_Asked = true;
  Close_Window();
}

void TSignal_Closer::Set_Window(QWidget& Window_) {
  Window = &Window_;
  // A signal that came before the window was there closes it once the event loop runs.
  if (Close_Asked)
    QTimer::singleShot(0, this, &TSignal_Closer::Close_Window);
}

void TSignal_Closer::Close_Window() {
  if (Window != nullptr)
    Window->close();
}
