// The settings dialog beside a main window, offscreen: its controls, the filling at each
// showing with its write-back, typing into the fields, the spin fields' correction when they
// are left, the redraw of the image windows, and the way of typed values into the file.

#include "app/Korvane_Application.h"
#include "app/Unit_Main.h"
#include "image/Unit_Image.h"
#include "settings/Unit_Settings.h"
#include "support/Fits_Writer.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"
#include "support/Window_Test.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

void Press(QWidget* Target, int Key, const QString& Text = {}, Qt::KeyboardModifiers Keys = Qt::NoModifier) {
  QKeyEvent Down(QEvent::KeyPress, Key, Keys, Text);
  QApplication::sendEvent(Target, &Down);
  QKeyEvent Up(QEvent::KeyRelease, Key, Keys, Text);
  QApplication::sendEvent(Target, &Up);
}

// Types Keys one at a time, calling After after each; '>' is the up arrow, '^' the Home key.
void Type(QWidget* Target, const std::string& Keys, const std::function<void()>& After = {}) {
  for (const char C : Keys) {
    if (C == '>' || C == '^')
      Press(Target, C == '>' ? Qt::Key_Up : Qt::Key_Home);
    else
      Press(Target, std::toupper(static_cast<unsigned char>(C)), QString(QLatin1Char(C)));
    if (After)
      After();
  }
}

// Selects the whole text and deletes it, as a user does.
void Clear(QWidget* Target) {
  Press(Target, Qt::Key_A, QStringLiteral("\x01"), Qt::ControlModifier);
  Press(Target, Qt::Key_Backspace, QStringLiteral("\b"));
}

class Window_Settings : public ::testing::Test {
protected:
  void SetUp() override {
    Test_Application();
    ASSERT_TRUE(Temp.isValid());
    ASSERT_TRUE(QDir().mkpath(Temp.path() + "/config"));
    Use_Scratch_Home(Temp.path().toStdString(), Temp.path().toStdString() + "/config");
    Previous_Box = Set_Error_Box([this](const std::string& Text) { Error_Boxes.push_back(Text); });
    Main = std::make_unique<TMain_Form>(Messages);
    Main->move(100, 60);
    Main->show();
    Dialog = Main->Form_Settings;
    ASSERT_NE(Dialog, nullptr);
  }
  void TearDown() override {
    Main.reset();
    Set_Error_Box(Previous_Box);
  }

  // Shows the dialog by the main window's Settings command and waits until it is active, so
  // that the focus moves as it does for a user.
  void Show_Dialog() {
    Main->Settings1->trigger();
    QElapsedTimer Clock;
    Clock.start();
    while (!Dialog->isActiveWindow() && Clock.elapsed() < 3000)
      QApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(Dialog->isActiveWindow());
  }
  QWidget* Control(const char* Name) const { return Dialog->findChild<QWidget*>(QLatin1String(Name)); }
  QString Text_Of(const char* Name) const {
    const QWidget* W = Control(Name);
    const auto* Spin = qobject_cast<const TSpin_Edit*>(W);
    return Spin ? Spin->Text() : static_cast<const QLineEdit*>(W)->text();
  }
  // The dialog's control holding the keyboard focus (a spin field for its inner editor).
  QWidget* Focused() const {
    QWidget* W = QApplication::focusWidget();
    while (W != nullptr && W->parentWidget() != Dialog)
      W = W->parentWidget();
    return W;
  }

  QTemporaryDir Temp;
  TRecording_Messages Messages;
  std::vector<std::string> Error_Boxes;
  TError_Box Previous_Box;
  std::unique_ptr<TMain_Form> Main;
  TForm_Settings* Dialog = nullptr; // the main window's
};

