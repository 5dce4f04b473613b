#include "app/Unit_Help.h"

#include <QFont>
#include <QPlainTextEdit>
#include <QStringList>
#include <QVBoxLayout>

TForm_Help::TForm_Help(QWidget* Parent) : QDialog(Parent) {
  setObjectName(QStringLiteral("Form_Help"));
  setWindowTitle(QStringLiteral("Korvane Help"));

  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setReadOnly(true);
  Memo1->setFont(QFont(QStringLiteral("Tahoma")));
  Memo1->setPlainText(QStringList{
      QStringLiteral("Korvane"),
      QString(),
      QStringLiteral("On Linux the automation service is registered for the current user with "
                     "'korvane /regserverperuser'."),
      QStringLiteral("To register it for all users (for yourself alone use /regserverperuser instead):"),
      QStringLiteral("Open a terminal, change to the directory containing this program, become root "
                     "with 'sudo -i'"),
      QStringLiteral("and type:"),
      QStringLiteral("'korvane /regserver' (as root, to register it for all users)"),
      QStringLiteral("It ends at once without a window; a failure is explained in the terminal and the "
                     "exit status is 1."),
  }
                          .join(QLatin1Char('\n')));

  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(Memo1);
  resize(602, 195);
}
