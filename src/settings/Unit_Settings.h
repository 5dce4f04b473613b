#pragma once
// The modeless settings dialog: the camera values, the aperture sizes and the report settings
// of the main window, edited in place. Created hidden at start; the main window's Settings
// command shows it. There is no OK or Cancel: every keystroke is written through to the
// host's settings at once; the main window saves them when it closes. Closing only hides it.

#include "settings/Settings_Host.h"

#include <QAbstractSpinBox>
#include <QDialog>

#include <cstdint>

class QCheckBox;
class QSpinBox;
class QFocusEvent;
class QKeyEvent;
class QLineEdit;
class QShowEvent;

// A spin field for a whole number from Min_Value to Max_Value that holds its text as typed:
// "12.5", an empty text or 25 stay in the field while it has the focus (Value() tells what
// they stand for). When the field loses the focus within its window, a number outside the
// range is corrected to the nearest bound. The up and down buttons and keys step by 1 within
// the range. From the keyboard only digits, "+", "-", the decimal separator and control keys
// are taken; any other key beeps.
class TSpin_Edit : public QAbstractSpinBox {
  Q_OBJECT

public:
  TSpin_Edit(QWidget* Parent, int Min_Value, int Max_Value, char Decimal_Separator);

  QString Text() const;
  // Sets the text; Text_Changed follows only when it differs from the text held.
  void Set_Text(const QString& Text);
  // The text as a whole number; the minimum when it is not one (empty, a decimal, letters,
  // beyond 32 bits).
  long long Value() const;

  void stepBy(int Steps) override;
  // Every text is acceptable: the field keeps what was typed.
  QValidator::State validate(QString& Input, int& Position) const override;

signals:
  void Text_Changed(const QString& Text);

protected:
  StepEnabled stepEnabled() const override;
  void keyPressEvent(QKeyEvent* Event) override;
  void focusOutEvent(QFocusEvent* Event) override;

private:
  int Min_Value;
  int Max_Value;
  char Decimal_Separator;
};

class TForm_Settings : public QDialog {
  Q_OBJECT

public:
  // Creates the dialog hidden, placed 42 pixels right of and 72 below Parent's top left
  // corner (FormCreate). Parent is normally the host's own window.
  explicit TForm_Settings(TSettings_Host& Host, QWidget* Parent = nullptr);

  // Controls, in tab order.
  QLineEdit* Edit_Readout_Noise = nullptr;
  QLineEdit* Edit_Dark_Current = nullptr;
  QLineEdit* Edit_Gain = nullptr;
  QLineEdit* Edit_degC = nullptr;
  QLineEdit* Edit_Max_Error = nullptr;
  QLineEdit* Edit_Report_Directory = nullptr;
  QLineEdit* Edit_AAVSO_ObsCode = nullptr;
  QLineEdit* Edit_Notes = nullptr;
  QLineEdit* Edit_Saturation = nullptr;
  TSpin_Edit* SpinEdit_Radius = nullptr;
  TSpin_Edit* SpinEdit_Annulus = nullptr;
  TSpin_Edit* SpinEdit_Gap = nullptr;
  QCheckBox* CheckBox_Snap_to_Centre = nullptr;
  QCheckBox* CheckBox_Show_Annulus = nullptr;
  QCheckBox* CheckBox_Fits_Crpix = nullptr;
  QCheckBox* CheckBox_Solve_On_Open = nullptr;
  QCheckBox* CheckBox_Notify_Outburst = nullptr;
  QSpinBox* SpinBox_Image_Plane = nullptr;

public slots:
  void Edit_Readout_NoiseChange();
  void Edit_Dark_CurrentChange();
  void Edit_GainChange();
  void Edit_degCChange();
  void Edit_Max_ErrorChange();
  void Edit_Report_DirectoryChange();
  void Edit_AAVSO_ObsCodeChange();
  void Edit_NotesChange();
  void Edit_SaturationChange();
  void SpinEdit_RadiusChange();
  void SpinEdit_AnnulusChange();
  void SpinEdit_GapChange();
  void CheckBox_Snap_to_CentreClick();
  void CheckBox_Show_AnnulusClick();
  void CheckBox_Fits_CrpixClick();

protected:
  // A showing by the program (not a restore by the window manager) fills the fields.
  void showEvent(QShowEvent* Event) override;

private:
  void Create_Controls();
  void FormCreate();
  // Fills every control from the settings, in tab order but degC after Gain. A control whose
  // text changes runs its change handler, which writes the shown value back.
  void FormShow();
  // The change handlers' work: the field's text as a decimal number (0 when it is none), as
  // a whole number (refused when negative), or as it stands.
  void Number_Change(const QLineEdit* Field, double& Setting);
  bool Spin_Change(const TSpin_Edit* Field, const char* Name, uint32_t& Setting);
  void Text_Change(const QLineEdit* Field, std::string& Setting);

  TSettings_Host& Host;
};
