#pragma once
// The light curve window: the observations of one target read back from the report folder,
// magnitude against JD (bright up), one series per filter, limits as open downward
// triangles, error bars, the target's outburst threshold, a tooltip per point, rubber-band
// zoom, and saving the chart as PNG or the observations as CSV. It follows the folder: a
// report written there shows at once.

#include "lightcurve/Light_Curve_Host.h"
#include "report/Report_Reader.h"

#include <QChartView>
#include <QPoint>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <string>
#include <utility>
#include <vector>

class QComboBox;
class QFileSystemWatcher;
class QLabel;
class QPushButton;
class QTimer;
class QXYSeries;

// The chart's view: draws the error bars over the chart, shows a point's tooltip, and
// returns to the whole light curve (its home range) on Escape, a right click or Reset_Zoom.
// "+" and "-" zoom in and out, the arrow keys move the shown part.
class TLight_Curve_View : public QChartView {
  Q_OBJECT

public:
  explicit TLight_Curve_View(QWidget* Parent = nullptr);

  // One plotted observation: its value, the series holding it, its error (NaN: no bar) and
  // its tooltip.
  struct TMark {
    QPointF Value;
    QXYSeries* Series = nullptr;
    double Error = 0.0;
    QString Tip;
  };
  void Set_Marks(std::vector<TMark> New_Marks);

  // The ranges that show the whole light curve: X is JD, Y magnitude (smaller above).
  void Set_Home(const QRectF& Range);
  const QRectF& Home() const { return Home_Range; }
  void Reset_Zoom();

  // The mark drawn nearest Position (in the viewport) within a few pixels, or null.
  const TMark* Mark_At(const QPoint& Position) const;

protected:
  void drawForeground(QPainter* Painter, const QRectF& Rect) override;
  // A tooltip request shows the tooltip of the mark under the mouse.
  bool viewportEvent(QEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;

private:
  std::vector<TMark> Marks;
  QRectF Home_Range;
};

class TForm_Light_Curve : public QWidget {
  Q_OBJECT

public:
  // A top-level window over Parent, showing Target (a name as the reports write it, in any
  // letter case) or, when the folder holds none of it, the first target found.
  TForm_Light_Curve(TLight_Curve_Host& Host, const QString& Target, QWidget* Parent = nullptr);

  QComboBox* ComboBox_Target = nullptr;
  TLight_Curve_View* Chart_View = nullptr;
  QPushButton* Button_Reset_Zoom = nullptr;
  QPushButton* Button_Save_PNG = nullptr;
  QPushButton* Button_Save_CSV = nullptr;
  QLabel* Label_Status = nullptr;

  // Reads the report folder again and redraws, keeping the chosen target; the zoom returns
  // to the whole curve. The main window calls it after writing a report.
  void Reload();
  // Chooses the target called Name when the folder holds it.
  void Show_Target(const QString& Name);
  // The target shown, or null.
  const TTarget_History* Shown_Target() const;

  // Write the chart as a PNG picture of the view's size, or the shown observations as CSV,
  // whole or not at all. Throw TKorvane_Error when the file cannot be written.
  void Save_PNG(const QString& Path) const;
  void Save_CSV(const QString& Path) const;

public slots:
  void ComboBox_TargetChange(int Index);
  void Button_Save_PNGClick();
  void Button_Save_CSVClick();

private:
  void Create_Controls();
  // Points the watcher at Folder_Path (and nothing else).
  void Watch_Folder();
  void Fill_Target_List();
  void Draw_Target();
  void Show_Status(int Observations);
  // Asks for a file to save to; empty when the user cancels.
  QString Ask_Save_Path(const QString& Title, const QString& Filter, const QString& Suffix);
  // Asks for a file, then saves into it with Save; a failure is shown by the host.
  void Save_Asked(const QString& Title, const QString& Filter, const QString& Suffix,
                  void (TForm_Light_Curve::*Save)(const QString&) const);

  TLight_Curve_Host& Host;
  std::string Folder_Path;
  TReport_Folder Folder;
  QString Folder_Error;   // why the folder could not be read, or empty
  std::string Chosen_Key; // Target_Key of the target the user chose
  QFileSystemWatcher* Watcher = nullptr;
  QTimer* Reload_Timer = nullptr;
};
