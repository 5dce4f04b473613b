#include "settings/Unit_Settings.h"

#include "text/Messages.h"
#include "text/Number_Format.h"

#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShowEvent>
#include <QSpinBox>

#include <algorithm>
#include <climits>

namespace {

constexpr int Spin_Min = 2;
constexpr int Spin_Max = 20;
constexpr int Field_Height = 24;
constexpr int Check_Box_Height = 21;
constexpr int Label_Gap = 8; // between a label and its field

QString Text(const std::string& Value) {
  return QString::fromStdString(Value);
}

// A key the spin field takes: a digit, a sign, the decimal separator or a control key.
bool Spin_Key(QChar Character, char Decimal_Separator) {
  const char16_t C = Character.unicode();
  return (C >= u'0' && C <= u'9') || C == u'+' || C == u'-' ||
         C == static_cast<unsigned char>(Decimal_Separator) || C < 0x20 || C == 0x7f;
}

// Sets a control's text as the program, not the user, does it: the change handler runs only
// when the text is new.
void Fill(QLineEdit* Field, const QString& New_Text) {
  if (Field->text() != New_Text)
    Field->setText(New_Text);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The spin field

TSpin_Edit::TSpin_Edit(QWidget* Parent, int Min_Value_, int Max_Value_, char Decimal_Separator_)
    : QAbstractSpinBox(Parent), Min_Value(Min_Value_), Max_Value(Max_Value_),
      Decimal_Separator(Decimal_Separator_) {
  setKeyboardTracking(true);
  setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue); // never used: every text is acceptable
  lineEdit()->setText(QString::fromStdString(Format_Integer(Min_Value)));
  connect(lineEdit(), &QLineEdit::textChanged, this, &TSpin_Edit::Text_Changed);
}

QString TSpin_Edit::Text() const {
  return lineEdit()->text();
}

void TSpin_Edit::Set_Text(const QString& New_Text) {
  Fill(lineEdit(), New_Text);
}

long long TSpin_Edit::Value() const {
  return Try_Str_To_Int(Text().toStdString(), INT_MIN, INT_MAX).value_or(Min_Value);
}

void TSpin_Edit::stepBy(int Steps) {
  const long long Stepped = std::clamp<long long>(Value() + Steps, Min_Value, Max_Value);
  Set_Text(QString::fromStdString(Format_Integer(Stepped)));
  selectAll();
}

QValidator::State TSpin_Edit::validate(QString&, int&) const {
  return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled TSpin_Edit::stepEnabled() const {
  // A step is offered unless it would leave the field as it is.
  StepEnabled Enabled = StepNone;
  const long long Current = Value();
  if (Current != Max_Value)
    Enabled |= StepUpEnabled;
  if (Current != Min_Value)
    Enabled |= StepDownEnabled;
  return Enabled;
}

void TSpin_Edit::keyPressEvent(QKeyEvent* Event) {
  // Shortcuts (Ctrl+V, Ctrl+A) pass; typed characters must be ones the field takes.
  const bool Shortcut = Event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  if (!Shortcut) {
    const QString Typed = Event->text();
    const auto Taken = [this](QChar C) { return Spin_Key(C, Decimal_Separator); };
    if (!std::all_of(Typed.begin(), Typed.end(), Taken)) {
      QApplication::beep();
      Event->accept();
      return;
    }
  }
  QAbstractSpinBox::keyPressEvent(Event);
}

void TSpin_Edit::focusOutEvent(QFocusEvent* Event) {
  QAbstractSpinBox::focusOutEvent(Event);
  // Only a move to another control counts: a box coming up or a switch to another window
  // leaves the text as it is.
  if (Event->reason() == Qt::ActiveWindowFocusReason || Event->reason() == Qt::PopupFocusReason)
    return;
  const long long Current = Value();
  if (Current < Min_Value || Current > Max_Value)
    Set_Text(QString::fromStdString(Format_Integer(std::clamp<long long>(Current, Min_Value, Max_Value))));
}

// ---------------------------------------------------------------------------------------------
// The dialog

TForm_Settings::TForm_Settings(TSettings_Host& Host_, QWidget* Parent) : QDialog(Parent), Host(Host_) {
  setObjectName(QStringLiteral("Form_Settings"));
  setWindowTitle(QStringLiteral("Settings"));
  setModal(false);
  QFont Face = font();
  Face.setPixelSize(14);
  setFont(Face);
  setFixedSize(700, 437);
  Create_Controls();
  FormCreate();
}

void TForm_Settings::Create_Controls() {
  const auto New_Label = [this](const char* Name, const QString& Caption, QRect Place, Qt::Alignment Side) {
    auto* Label = new QLabel(Caption, this);
    Label->setObjectName(QLatin1String(Name));
    Label->setAccessibleDescription(QLatin1String(Name));
    Label->setAlignment(Side | Qt::AlignVCenter);
    Label->setGeometry(Place);
    return Label;
  };
  // An input with its label left of it, from Label_Left up to the input. A screen reader reads
  // the label's text as the input's name and finds the input by its objectName.
  const auto Place = [&](QWidget* Input, const char* Name, QRect Field, const char* Label_Name,
                         int Label_Left, const QString& Caption) {
    Input->setObjectName(QLatin1String(Name));
    Input->setAccessibleName(Caption);
    Input->setAccessibleDescription(QLatin1String(Name));
    Input->setGeometry(Field);
    QLabel* Label = New_Label(
        Label_Name, Caption,
        QRect(Label_Left, Field.top(), Field.left() - Label_Gap - Label_Left, Field_Height), Qt::AlignRight);
    Label->setBuddy(Input);
  };
  // A unit text right of an input.
  const auto Unit = [&](const char* Name, const QString& Caption, const QWidget* Input, int Width) {
    New_Label(Name, Caption,
              QRect(Input->geometry().right() + 1 + Label_Gap, Input->y(), Width, Field_Height),
              Qt::AlignLeft);
  };
  const auto Row = [](int Left, int Top, int Width) { return QRect(Left, Top, Width, Field_Height); };
  const char Separator = Host.Host_Number_Format().Decimal_Separator;
  const auto New_Spin = [this, Separator] { return new TSpin_Edit(this, Spin_Min, Spin_Max, Separator); };

  Edit_Readout_Noise = new QLineEdit(this);
  Place(Edit_Readout_Noise, "Edit_Readout_Noise", Row(138, 30, 70), "Label1", 8,
        QStringLiteral("Readout Noise"));
  Unit("Label2", QStringLiteral("Electrons/pixel"), Edit_Readout_Noise, 150);
  Edit_Dark_Current = new QLineEdit(this);
  Place(Edit_Dark_Current, "Edit_Dark_Current", Row(138, 79, 70), "Label3", 8,
        QStringLiteral("Dark Current"));
  // The temperature's label is the dark current's unit text, which leads on to it.
  Edit_degC = new QLineEdit(this);
  Place(Edit_degC, "Edit_degC", Row(335, 79, 60), "Label4", 216, QStringLiteral("E/pixel/sec at"));
  Unit("Label5", QStringLiteral("deg C"), Edit_degC, 52);
  Edit_Gain = new QLineEdit(this);
  Place(Edit_Gain, "Edit_Gain", Row(138, 128, 70), "Label6", 8, QStringLiteral("Gain"));
  Unit("Label7", QStringLiteral("Electrons/ADU"), Edit_Gain, 150);
  Edit_Max_Error = new QLineEdit(this);
  Place(Edit_Max_Error, "Edit_Max_Error", Row(138, 177, 70), "Label8", 8, QStringLiteral("Maximum Error"));
  Unit("Label9", QStringLiteral("Magnitudes"), Edit_Max_Error, 150);
  Edit_Report_Directory = new QLineEdit(this);
  Place(Edit_Report_Directory, "Edit_Report_Directory", Row(138, 226, 444), "Label10", 8,
        QStringLiteral("Report Directory"));
  Edit_AAVSO_ObsCode = new QLineEdit(this);
  Place(Edit_AAVSO_ObsCode, "Edit_AAVSO_ObsCode", Row(177, 276, 149), "Label11", 8,
        QStringLiteral("AAVSO Observer Code"));
  Edit_Notes = new QLineEdit(this);
  Place(Edit_Notes, "Edit_Notes", Row(138, 334, 230), "Label13", 8, QStringLiteral("Notes"));
  Edit_Saturation = new QLineEdit(this);
  Place(Edit_Saturation, "Edit_Saturation", Row(512, 334, 70), "Label17", 376,
        QStringLiteral("Saturation, ADU"));
  Edit_Saturation->setToolTip(
      QStringLiteral("A star whose aperture holds a pixel at or above this level is named as saturated, for "
                     "images without a SATURATE or DATAMAX card; 0 takes the largest value of the stored "
                     "pixels (65535)."));
  SpinEdit_Radius = New_Spin();
  Place(SpinEdit_Radius, "SpinEdit_Radius", Row(542, 30, 50), "Label14", 462, QStringLiteral("Radius"));
  SpinEdit_Annulus = New_Spin();
  Place(SpinEdit_Annulus, "SpinEdit_Annulus", Row(542, 79, 50), "Label15", 462, QStringLiteral("Annulus"));
  SpinEdit_Gap = New_Spin();
  Place(SpinEdit_Gap, "SpinEdit_Gap", Row(542, 128, 50), "Label16", 462, QStringLiteral("Gap"));

  // Check boxes carry their caption left of the box; Left and Width take in the caption.
  const auto New_Check_Box = [this](const char* Name, const QString& Caption, int Left, int Top, int Width) {
    auto* Box = new QCheckBox(Caption, this);
    Box->setObjectName(QLatin1String(Name));
    Box->setAccessibleName(Caption);
    Box->setAccessibleDescription(QLatin1String(Name));
    Box->setLayoutDirection(Qt::RightToLeft);
    Box->setGeometry(Left, Top, Width, Check_Box_Height);
    return Box;
  };
  CheckBox_Snap_to_Centre =
      New_Check_Box("CheckBox_Snap_to_Centre", QStringLiteral("Snap to Centre"), 463, 162, 119);
  CheckBox_Show_Annulus =
      New_Check_Box("CheckBox_Show_Annulus", QStringLiteral("Show Annulus"), 463, 191, 119);
  // The longer caption takes the free room right of the observer code; its box lines up
  // with the two above.
  CheckBox_Fits_Crpix =
      New_Check_Box("CheckBox_Fits_Crpix", QStringLiteral("CRPIX counts from 1 (FITS)"), 334, 277, 248);
  CheckBox_Fits_Crpix->setToolTip(
      QStringLiteral("Read CRPIX as the FITS standard and plate solvers write it, counting pixels from 1; "
                     "unchecked, the first pixel is 0. Applies to images opened from now on."));
  CheckBox_Solve_On_Open =
      New_Check_Box("CheckBox_Solve_On_Open", QStringLiteral("Plate Solve on Open"), 8, 385, 160);
  CheckBox_Solve_On_Open->setToolTip(
      QStringLiteral("An image without a plate solution is solved when it is opened, then measured."));
  CheckBox_Notify_Outburst =
      New_Check_Box("CheckBox_Notify_Outburst", QStringLiteral("Notify of Outbursts"), 190, 385, 160);
  CheckBox_Notify_Outburst->setToolTip(
      QStringLiteral("A desktop notification is sent when a frame of a watched folder shows an outburst."));
  SpinBox_Image_Plane = new QSpinBox(this);
  SpinBox_Image_Plane->setRange(1, 9999);
  Place(SpinBox_Image_Plane, "SpinBox_Image_Plane", Row(522, 383, 60), "Label18", 400,
        QStringLiteral("Image Plane"));
  SpinBox_Image_Plane->setToolTip(
      QStringLiteral("The plane of a three-dimensional image (a colour frame, a cube) that is measured, "
                     "counting from 1. Applies to images opened from now on."));

  // The keyboard's way through the dialog; the temperature comes after the gain.
  QWidget* const Order[] = {
      Edit_Readout_Noise,       Edit_Dark_Current,     Edit_Gain,           Edit_degC,
      Edit_Max_Error,           Edit_Report_Directory, Edit_AAVSO_ObsCode,  Edit_Notes,
      Edit_Saturation,          SpinEdit_Radius,       SpinEdit_Annulus,    SpinEdit_Gap,
      CheckBox_Snap_to_Centre,  CheckBox_Show_Annulus, CheckBox_Fits_Crpix, CheckBox_Solve_On_Open,
      CheckBox_Notify_Outburst, SpinBox_Image_Plane};
  for (size_t i = 1; i < std::size(Order); ++i)
    setTabOrder(Order[i - 1], Order[i]);

  connect(Edit_Readout_Noise, &QLineEdit::textChanged, this, &TForm_Settings::Edit_Readout_NoiseChange);
  connect(Edit_Dark_Current, &QLineEdit::textChanged, this, &TForm_Settings::Edit_Dark_CurrentChange);
  connect(Edit_Gain, &QLineEdit::textChanged, this, &TForm_Settings::Edit_GainChange);
  connect(Edit_degC, &QLineEdit::textChanged, this, &TForm_Settings::Edit_degCChange);
  connect(Edit_Max_Error, &QLineEdit::textChanged, this, &TForm_Settings::Edit_Max_ErrorChange);
  connect(Edit_Report_Directory, &QLineEdit::textChanged, this, &TForm_Settings::Edit_Report_DirectoryChange);
  connect(Edit_AAVSO_ObsCode, &QLineEdit::textChanged, this, &TForm_Settings::Edit_AAVSO_ObsCodeChange);
  connect(Edit_Notes, &QLineEdit::textChanged, this, &TForm_Settings::Edit_NotesChange);
  connect(Edit_Saturation, &QLineEdit::textChanged, this, &TForm_Settings::Edit_SaturationChange);
  connect(SpinEdit_Radius, &TSpin_Edit::Text_Changed, this, &TForm_Settings::SpinEdit_RadiusChange);
  connect(SpinEdit_Annulus, &TSpin_Edit::Text_Changed, this, &TForm_Settings::SpinEdit_AnnulusChange);
  connect(SpinEdit_Gap, &TSpin_Edit::Text_Changed, this, &TForm_Settings::SpinEdit_GapChange);
  connect(CheckBox_Snap_to_Centre, &QCheckBox::toggled, this, &TForm_Settings::CheckBox_Snap_to_CentreClick);
  connect(CheckBox_Show_Annulus, &QCheckBox::toggled, this, &TForm_Settings::CheckBox_Show_AnnulusClick);
  connect(CheckBox_Fits_Crpix, &QCheckBox::toggled, this, &TForm_Settings::CheckBox_Fits_CrpixClick);
  connect(CheckBox_Solve_On_Open, &QCheckBox::toggled, this,
          [this](bool On) { Host.Editable_Settings().Solve_On_Open = On; });
  connect(CheckBox_Notify_Outburst, &QCheckBox::toggled, this,
          [this](bool On) { Host.Editable_Settings().Notify_Outburst = On; });
  connect(SpinBox_Image_Plane, &QSpinBox::valueChanged, this,
          [this](int Plane) { Host.Editable_Settings().Image_Plane = static_cast<uint32_t>(Plane); });
}

void TForm_Settings::FormCreate() {
  // Once, beside the main window as the settings placed it; afterwards the user moves it.
  if (const QWidget* Owner = parentWidget())
    move(Owner->pos() + QPoint(42, 72));
}

void TForm_Settings::showEvent(QShowEvent* Event) {
  if (!Event->spontaneous())
    FormShow();
  QDialog::showEvent(Event);
}

void TForm_Settings::FormShow() {
  const TSettings& S = Host.Editable_Settings();
  const char Separator = Host.Host_Number_Format().Decimal_Separator;
  const auto Two_Decimals = [Separator](double Value, int Width) {
    return Text(Format_Fixed(Value, Width, 2, Separator));
  };
  // A spin field shows its setting within its range: a setting beyond 32 bits shows 20 too.
  const auto Spin_Text = [](uint32_t Value) {
    return Text(Format_Integer(std::clamp<uint32_t>(Value, Spin_Min, Spin_Max)));
  };
  // Each line reads its setting after the lines before it have written theirs back.
  Fill(Edit_Readout_Noise, Two_Decimals(S.Readout_Noise, 3));
  Fill(Edit_Dark_Current, Two_Decimals(S.Dark_Current, 3));
  Fill(Edit_Gain, Two_Decimals(S.Gain, 3));
  Fill(Edit_degC, Two_Decimals(S.degC, 3));
  Fill(Edit_Max_Error, Two_Decimals(S.Max_Error, 2));
  Fill(Edit_Report_Directory, Text(S.ReportFileDir));
  Fill(Edit_AAVSO_ObsCode, Text(S.AAVSO_ObsCode));
  Fill(Edit_Notes, Text(S.Notes));
  Fill(Edit_Saturation, Text(Format_Fixed(S.Saturation_Level, 1, 0, Separator)));
  SpinEdit_Radius->Set_Text(Spin_Text(S.Radius));
  SpinEdit_Annulus->Set_Text(Spin_Text(S.Annulus));
  SpinEdit_Gap->Set_Text(Spin_Text(S.Gap));
  CheckBox_Snap_to_Centre->setChecked(S.Snap_to_Centre);
  CheckBox_Show_Annulus->setChecked(S.Show_Annulus);
  CheckBox_Fits_Crpix->setChecked(S.Fits_Crpix);
  CheckBox_Solve_On_Open->setChecked(S.Solve_On_Open);
  CheckBox_Notify_Outburst->setChecked(S.Notify_Outburst);
  SpinBox_Image_Plane->setValue(static_cast<int>(std::min<uint32_t>(S.Image_Plane, 9999)));
}

void TForm_Settings::Number_Change(const QLineEdit* Field, double& Setting) {
  Setting = Try_Str_To_Float(Field->text().toStdString(), Host.Host_Number_Format().Decimal_Separator)
                .value_or(0.0);
}

bool TForm_Settings::Spin_Change(const TSpin_Edit* Field, const char* Name, uint32_t& Setting) {
  const long long Value = Field->Value();
  if (Value < 0) {
    // Refused while it stands; leaving the field turns it into the minimum.
    Host.Show_Error(Field->Text().toStdString() + " is not a valid " + Name + ": it must lie between " +
                    Format_Integer(Spin_Min) + " and " + Format_Integer(Spin_Max) + " pixels");
    return false;
  }
  // Not clamped while typed: a 25 is in force until the field is left.
  Setting = static_cast<uint32_t>(Value);
  return true;
}

void TForm_Settings::Text_Change(const QLineEdit* Field, std::string& Setting) {
  Setting = Field->text().toStdString();
}

void TForm_Settings::Edit_Readout_NoiseChange() {
  Number_Change(Edit_Readout_Noise, Host.Editable_Settings().Readout_Noise);
}

void TForm_Settings::Edit_Dark_CurrentChange() {
  Number_Change(Edit_Dark_Current, Host.Editable_Settings().Dark_Current);
}

void TForm_Settings::Edit_GainChange() {
  Number_Change(Edit_Gain, Host.Editable_Settings().Gain);
}

void TForm_Settings::Edit_degCChange() {
  Number_Change(Edit_degC, Host.Editable_Settings().degC);
}

void TForm_Settings::Edit_Max_ErrorChange() {
  Number_Change(Edit_Max_Error, Host.Editable_Settings().Max_Error);
}

void TForm_Settings::Edit_Report_DirectoryChange() {
  Text_Change(Edit_Report_Directory, Host.Editable_Settings().ReportFileDir);
}

void TForm_Settings::Edit_AAVSO_ObsCodeChange() {
  Text_Change(Edit_AAVSO_ObsCode, Host.Editable_Settings().AAVSO_ObsCode);
}

void TForm_Settings::Edit_SaturationChange() {
  Number_Change(Edit_Saturation, Host.Editable_Settings().Saturation_Level);
}

void TForm_Settings::Edit_NotesChange() {
  Text_Change(Edit_Notes, Host.Editable_Settings().Notes);
}

void TForm_Settings::SpinEdit_RadiusChange() {
  // The drawn apertures take the new radius at once.
  if (Spin_Change(SpinEdit_Radius, "Radius", Host.Editable_Settings().Radius))
    Host.Render_Image_Windows();
}

void TForm_Settings::SpinEdit_AnnulusChange() {
  // Annulus and gap show at the next rendering of an image window.
  Spin_Change(SpinEdit_Annulus, "Annulus", Host.Editable_Settings().Annulus);
}

void TForm_Settings::SpinEdit_GapChange() {
  Spin_Change(SpinEdit_Gap, "Gap", Host.Editable_Settings().Gap);
}

void TForm_Settings::CheckBox_Snap_to_CentreClick() {
  Host.Editable_Settings().Snap_to_Centre = CheckBox_Snap_to_Centre->isChecked();
}

void TForm_Settings::CheckBox_Show_AnnulusClick() {
  Host.Editable_Settings().Show_Annulus = CheckBox_Show_Annulus->isChecked();
}

void TForm_Settings::CheckBox_Fits_CrpixClick() {
  // Images opened from now on read their CRPIX so; open ones keep how they were read.
  Host.Editable_Settings().Fits_Crpix = CheckBox_Fits_Crpix->isChecked();
}
