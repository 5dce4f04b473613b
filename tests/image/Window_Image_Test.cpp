// The image window inside the main window, offscreen: the picture on screen, the marks, the
// scales and the view controls, the read-out and the stretch drag, closing.

#include "app/Korvane_Application.h"
#include "app/Unit_Main.h"
#include "image/Unit_Image.h"
#include "support/Fits_Writer.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"
#include "support/Window_Test.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>
#include <QPushButton>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// A Columns x Rows image whose values cover a few thousand levels in no simple order.
std::vector<uint16_t> Test_Pixels(int Columns, int Rows) {
  std::vector<uint16_t> Pixels(static_cast<size_t>(Columns) * Rows);
  for (int y = 0; y < Rows; ++y)
    for (int x = 0; x < Columns; ++x)
      Pixels[static_cast<size_t>(y) * Columns + x] =
          static_cast<uint16_t>(500 + (x * 37 + y * 101 + x * y) % 4000);
  return Pixels;
}

// The grey the picture must show, worked out here from the sorted pixel values: the black
// point is the (N div 50 + 1)-th darkest value, the white point the (N div 400 + 1)-th
// brightest, and grey = integer part of (256 (v - B) / (W - B) + 0.5) within 0..255.
std::vector<int> Expected_Greys(std::vector<uint16_t> Pixels) {
  const std::vector<uint16_t> Values = Pixels;
  std::sort(Pixels.begin(), Pixels.end());
  const size_t N = Pixels.size();
  const double B = Pixels[N / 50], W = Pixels[N - 1 - N / 400];
  std::vector<int> Greys;
  for (const uint16_t v : Values) {
    const double g = std::clamp(256.0 * (v - B) / (W - B), 0.0, 255.0);
    Greys.push_back(static_cast<int>(g + 0.5));
  }
  return Greys;
}

class Window_Image : public ::testing::Test {
protected:
  void SetUp() override {
    Test_Application();
    Use_Scratch_Home(Scratch.Folder.string(), Scratch.Path("config"));
    Main = std::make_unique<TMain_Form>(Messages);
    Messages.Texts.clear(); // the start-up's word on the missing target file
    Main->resize(1200, 900);
    Main->show();
  }
  void TearDown() override { Main.reset(); }

  std::string Write_Image(const std::string& Name, int Columns, int Rows) const {
    return Scratch.Write(Name, Standard_Header(Columns, Rows).Header_Bytes() +
                                   TFits_Writer::Data_Bytes_Unsigned(Test_Pixels(Columns, Rows)));
  }
  TForm_Image& Open(const std::string& Path) {
    Main->Open_Files({QString::fromStdString(Path)});
    QApplication::processEvents();
    return *Main->Active_Image();
  }

  TScratch_Folder Scratch;
  TRecording_Messages Messages;
  std::unique_ptr<TMain_Form> Main;
};

