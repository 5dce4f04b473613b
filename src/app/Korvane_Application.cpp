#include "app/Korvane_Application.h"

#include <QMessageBox>
#include <QString>

#include <exception>
#include <utility>

namespace {

TError_Box& Error_Box_Replacement() {
  static TError_Box Box;
  return Box;
}

} // namespace

std::string Error_Box_Text(std::string_view Message) {
  std::string Text(Message);
  if (Text.empty() || Text.back() != '.')
    Text += '.';
  return Text;
}

void Show_Error_Box(std::string_view Message) {
  const std::string Text = Error_Box_Text(Message);
  if (const TError_Box& Box = Error_Box_Replacement()) {
    Box(Text);
    return;
  }
  QMessageBox Box(QMessageBox::Critical, QStringLiteral("Korvane"), QString::fromStdString(Text),
                  QMessageBox::Ok, QApplication::activeWindow());
  Box.exec();
}

TError_Box Set_Error_Box(TError_Box Box) {
  return std::exchange(Error_Box_Replacement(), std::move(Box));
}

TKorvane_Application::TKorvane_Application(int& Argc, char** Argv) : QApplication(Argc, Argv) {}

bool TKorvane_Application::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (const std::exception& Error) {
    Show_Error_Box(Error.what());
  } catch (...) {
    Show_Error_Box("Unknown error");
  }
  return false;
}
