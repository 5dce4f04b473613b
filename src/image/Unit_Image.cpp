#include "image/Unit_Image.h"

#include "image/Display.h"
#include "image/Overlay.h"
#include "image/Paint_Marks.h"

#include <QCursor>
#include <QEnterEvent>
#include <QEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

#include <span>

namespace {

QString Text(const std::string& Value) {
  return QString::fromStdString(Value);
}

// The display bitmap: blue-green-red rows padded to 4 bytes, in memory from
// Allocate_Large_Block, so that the first fill of a large frame does not wait on page faults.
QImage New_Bitmap_Of(int Width, int Height) {
  const qsizetype Row_Bytes = (qsizetype{3} * Width + 3) / 4 * 4;
  const size_t Bytes = static_cast<size_t>(Row_Bytes) * static_cast<size_t>(Height);
  if (Bytes == 0)
    return QImage();
  struct TBlock {
    void* Data;
    size_t Bytes;
  };
  auto* Block = new TBlock{Allocate_Large_Block(Bytes), Bytes};
  // Qt calls the clean-up once the last copy of the picture is gone.
  return QImage(
      static_cast<uchar*>(Block->Data), Width, Height, Row_Bytes, QImage::Format_BGR888,
      [](void* Info) {
        const auto* Gone = static_cast<TBlock*>(Info);
        Free_Large_Block(Gone->Data, Gone->Bytes);
        delete Gone;
      },
      Block);
}

} // namespace

TForm_Image::TForm_Image(TImage_Host& Host_, QMdiArea& Area) : Host(Host_) {
  // FormCreate: an empty image, the model's defaults (nothing measured, nothing marked).
  setObjectName(QStringLiteral("Form_Image"));
  setAttribute(Qt::WA_OpaquePaintEvent); // the picture covers the whole client area: no erase
  setAttribute(Qt::WA_NoSystemBackground);
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  setAccessibleName(QStringLiteral("Image"));
  setAccessibleDescription(QStringLiteral("Form_Image"));

  // System menu and minimise only: no maximise button, no resizing by the frame.
  Sub_Window = Area.addSubWindow(this, Qt::SubWindow | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint);
  Sub_Window->setAttribute(Qt::WA_DeleteOnClose);
  Sub_Window->setWindowTitle(QStringLiteral("Image"));
  Sub_Window->setOption(QMdiSubWindow::RubberBandResize, false);
  Sub_Window->installEventFilter(this);
  connect(Sub_Window, &QMdiSubWindow::windowStateChanged, this,
          [this](Qt::WindowStates, Qt::WindowStates New_State) {
            const bool Now_Active = New_State.testFlag(Qt::WindowActive);
            if (Now_Active == Active)
              return;
            Active = Now_Active;
            if (Active)
              FormActivate();
            else
              FormDeactivate();
          });
  Current_Scale = -1; // no scale until the display is set up
  setFixedSize(1, 1);
  Sub_Window->showMinimized();
}

TForm_Image::~TForm_Image() = default;

void TForm_Image::Begin_Reading() {
  Reading = true;
}

void TForm_Image::End_Reading() {
  Reading = false;
  if (Close_Deferred)
    Sub_Window->close();
}

bool TForm_Image::Show_Opened() {
  if (Close_Deferred)
    return false;
  Setup_Display();
  return true;
}

void TForm_Image::Setup_Display() {
  const bool New_Bitmap = Image_Bmp.isNull();
  if (New_Bitmap) {
    Image_Bmp = New_Bitmap_Of(XSize, YSize);
    if (Image_Bmp.isNull())
      throw TKorvane_Error(FileName + ": not enough memory to show an image of " + std::to_string(XSize) +
                           " x " + std::to_string(YSize) + " pixels");
  }
  Histogram = Build_Histogram(Image_Array);
  Prepare_Image();
  if (New_Bitmap) {
    Sub_Window->showNormal();
    Current_Scale = -1;
    ReScale(Host.Host_Settings().Scale_Index);
  }
  FormPaint();
}