// Every input where the user sees it, with its label (and unit text) beside it, in the
// accessibility tree under its label's text and objectName, and reached by Tab in order.
TEST_F(Window_Settings, Controls_Are_Labelled_Placed_Accessible_And_In_Tab_Order) {
  struct TRow {
    const char* Name;
    const char* Label; // for a check box its own caption
    const char* Unit;
    int Left, Top, Width;
  };
  const TRow Rows[] = {
      {"Edit_Readout_Noise", "Readout Noise", "Electrons/pixel", 138, 30, 70},
      {"Edit_Dark_Current", "Dark Current", "E/pixel/sec at", 138, 79, 70},
      {"Edit_Gain", "Gain", "Electrons/ADU", 138, 128, 70},
      {"Edit_degC", "E/pixel/sec at", "deg C", 335, 79, 60},
      {"Edit_Max_Error", "Maximum Error", "Magnitudes", 138, 177, 70},
      {"Edit_Report_Directory", "Report Directory", nullptr, 138, 226, 444},
      {"Edit_AAVSO_ObsCode", "AAVSO Observer Code", nullptr, 177, 276, 149},
      {"Edit_Notes", "Notes", nullptr, 138, 334, 230},
      {"Edit_Saturation", "Saturation, ADU", nullptr, 512, 334, 70},
      {"SpinEdit_Radius", "Radius", nullptr, 542, 30, 50},
      {"SpinEdit_Annulus", "Annulus", nullptr, 542, 79, 50},
      {"SpinEdit_Gap", "Gap", nullptr, 542, 128, 50},
      {"CheckBox_Snap_to_Centre", "Snap to Centre", nullptr, 463, 162, 119},
      {"CheckBox_Show_Annulus", "Show Annulus", nullptr, 463, 191, 119},
      {"CheckBox_Fits_Crpix", "CRPIX counts from 1 (FITS)", nullptr, 334, 277, 248},
      {"CheckBox_Solve_On_Open", "Plate Solve on Open", nullptr, 8, 385, 160},
      {"CheckBox_Notify_Outburst", "Notify of Outbursts", nullptr, 190, 385, 160},
      {"SpinBox_Image_Plane", "Image Plane", nullptr, 522, 383, 60},
  };
  EXPECT_TRUE(Dialog->isHidden());
  EXPECT_EQ(Dialog->windowTitle(), QStringLiteral("Settings"));
  EXPECT_EQ(Dialog->size(), QSize(700, 437));
  EXPECT_EQ(Dialog->pos(), QPoint(100 + 42, 60 + 72));

  std::map<QString, QString> Tree; // what a screen reader finds: objectName -> name
  const std::function<void(QAccessibleInterface*)> Walk = [&](QAccessibleInterface* Node) {
    Tree[Node->text(QAccessible::Description)] = Node->text(QAccessible::Name);
    for (int i = 0; i < Node->childCount(); ++i)
      Walk(Node->child(i));
  };
  Walk(QAccessible::queryAccessibleInterface(Dialog));
  const QList<QLabel*> Labels = Dialog->findChildren<QLabel*>();
  EXPECT_EQ(Labels.size(), 17);
  // A label of that text on the input's row, left (or right) of it.
  const auto Beside = [&](const char* Text, const QWidget* Input, bool Left) {
    return std::any_of(Labels.begin(), Labels.end(), [&](const QLabel* L) {
      return L->text() == QLatin1String(Text) && L->y() == Input->y() && Tree[L->objectName()] == L->text() &&
             (Left ? L->geometry().right() < Input->x() : L->x() > Input->geometry().right());
    });
  };
  for (const TRow& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    const QWidget* Input = Control(Row.Name);
    ASSERT_NE(Input, nullptr);
    EXPECT_EQ(QRect(Input->x(), Input->y(), Input->width(), 1), QRect(Row.Left, Row.Top, Row.Width, 1));
    EXPECT_EQ(Tree[QLatin1String(Row.Name)], QLatin1String(Row.Label));
    if (const auto* Box = qobject_cast<const QCheckBox*>(Input))
      EXPECT_TRUE(Box->text() == QLatin1String(Row.Label) && Box->layoutDirection() == Qt::RightToLeft);
    else
      EXPECT_TRUE(Beside(Row.Label, Input, true));
    EXPECT_TRUE(Row.Unit == nullptr || Beside(Row.Unit, Input, false));
  }

  Show_Dialog();
  Control(Rows[0].Name)->setFocus(Qt::TabFocusReason);
  for (size_t i = 1; i < std::size(Rows); ++i) {
    Press(QApplication::focusWidget(), Qt::Key_Tab, QStringLiteral("\t"));
    EXPECT_EQ(Focused(), Control(Rows[i].Name)) << Rows[i].Name;
  }
}

