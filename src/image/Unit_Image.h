#pragma once
// The image window: one opened FITS image shown as a grey picture in a child window of the
// main window's multiple-document area, at one of fifteen scales, with a live read-out of
// the pixel under the mouse and a Shift-drag that changes the stretch. The window is the
// image model too: its fields are the model's.

#include "image/Image_Host.h"
#include "image/Image_Model.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

class QMdiArea;
struct TTarget_Catalogue;
struct TMeasure_Settings;
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

  // The core's open-and-analyse step for this window, which adds only what it shows: the
  // display is set up (Setup_Display) once the file is read, before the analysis. Errors that
  // stop the reading throw TKorvane_Error; the window then stays, minimised. A close of the
  // window asked while the reader waits in a message box is held until the step returns, and
  // then done (Closing is then true, and neither the display nor the analysis happened).
  // True when it measured.
  bool Open_And_Analyse(const std::string& FName, const TTarget_Catalogue& Catalogue,
                        const TMeasure_Settings& Settings, TMessages& Messages);

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
  void Paint_Mark_Of(bool Object);
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