void TForm_Image::Show_Stretch() {
  Host.Set_Panel_Text(TImage_Panel::BP, Text(Black_Point_Text(Image_Array, BlackPoint)));
  Host.Set_Panel_Text(TImage_Panel::WP, Text(White_Point_Text(Image_Array, WhitePoint)));
}

void TForm_Image::Set_Stretch(TStretch Stretch) {
  BlackPoint = Stretch.BlackPoint;
  WhitePoint = Stretch.WhitePoint;
  Show_Stretch();
  Fill_Bitmap();
}

void TForm_Image::Prepare_Image() {
  Set_Stretch(Automatic_Stretch(Histogram));
}

void TForm_Image::Fill_Bitmap() {
  if (Image_Bmp.isNull() || Image_Array.Empty())
    return;
  Fill_Grey(Image_Array, TStretch{BlackPoint, WhitePoint},
            std::span<uint8_t>(Image_Bmp.bits(), static_cast<size_t>(Image_Bmp.sizeInBytes())),
            static_cast<size_t>(Image_Bmp.bytesPerLine()));
  Scaled_Picture = QImage();
  if (Object_Marked)
    Paint_Object();
  if (Reference_Marked)
    Paint_Reference();
  if (Check_Marked)
    Paint_Check();
}

void TForm_Image::Paint_Star(bool Marked, double X, double Y, const std::string& Name, const QColor& Colour) {
  if (!Marked)
    return;
  const std::optional<TMark_Geometry> Mark = Mark_Geometry(X, Y, Host.Host_Settings());
  if (Mark) {
    Paint_Mark(Image_Bmp, *Mark, Text(Name), Colour);
    Scaled_Picture = QImage();
  }
  FormPaint();
}

void TForm_Image::Paint_Object() {
  Paint_Star(Object_Marked, ObjectX, ObjectY, ObjectName, Object_Label_Colour());
}

void TForm_Image::Paint_Reference() {
  Paint_Star(Reference_Marked, ReferenceX, ReferenceY, ReferenceName, Reference_Label_Colour());
}

void TForm_Image::Paint_Check() {
  Paint_Star(Check_Marked, CheckX, CheckY, CheckName, Check_Label_Colour());
}

void TForm_Image::ReScale(int32_t Scale) {
  if (Scale == Current_Scale)
    return;
  Painting = false;
  Current_Scale = Scale;
  Host.Select_Scale(Scale);
  setFixedSize(Window_Side(Scale, XSize), Window_Side(Scale, YSize));
  Sub_Window->adjustSize();
  Scaled_Picture = QImage();
  Painting = true;
  FormPaint();
}

void TForm_Image::Reset_Visualisation() {
  Prepare_Image();
  FormPaint();
}

void TForm_Image::FormPaint() {
  if (!Painting)
    return;
  Sub_Window->setWindowTitle(Text(Caption_String));
  update();
}

void TForm_Image::paintEvent(QPaintEvent*) {
  if (!Painting || Image_Bmp.isNull())
    return;
  QPainter Painter(this);
  const QRect Client = rect();
  if (Client.width() < Image_Bmp.width() || Client.height() < Image_Bmp.height()) {
    // Shrunk once per fill or rescale, then drawn as it is.
    if (Scaled_Picture.size() != Client.size())
      Scaled_Picture = Image_Bmp.scaled(Client.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation)
                           .convertToFormat(QImage::Format_RGB32); // the screen's own format draws fastest
    Painter.drawImage(QPoint(0, 0), Scaled_Picture);
  } else {
    Painter.drawImage(Client, Image_Bmp);
  }
  ++Paint_Count;
}

