#pragma once
// The application object and its error boundary: an exception that escapes an event
// handler ends that event only. Its text is shown in a box titled "Korvane" with an
// error icon, and the program goes on with the next event.

#include <QApplication>

#include <functional>
#include <string>
#include <string_view>

// The text of the error box: the message with a full stop appended when it has none.
std::string Error_Box_Text(std::string_view Message);

// Shows Error_Box_Text(Message) in the error box (modal, title "Korvane", error icon).
void Show_Error_Box(std::string_view Message);

// Replaces the error box by Box (which receives the finished text); an empty function
// restores the modal box. Returns the previous replacement. Used where no one can click
// a modal box away, such as the window tests.
using TError_Box = std::function<void(const std::string& Text)>;
TError_Box Set_Error_Box(TError_Box Box);

class TKorvane_Application : public QApplication {
  Q_OBJECT

public:
  TKorvane_Application(int& Argc, char** Argv);

  // Delivers the event; an exception thrown by its handler is shown by Show_Error_Box and
  // the event counts as not handled.
  bool notify(QObject* Receiver, QEvent* Event) override;
};