// The filling at the first showing and what it writes back; a showing of the visible dialog
// only raises it, a showing after closing refills it.
TEST_F(Window_Settings, Showing_Fills_The_Fields_And_Writes_Back) {
  struct TCase {
    char Separator;
    uint32_t Radius;
    const char* Readout_Shown; // of 7.123
    const char* Gain_Shown;    // of 1.875
    const char* Max_Shown;     // of 0.5
    const char* Radius_Shown;
    uint32_t Radius_After;
  };
  const TCase Cases[] = {
      {'.', 25, "7.12", "1.88", "0.50", "20", 20},
      {'.', 1, "7.12", "1.88", "0.50", "2", 1}, // the field held 2: nothing written back
      {',', 3000000000u, "7,12", "1,88", "0,50", "20", 20},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Radius);
    TearDown();
    SetUp();
    TSettings& S = Main->Settings;
    Main->Number_Format.Decimal_Separator = Case.Separator;
    S.Readout_Noise = 7.123, S.Gain = 1.875, S.Max_Error = 0.5, S.Radius = Case.Radius;
    S.Notes = "na", S.Show_Annulus = true, S.Fits_Crpix = true;
    Show_Dialog();
    EXPECT_EQ(Text_Of("Edit_Readout_Noise"), QLatin1String(Case.Readout_Shown));
    EXPECT_EQ(Text_Of("Edit_Gain"), QLatin1String(Case.Gain_Shown));
    EXPECT_EQ(Text_Of("Edit_Max_Error"), QLatin1String(Case.Max_Shown));
    EXPECT_EQ(Text_Of("SpinEdit_Radius"), QLatin1String(Case.Radius_Shown));
    EXPECT_TRUE(S.Readout_Noise == 7.12 && S.Gain == 1.88 && S.Max_Error == 0.5);
    EXPECT_EQ(S.Radius, Case.Radius_After);
    // The controls after the spin fields are filled too.
    EXPECT_EQ(Text_Of("Edit_Notes"), QStringLiteral("na"));
    EXPECT_TRUE(Dialog->CheckBox_Show_Annulus->isChecked() && Dialog->CheckBox_Fits_Crpix->isChecked());
    EXPECT_TRUE(Error_Boxes.empty());
  }

  // The field shows 20 now; a radius of 1 set meanwhile is written back as 2 at the refill.
  Main->Settings.Gain = 3.456;
  Main->Settings.Radius = 1;
  Main->Settings1->trigger();
  EXPECT_EQ(Text_Of("Edit_Gain"), QStringLiteral("1,88"));
  Dialog->close();
  EXPECT_TRUE(Dialog->isHidden());
  Show_Dialog();
  EXPECT_EQ(Text_Of("Edit_Gain"), QStringLiteral("3,46"));
  EXPECT_EQ(Text_Of("SpinEdit_Radius"), QStringLiteral("2"));
  EXPECT_TRUE(Main->Settings.Gain == 3.46 && Main->Settings.Radius == 2u);
}

