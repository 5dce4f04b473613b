#pragma once
// The modeless settings dialog. Created hidden at start; the main window's Settings menu
// shows it.

#include <QDialog>

class TForm_Settings : public QDialog {
  Q_OBJECT

public:
  explicit TForm_Settings(QWidget* Parent = nullptr);
};

// The single settings dialog of the program, created at start.
extern TForm_Settings* Form_Settings;
