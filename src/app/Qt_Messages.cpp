#include "app/Qt_Messages.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

void TQt_Messages::Show(const std::string& text) {
  QMessageBox Box(QMessageBox::NoIcon, QStringLiteral("Korvane"), QString::fromStdString(text),
                  QMessageBox::Ok, QApplication::activeWindow());
  Box.exec();
}