TEST_F(Window_Image, Picture_On_Screen_Is_The_Stretched_Image_With_Its_Marks) {
  const int Columns = 160, Rows = 120;
  TForm_Image& Image = Open(Write_Image("gradient.fit", Columns, Rows));
  ASSERT_EQ(Image.Current_Scale, 7); // the main window's scale: "1:1"
  ASSERT_EQ(Image.size(), QSize(Columns, Rows));
  EXPECT_EQ(Image.Frame()->windowTitle().toStdString(), Image.FileName);

  const std::vector<int> Expected = Expected_Greys(Test_Pixels(Columns, Rows));
  const QImage Shown = Image.grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(Shown.size(), QSize(Columns, Rows));
  int Wrong = 0;
  for (int y = 0; y < Rows; ++y)
    for (int x = 0; x < Columns; ++x) {
      const QRgb P = Shown.pixel(x, y);
      const int Grey = Expected[static_cast<size_t>(y) * Columns + x];
      Wrong += qRed(P) != Grey || qGreen(P) != Grey || qBlue(P) != Grey;
    }
  EXPECT_EQ(Wrong, 0);
  EXPECT_EQ(Main->Panel_BP->text().toStdString(), "BP=" + std::to_string(Image.BlackPoint));

  // A mark at (60.5, 70.5) is centred on (60, 70): radius 8, the label 20 right and 20 up.
  Main->Settings.Radius = 8;
  Image.ObjectX = 60.5;
  Image.ObjectY = 70.5;
  Image.ObjectName = "V1";
  Image.Object_Marked = true;
  Image.Fill_Bitmap();
  const QImage Marked = Image.grab().toImage().convertToFormat(QImage::Format_RGB32);
  const auto White = [&](int x, int y) { return Marked.pixel(x, y) == qRgb(255, 255, 255); };
  const auto Near_White = [&](int x, int y) {
    return White(x - 1, y) || White(x, y) || White(x + 1, y) || White(x, y - 1) || White(x, y + 1);
  };
  EXPECT_TRUE(Near_White(60 - 8, 70) && Near_White(60 + 7, 70) && Near_White(60, 70 - 8) &&
              Near_White(60, 70 + 7));
  EXPECT_FALSE(White(60, 70)); // an outline only
  int Green = 0;
  for (int y = 50; y < std::min(Rows, 90); ++y)
    for (int x = 80; x < Columns; ++x) {
      const QRgb P = Marked.pixel(x, y);
      Green += qGreen(P) > qRed(P) + 30 && qGreen(P) > qBlue(P) + 30;
    }
  EXPECT_GT(Green, 10) << "no green label right of and above the mark";
  int Green_Elsewhere = 0;
  for (int y = 0; y < Rows; ++y)
    for (int x = 0; x < 70; ++x) {
      const QRgb P = Marked.pixel(x, y);
      Green_Elsewhere += qGreen(P) > qRed(P) + 30 && qGreen(P) > qBlue(P) + 30;
    }
  EXPECT_EQ(Green_Elsewhere, 0);
}

TEST_F(Window_Image, Windows_Keep_Their_Own_Scales_And_The_View_Controls_Follow) {
  Main->Settings.Scale_Index = 6; // "1:2"
  TForm_Image& First = Open(Write_Image("first.fit", 200, 100));
  EXPECT_EQ(First.Current_Scale, 6);
  EXPECT_EQ(First.size(), QSize(100, 50));
  EXPECT_TRUE(Main->ComboBox_Scale->isVisible());

  // "+" steps the main window's scale and rescales the active window, with one paint.
  QApplication::processEvents();
  const int Paints = First.Paint_Count;
  Main->Button_Plus->click();
  QApplication::processEvents();
  EXPECT_EQ(First.Current_Scale, 7);
  EXPECT_EQ(First.size(), QSize(200, 100));
  EXPECT_EQ(First.Paint_Count, Paints + 1);
  First.ReScale(7); // the same index: nothing, not even a paint
  QApplication::processEvents();
  EXPECT_EQ(First.Paint_Count, Paints + 1);

  // A second window takes the main window's scale of the moment; the first keeps its own.
  TForm_Image& Second = Open(Write_Image("second.fit", 90, 60));
  EXPECT_EQ(Second.Current_Scale, 7);
  Main->Button_Plus->click();
  EXPECT_EQ(Second.Current_Scale, 8);
  EXPECT_EQ(Second.size(), QSize(180, 120));
  EXPECT_EQ(First.Current_Scale, 7);
  Main->Mdi_Area->setActiveSubWindow(First.Frame());
  QApplication::processEvents();
  EXPECT_EQ(Main->ComboBox_Scale->currentIndex(), 7); // the active window's scale is shown

  // Closing one of two leaves the view controls; closing the last hides them.
  Second.Frame()->close();
  QApplication::processEvents();
  EXPECT_TRUE(Main->ComboBox_Scale->isVisible());
  First.Frame()->close();
  QApplication::processEvents();
  EXPECT_FALSE(Main->ComboBox_Scale->isVisible());
  EXPECT_FALSE(Main->Button_Visualisation->isEnabled());
  EXPECT_EQ(Main->Mdi_Area->subWindowList().size(), 0);
}

