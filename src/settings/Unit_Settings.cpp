#include "settings/Unit_Settings.h"

TForm_Settings* Form_Settings = nullptr;

TForm_Settings::TForm_Settings(QWidget* Parent) : QDialog(Parent) {
  setObjectName(QStringLiteral("Form_Settings"));
  setWindowTitle(QStringLiteral("Settings"));
  setModal(false);
  resize(700, 388);
}