// Each keystroke in a numeric field is in force at once: the text as a number in the user's
// format, 0 when it is none (the cleared field too). The text stays as typed.
TEST_F(Window_Settings, Typing_A_Number_Writes_It_At_Every_Key) {
  struct TCase {
    const char* Field;
    double TSettings::*Setting;
    char Separator;
    std::string Keys;
    std::vector<double> After_Each_Key;
  };
  const TCase Cases[] = {
      {"Edit_Gain", &TSettings::Gain, '.', "2", {2.0}},
      {"Edit_Gain", &TSettings::Gain, '.', "1,5", {1.0, 0.0, 0.0}},
      {"Edit_Gain", &TSettings::Gain, ',', "1,5", {1.0, 1.0, 1.5}},
      {"Edit_Dark_Current", &TSettings::Dark_Current, '.', "-0.5x", {0.0, 0.0, 0.0, -0.5, 0.0}},
  };
  Show_Dialog();
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Keys + " with " + Case.Separator);
    Main->Number_Format.Decimal_Separator = Case.Separator;
    Main->Settings.*Case.Setting = 9.0;
    Clear(Control(Case.Field));
    EXPECT_EQ(Main->Settings.*Case.Setting, 0.0);
    std::vector<double> Seen;
    Type(Control(Case.Field), Case.Keys, [&] { Seen.push_back(Main->Settings.*Case.Setting); });
    EXPECT_EQ(Seen, Case.After_Each_Key);
    EXPECT_EQ(Text_Of(Case.Field).toStdString(), Case.Keys);
  }
}

// The radius field while it is typed into and after Tab leaves it: taken without clamping at
// once, corrected to 2..20 on leaving; a negative number is refused with a box.
TEST_F(Window_Settings, Spin_Field_Takes_Typed_Numbers_And_Corrects_Them_When_Left) {
  struct TCase {
    std::string Keys; // into the cleared field
    const char* Text_While;
    uint32_t Radius_While;
    const char* Text_After;
    uint32_t Radius_After;
  };
  const TCase Cases[] = {
      {"12.5", "12.5", 2, "12.5", 2}, {"25", "25", 25, "20", 20},   {"1", "1", 1, "2", 2},
      {"1a2", "12", 12, "12", 12}, // the letter beeps and is not taken
      {"8^-", "-8", 8, "2", 2},       {"19>>", "20", 20, "20", 20}, {"12.5>", "3", 3, "3", 3},
  };
  Show_Dialog();
  TSpin_Edit* Radius = Dialog->SpinEdit_Radius;
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Keys);
    Error_Boxes.clear();
    Radius->setFocus(Qt::TabFocusReason);
    Clear(Radius);
    Type(Radius, Case.Keys);
    EXPECT_EQ(Radius->Text(), QLatin1String(Case.Text_While));
    EXPECT_EQ(Main->Settings.Radius, Case.Radius_While);
    EXPECT_EQ(Error_Boxes, Case.Keys == "8^-"
                               ? std::vector<std::string>{"-8 is not a valid Radius: it must lie "
                                                          "between 2 and 20 pixels."}
                               : std::vector<std::string>{});
    Press(Radius, Qt::Key_Tab, QStringLiteral("\t"));
    EXPECT_EQ(Focused(), Dialog->SpinEdit_Annulus);
    EXPECT_EQ(Radius->Text(), QLatin1String(Case.Text_After));
    EXPECT_EQ(Main->Settings.Radius, Case.Radius_After);
  }
}