void TForm_Image::Read_Out(int X, int Y) {
  if (Image_Array.Empty())
    return;
  const uint32_t px = Client_To_Pixel(Current_Scale, X, XSize);
  const uint32_t py = Client_To_Pixel(Current_Scale, Y, YSize);
  Host.Set_Panel_Text(TImage_Panel::Location, Text(Location_Text(px, py)));
  Host.Set_Panel_Text(TImage_Panel::Pixel, Text(Pixel_Text(Image_Array, px, py)));
  if (Plate_Solved) {
    TSkyPosition Sky;
    WCS_Calculator.tnxpos(WCS1, Sky, px, py);
    Host.Set_Panel_Text(TImage_Panel::Position,
                        Text(Sky_Position_Text(Sky.RA, Sky.Dec, Host.Host_Number_Format())));
  }
}

void TForm_Image::mousePressEvent(QMouseEvent* Event) {
  StartX = Event->position().toPoint().x();
  StartY = Event->position().toPoint().y();
  if (Event->modifiers().testFlag(Qt::ShiftModifier)) {
    setCursor(Qt::SizeAllCursor);
    Start_BlackPoint = BlackPoint;
    Start_WhitePoint = WhitePoint;
  }
}

void TForm_Image::mouseReleaseEvent(QMouseEvent* Event) {
  if (Event->modifiers().testFlag(Qt::ShiftModifier))
    FormPaint();
  unsetCursor();
}

void TForm_Image::mouseMoveEvent(QMouseEvent* Event) {
  const QPoint At = Event->position().toPoint();
  const Qt::KeyboardModifiers Keys = Event->modifiers();
  const bool Left = Event->buttons().testFlag(Qt::LeftButton);
  if (Keys.testFlag(Qt::ShiftModifier) && Left) {
    const std::optional<TStretch> Stretch =
        Drag_Stretch(TStretch{Start_BlackPoint, Start_WhitePoint}, At.x() - StartX, At.y() - StartY);
    if (!Stretch)
      return;
    Set_Stretch(*Stretch);
    FormPaint();
  } else if (Keys.testFlag(Qt::ControlModifier) && Left) {
    Host.Control_Drag();
  } else {
    Read_Out(At.x(), At.y());
  }
}

void TForm_Image::enterEvent(QEnterEvent*) {
  Show_Stretch();
  Host.Set_Panel_Text(TImage_Panel::Report_Written,
                      AAVSO_Written ? QStringLiteral("Report Written") : QString());
  const TNumber_Format Format = Host.Host_Number_Format();
  Host.Set_Panel_Text(TImage_Panel::Ref_Background, Text(Background_Text(Ref_Background, Format)));
  Host.Set_Panel_Text(TImage_Panel::Star_Background, Text(Background_Text(Star_Background, Format)));
}

void TForm_Image::leaveEvent(QEvent*) {
  Host.Clear_Bottom_Panels();
}

void TForm_Image::FormActivate() {
  // Before its first scaling (while its file is read) the window shows the scale it will take.
  Host.Select_Scale(Current_Scale >= 0 ? Current_Scale : Host.Host_Settings().Scale_Index);
  Show_Stretch();
  Host.Show_Results();
}

void TForm_Image::FormDeactivate() {
  Host.Clear_Bottom_Panels();
}

void TForm_Image::FormClose() {
  // The pixels and the picture go at once; the window object follows when the close ends.
  Image_Bmp = QImage();
  Scaled_Picture = QImage();
  Image_Array = TImageArray();
  Histogram = std::vector<uint32_t>();
  if (Host.Image_Window_Count() < 2)
    Host.Hide_Zoom();
  Host.Clear_Top_Panels();
  Host.Trigger_Results();
}

bool TForm_Image::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == Sub_Window && Event->type() == QEvent::Close) {
    if (Reading) {
      Close_Deferred = true;
      Event->ignore();
      return true;
    }
    // Deactivation first, as the window leaves; then the close itself, once.
    Closed = true;
    Sub_Window->removeEventFilter(this);
    FormClose();
  }
  return QWidget::eventFilter(Watched, Event);
}
