#pragma once
// The image window: one opened FITS image shown as a grey picture in a child window of the
// main window's multiple-document area, at one of fifteen scales, with a live read-out of
// the pixel under the mouse and a Shift-drag that changes the stretch. The window is the
// image model too: its fields are the model's.

#include "image/Image_Host.h"
#include "image/Image_Model.h"

#include <QColor>
#include <QImage>
#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

class QMdiArea;
class QMdiSubWindow;
struct TStretch;

class TForm_Image : public QWidget, public TImage_Model {
  Q_OBJECT

public:
  // Creates the window, minimised, in Area (FormCreate). Open_File follows.
  TForm_Image(TImage_Host& Host, QMdiArea& Area);
  ~TForm_Image() override;

  // The child window of the multiple-document area that frames this one.
  QMdiSubWindow* Frame() const { return Sub_Window; }

  // Between these two the core reads a file into this window (and analyses it): the reader
  // writes into the window while its message boxes run the event loop, so a close of the
  // window asked meanwhile is held until End_Reading, and done then (Closing is then true).
  // A file that cannot be read leaves the window as it was made, minimised.
  void Begin_Reading();
  void End_Reading();
  // What the window adds to the core's open-and-analyse step, once the file is read and
  // before the analysis: the display (Setup_Display), so that the picture shows even when
  // the analysis fails. False, with nothing shown, when a close waits for the read's end.
  bool Show_Opened();

  // The automatic stretch, shown in the host's panels, and a fill.
  void Prepare_Image();
  // Refills the bitmap with the current stretch and draws the marks on it.
  void Fill_Bitmap();
  // Applies a scale index 0..14: the client size follows; one paint, none when unchanged.
  void ReScale(int32_t Scale);
  // Prepare_Image and a repaint.
  void Reset_Visualisation();
  // Draws the marks of a marked star into the bitmap and repaints.
  void Paint_Object();
  void Paint_Reference();
  void Paint_Check();
  // Repaints the window from the bitmap (also sets the caption).
  void FormPaint();
  // Whether the window has been closed: it is deleted when the event loop next comes round.
  bool Closing() const { return Closed; }

  // Display state: what the window shows of the model's pixels.
  std::vector<uint32_t> Histogram;                     // pixels of each value 0..65535
  uint16_t BlackPoint = 0, WhitePoint = 0;             // ADU
  uint16_t Start_BlackPoint = 0, Start_WhitePoint = 0; // stretch when a drag began, ADU
  int32_t Current_Scale = 0;                           // index into the scale list
  QImage Image_Bmp;     // the display bitmap: XSize x YSize, blue-green-red, row 0 at the top
  bool Painting = true; // false while ReScale changes the size
  int32_t StartX = 0;   // client position of the last button press
  int32_t StartY = 0;
  int Paint_Count = 0; // paints that drew the picture, for tests

protected:
  void paintEvent(QPaintEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void enterEvent(QEnterEvent* Event) override;
  void leaveEvent(QEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
  void Setup_Display();
  void FormActivate();
  void FormDeactivate();
  void FormClose();
  void Show_Stretch();
  // Takes Stretch as the black and white points, shows them and refills the bitmap.
  void Set_Stretch(TStretch Stretch);
  void Paint_Star(bool Marked, double X, double Y, const std::string& Name, const QColor& Colour);
  void Read_Out(int X, int Y);

  TImage_Host& Host;
  QMdiSubWindow* Sub_Window = nullptr;
  // The picture at the current scale when it is smaller than the bitmap, redone after each
  // fill or rescale, so that a paint never shrinks the whole bitmap.
  QImage Scaled_Picture;
  bool Active = false;
  // Whether Open_File is reading, and whether a close waits for it to end.
  bool Reading = false;
  bool Close_Deferred = false;
  bool Closed = false;
};