// A new radius redraws every open image window at once; a new annulus redraws none (it shows
// at the next rendering). Asserted on the pictures the windows show.
TEST_F(Window_Settings, Radius_Redraws_Every_Image_Window_And_Annulus_None) {
  std::vector<uint16_t> Pixels(120 * 100);
  for (size_t i = 0; i < Pixels.size(); ++i)
    Pixels[i] = static_cast<uint16_t>(1000 + (i * 37) % 3000);
  QStringList Paths;
  for (const char* Name : {"/one.fit", "/two.fit"}) {
    Paths.append(Temp.path() + Name);
    Put(Paths.back().toStdString(),
        Standard_Header(120, 100).Header_Bytes() + TFits_Writer::Data_Bytes_Unsigned(Pixels));
  }
  Main->Open_Files(Paths);
  const QList<TForm_Image*> Images = Main->Image_Windows();
  ASSERT_EQ(Images.size(), 2);
  TSettings& S = Main->Settings;
  S.Radius = 5, S.Gap = 3, S.Annulus = 3, S.Show_Annulus = true;
  for (TForm_Image* Image : Images) {
    Image->ObjectX = 60.5, Image->ObjectY = 50.5, Image->Object_Marked = true;
    Image->Fill_Bitmap();
  }
  const auto Pictures = [&] {
    std::vector<QImage> Shown;
    for (TForm_Image* Image : Images)
      Shown.push_back(Image->grab().toImage().convertToFormat(QImage::Format_RGB32));
    return Shown;
  };
  // The circle's outline passes through (x, 50), give or take a pixel.
  const auto Circle_At = [](const QImage& Picture, int x) {
    return Picture.pixel(x - 1, 50) == qRgb(255, 255, 255) || Picture.pixel(x, 50) == qRgb(255, 255, 255) ||
           Picture.pixel(x + 1, 50) == qRgb(255, 255, 255);
  };
  Show_Dialog();
  const std::vector<QImage> Before = Pictures();
  ASSERT_TRUE(Circle_At(Before[0], 65));

  Clear(Dialog->SpinEdit_Annulus);
  Type(Dialog->SpinEdit_Annulus, "8");
  EXPECT_EQ(S.Annulus, 8u);
  EXPECT_EQ(Pictures(), Before);

  Clear(Dialog->SpinEdit_Radius);
  Type(Dialog->SpinEdit_Radius, "9");
  const std::vector<QImage> After = Pictures();
  for (size_t i = 0; i < After.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(Circle_At(After[i], 69));
    EXPECT_FALSE(Circle_At(After[i], 65));
  }
}

// Values typed into the dialog are the ones the main window writes to the settings file.
TEST_F(Window_Settings, Typed_Values_Reach_The_Settings_File_When_The_Main_Window_Closes) {
  const std::pair<const char*, std::string> Entries[] = {
      {"Edit_Readout_Noise", "8.5"}, {"Edit_Dark_Current", "0.25"}, {"Edit_Gain", "1.4"},
      {"Edit_degC", "-20"},          {"Edit_Max_Error", "0.05"},    {"Edit_Report_Directory", "/data/n 1"},
      {"Edit_AAVSO_ObsCode", "KXY"}, {"Edit_Notes", "thin cloud"},  {"Edit_Saturation", "60000"},
      {"SpinEdit_Radius", "7"},      {"SpinEdit_Annulus", "4"},     {"SpinEdit_Gap", "5"},
  };
  Main->Settings.Snap_to_Centre = false;
  Main->Settings.Show_Annulus = true;
  Main->Settings.Fits_Crpix = false;
  Show_Dialog();
  for (const auto& [Field, Keys] : Entries) {
    Clear(Control(Field));
    Type(Control(Field), Keys);
  }
  for (QCheckBox* Box :
       {Dialog->CheckBox_Snap_to_Centre, Dialog->CheckBox_Show_Annulus, Dialog->CheckBox_Fits_Crpix})
    Press(Box, Qt::Key_Space, QStringLiteral(" "));
  Main->close();

  TSettings Saved = Initial_Settings();
  ASSERT_TRUE(Read_Settings(Get((Temp.path() + "/config/korvane.ini").toStdString()), Saved).empty());
  EXPECT_EQ(std::vector<double>({Saved.Readout_Noise, Saved.Dark_Current, Saved.Gain, Saved.degC,
                                 Saved.Max_Error, Saved.Saturation_Level}),
            std::vector<double>({8.5, 0.25, 1.4, -20.0, 0.05, 60000.0}));
  EXPECT_EQ(std::vector<std::string>({Saved.ReportFileDir, Saved.AAVSO_ObsCode, Saved.Notes}),
            std::vector<std::string>({"/data/n 1", "KXY", "thin cloud"}));
  EXPECT_EQ(std::vector<uint32_t>({Saved.Radius, Saved.Annulus, Saved.Gap}),
            std::vector<uint32_t>({7, 4, 5}));
  EXPECT_TRUE(Saved.Snap_to_Centre && Saved.Fits_Crpix);
  EXPECT_FALSE(Saved.Show_Annulus);
}

} // namespace