TEST_F(Window_Image, Read_Out_And_Stretch_Drag_Reach_The_Panels) {
  Main->Settings.Scale_Index = 9; // "3:1": client x 30 reads column 10
  TForm_Image& Image = Open(Write_Image("readout.fit", 40, 30));
  const auto Move = [&](QPoint At, Qt::MouseButtons Buttons, Qt::KeyboardModifiers Keys) {
    QMouseEvent Event(QEvent::MouseMove, At, Image.mapToGlobal(At), Qt::NoButton, Buttons, Keys);
    QApplication::sendEvent(&Image, &Event);
  };
  Move(QPoint(31, 62), Qt::NoButton, Qt::NoModifier);
  const uint16_t Value = Test_Pixels(40, 30)[20 * 40 + 10];
  EXPECT_EQ(Main->Panel_Location->text(), QStringLiteral("(10,20)"));
  EXPECT_EQ(Main->Panel_Pixel->text().toStdString(), "I=" + std::to_string(Value));
  Move(QPoint(5000, 5000), Qt::NoButton, Qt::NoModifier); // beyond the picture: the last pixel
  EXPECT_EQ(Main->Panel_Location->text(), QStringLiteral("(39,29)"));

  // Shift-press, then 200 pixels to the right: the width between black and white halves.
  Image.BlackPoint = 1000;
  Image.WhitePoint = 3000;
  QMouseEvent Press(QEvent::MouseButtonPress, QPointF(10, 10), Image.mapToGlobal(QPointF(10, 10)),
                    Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
  QApplication::sendEvent(&Image, &Press);
  EXPECT_EQ(Image.cursor().shape(), Qt::SizeAllCursor);
  Move(QPoint(210, 10), Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(Image.BlackPoint, 1500);
  EXPECT_EQ(Image.WhitePoint, 2500);
  EXPECT_EQ(Main->Panel_WP->text(), QStringLiteral("WP=2500"));
  Move(QPoint(213, 14), Qt::LeftButton, Qt::ShiftModifier); // off the 5-pixel grid: no change
  EXPECT_EQ(Image.BlackPoint, 1500);
  QMouseEvent Release(QEvent::MouseButtonRelease, QPointF(213, 14), Image.mapToGlobal(QPointF(213, 14)),
                      Qt::LeftButton, Qt::NoButton, Qt::ShiftModifier);
  QApplication::sendEvent(&Image, &Release);
  EXPECT_EQ(Image.cursor().shape(), Qt::ArrowCursor);

  // RESET VIS brings the automatic stretch back.
  Main->Button_Visualisation->click();
  EXPECT_NE(Image.BlackPoint, 1500);
}

// Sensors of 9,576 to 14,208 columns are common: a wide image shows like any other.
TEST_F(Window_Image, A_Twelve_Thousand_Column_Image_Opens_And_Shows) {
  Main->Settings.Scale_Index = 0; // "1:8"
  TForm_Image& Image = Open(Write_Image("wide.fit", 12000, 16));
  EXPECT_EQ(Image.Image_Bmp.width(), 12000);
  EXPECT_EQ(Image.size(), QSize(1500, 2));
  const QImage Shown = Image.grab().toImage();
  EXPECT_EQ(Shown.width(), 1500);
  EXPECT_TRUE(Messages.Texts.empty());
}

} // namespace

// A dark-subtracted floating-point frame opens with its stretch, and the read-out shows the
// physical value under the mouse.
TEST_F(Window_Image, Floating_Point_Frame_Reads_Out_Its_Values) {
  Main->Settings.Scale_Index = 7; // "1:1"
  const int Columns = 20, Rows = 10;
  TFits_Writer Writer;
  for (const char* Card : {"SIMPLE  = T", "BITPIX  = -32", "NAXIS   = 2", "NAXIS1  = 20", "NAXIS2  = 10"})
    Writer.Add_Raw(Card);
  std::string Data;
  for (int k = 0; k < Columns * Rows; ++k) {
    const float Value = static_cast<float>(k % 37) * 0.5f - 6.25f;
    const uint32_t Bits = std::bit_cast<uint32_t>(Value);
    for (int Shift = 24; Shift >= 0; Shift -= 8)
      Data += static_cast<char>((Bits >> Shift) & 0xFF);
  }
  TForm_Image& Image = Open(Scratch.Write("float.fits", Writer.Header_Bytes() + Data));
  QMouseEvent Event(QEvent::MouseMove, QPoint(3, 2), Image.mapToGlobal(QPoint(3, 2)), Qt::NoButton,
                    Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(&Image, &Event);
  EXPECT_EQ(Main->Panel_Pixel->text(), QStringLiteral("I=-3.25")); // pixel 43: 6 x 0.5 - 6.25
  EXPECT_LT(Image.BlackPoint, Image.WhitePoint);
  EXPECT_EQ(Main->Panel_BP->text().left(4), QStringLiteral("BP=-"));
}
