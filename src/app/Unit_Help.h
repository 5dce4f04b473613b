#pragma once
// The help window: a fixed text, shown modally from the main window's Help menu.

#include <QDialog>

class QPlainTextEdit;

class TForm_Help : public QDialog {
  Q_OBJECT

public:
  explicit TForm_Help(QWidget* Parent = nullptr);

  QPlainTextEdit* Memo1 = nullptr;
};
