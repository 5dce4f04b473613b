#include "lightcurve/Unit_Light_Curve.h"

#include "text/Messages.h"
#include "text/Output_File.h"

#include <QBuffer>
#include <QByteArray>
#include <QChart>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QPushButton>
#include <QScatterSeries>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <utility>

namespace {

// The pause after a change in the folder before it is read: a burst of reports reads once.
constexpr int Reload_Delay_ms = 200;
// A tooltip shows for the point nearest the mouse within this many pixels.
constexpr double Tip_Distance = 8.0;
constexpr qreal Measurement_Size = 8.0;
constexpr qreal Limit_Size = 13.0;
constexpr qreal Error_Cap = 3.0; // half the width of an error bar's end, pixels

QString Filter_Label(const std::string& Filter) {
  return Filter.empty() ? QStringLiteral("no filter") : QString::fromStdString(Filter);
}

// A hollow triangle pointing down, in Colour: the marker of a limit ("fainter than").
QImage Limit_Marker(const QColor& Colour) {
  QImage Marker(24, 24, QImage::Format_ARGB32_Premultiplied);
  Marker.fill(Qt::transparent);
  QPainter Painter(&Marker);
  Painter.setRenderHint(QPainter::Antialiasing);
  Painter.setPen(QPen(Colour, 2.5));
  Painter.setBrush(Qt::NoBrush);
  const QPointF Corners[] = {{2.5, 4.0}, {21.5, 4.0}, {12.0, 21.0}};
  Painter.drawPolygon(Corners, 3);
  return Marker;
}

QScatterSeries* New_Scatter(const QString& Name, qreal Size) {
  auto* Series = new QScatterSeries;
  Series->setName(Name);
  Series->setMarkerSize(Size);
  return Series;
}

} // namespace

// The view.

TLight_Curve_View::TLight_Curve_View(QWidget* Parent) : QChartView(Parent) {
  setRubberBand(QChartView::RectangleRubberBand);
  setRenderHint(QPainter::Antialiasing);
  // The error bars are drawn over the whole chart: a partial update would leave old ones.
  setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
  setFocusPolicy(Qt::StrongFocus);
}

void TLight_Curve_View::Set_Marks(std::vector<TMark> New_Marks) {
  Marks = std::move(New_Marks);
  viewport()->update();
}

void TLight_Curve_View::Set_Home(const QRectF& Range) {
  Home_Range = Range;
  Reset_Zoom();
}

void TLight_Curve_View::Reset_Zoom() {
  if (chart()->isZoomed())
    chart()->zoomReset();
  const QList<QAbstractAxis*> X = chart()->axes(Qt::Horizontal);
  const QList<QAbstractAxis*> Y = chart()->axes(Qt::Vertical);
  if (!X.isEmpty())
    X.front()->setRange(Home_Range.left(), Home_Range.right());
  if (!Y.isEmpty())
    Y.front()->setRange(Home_Range.top(), Home_Range.bottom());
  // Round tick values on the whole curve (the range grows a little for them).
  for (const QList<QAbstractAxis*>& Axes : {X, Y})
    if (auto* Axis = Axes.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(Axes.front()))
      Axis->applyNiceNumbers();
}

void TLight_Curve_View::drawForeground(QPainter* Painter, const QRectF& Rect) {
  QChartView::drawForeground(Painter, Rect);
  if (Marks.empty())
    return;
  // Lines in scene coordinates, one batch per series in the series' colour.
  std::map<QXYSeries*, QList<QLineF>> Bars;
  for (const TMark& Mark : Marks) {
    if (!std::isfinite(Mark.Error) || Mark.Error <= 0.0)
      continue;
    const QPointF Top = chart()->mapToScene(
        chart()->mapToPosition(QPointF(Mark.Value.x(), Mark.Value.y() - Mark.Error), Mark.Series));
    const QPointF Bottom = chart()->mapToScene(
        chart()->mapToPosition(QPointF(Mark.Value.x(), Mark.Value.y() + Mark.Error), Mark.Series));
    QList<QLineF>& Lines = Bars[Mark.Series];
    Lines.append(QLineF(Top, Bottom));
    Lines.append(QLineF(Top.x() - Error_Cap, Top.y(), Top.x() + Error_Cap, Top.y()));
    Lines.append(QLineF(Bottom.x() - Error_Cap, Bottom.y(), Bottom.x() + Error_Cap, Bottom.y()));
  }
  Painter->save();
  Painter->setClipRect(chart()->mapToScene(chart()->plotArea()).boundingRect());
  for (const auto& [Series, Lines] : Bars) {
    Painter->setPen(QPen(Series->color(), 1.0));
    Painter->drawLines(Lines);
  }
  Painter->restore();
}

const TLight_Curve_View::TMark* TLight_Curve_View::Mark_At(const QPoint& Position) const {
  const QPointF At = mapToScene(Position);
  if (!chart()->mapToScene(chart()->plotArea()).boundingRect().contains(At))
    return nullptr;
  const TMark* Nearest = nullptr;
  double Best = Tip_Distance;
  for (const TMark& Mark : Marks) {
    const QPointF Point = chart()->mapToScene(chart()->mapToPosition(Mark.Value, Mark.Series));
    const double Distance = std::hypot(Point.x() - At.x(), Point.y() - At.y());
    if (Distance <= Best) {
      Best = Distance;
      Nearest = &Mark;
    }
  }
  return Nearest;
}

bool TLight_Curve_View::viewportEvent(QEvent* Event) {
  // The scene would answer a tooltip request with its items' (empty) tooltips and hide ours.
  if (Event->type() != QEvent::ToolTip)
    return QChartView::viewportEvent(Event);
  const auto* Help = static_cast<QHelpEvent*>(Event);
  if (const TMark* Mark = Mark_At(Help->pos())) {
    const QPoint Centre =
        mapFromScene(chart()->mapToScene(chart()->mapToPosition(Mark->Value, Mark->Series)));
    const int Reach = static_cast<int>(Tip_Distance);
    QToolTip::showText(Help->globalPos(), Mark->Tip, viewport(),
                       QRect(Centre - QPoint(Reach, Reach), QSize(2 * Reach + 1, 2 * Reach + 1)));
  } else {
    QToolTip::hideText();
  }
  return true;
}

void TLight_Curve_View::mouseReleaseEvent(QMouseEvent* Event) {
  // The right button shows the whole curve again (the base class would zoom out one step).
  if (Event->button() == Qt::RightButton) {
    Reset_Zoom();
    Event->accept();
    return;
  }
  QChartView::mouseReleaseEvent(Event);
}

void TLight_Curve_View::keyPressEvent(QKeyEvent* Event) {
  switch (Event->key()) {
  case Qt::Key_Escape:
    Reset_Zoom();
    break;
  case Qt::Key_Plus:
  case Qt::Key_Equal:
    chart()->zoomIn();
    break;
  case Qt::Key_Minus:
    chart()->zoomOut();
    break;
  case Qt::Key_Left:
    chart()->scroll(-chart()->plotArea().width() / 10, 0);
    break;
  case Qt::Key_Right:
    chart()->scroll(chart()->plotArea().width() / 10, 0);
    break;
  case Qt::Key_Up:
    chart()->scroll(0, chart()->plotArea().height() / 10);
    break;
  case Qt::Key_Down:
    chart()->scroll(0, -chart()->plotArea().height() / 10);
    break;
  default:
    QChartView::keyPressEvent(Event);
    return;
  }
  Event->accept();
}

// The window.

TForm_Light_Curve::TForm_Light_Curve(TLight_Curve_Host& Host_, const QString& Target, QWidget* Parent)
    : QWidget(Parent, Qt::Window), Host(Host_), Chosen_Key(Target_Key(Target.toStdString())) {
  setObjectName(QStringLiteral("Form_Light_Curve"));
  Create_Controls();
  Reload();
}

void TForm_Light_Curve::Create_Controls() {
  resize(900, 560);
  auto* Label_Target = new QLabel(QStringLiteral("&Target:"), this);
  ComboBox_Target = new QComboBox(this);
  ComboBox_Target->setObjectName(QStringLiteral("ComboBox_Target"));
  ComboBox_Target->setAccessibleName(QStringLiteral("Target"));
  ComboBox_Target->setAccessibleDescription(QStringLiteral("ComboBox_Target"));
  ComboBox_Target->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  ComboBox_Target->setMinimumContentsLength(16);
  Label_Target->setBuddy(ComboBox_Target);

  const auto New_Button = [this](const char* Name, const QString& Caption) {
    auto* Button = new QPushButton(Caption, this);
    Button->setObjectName(QLatin1String(Name));
    Button->setAccessibleDescription(QLatin1String(Name));
    return Button;
  };
  Button_Reset_Zoom = New_Button("Button_Reset_Zoom", QStringLiteral("&Reset Zoom"));
  Button_Save_PNG = New_Button("Button_Save_PNG", QStringLiteral("Save as &PNG"));
  Button_Save_CSV = New_Button("Button_Save_CSV", QStringLiteral("Save as &CSV"));

  auto* Chart = new QChart;
  Chart->legend()->setAlignment(Qt::AlignBottom);
  // Axis numbers in the user's decimal separator, without grouping of thousands.
  QLocale Locale = QLocale::system();
  Locale.setNumberOptions(QLocale::OmitGroupSeparator);
  Chart->setLocale(Locale);
  Chart->setLocalizeNumbers(true);
  auto* Axis_JD = new QValueAxis;
  Axis_JD->setObjectName(QStringLiteral("Axis_JD"));
  Axis_JD->setTitleText(QStringLiteral("JD"));
  Axis_JD->setTickCount(5);
  // As many decimals as the distance between two ticks needs: whole days for a season, more
  // for a night.
  connect(Axis_JD, &QValueAxis::rangeChanged, Axis_JD, [Axis_JD](qreal Min, qreal Max) {
    const int Decimals = Label_Decimals((Max - Min) / std::max(Axis_JD->tickCount() - 1, 1));
    Axis_JD->setLabelFormat(QStringLiteral("%.%1f").arg(Decimals));
  });
  auto* Axis_Magnitude = new QValueAxis;
  Axis_Magnitude->setObjectName(QStringLiteral("Axis_Magnitude"));
  Axis_Magnitude->setTitleText(QStringLiteral("Magnitude"));
  Axis_Magnitude->setLabelFormat(QStringLiteral("%.2f"));
  Axis_Magnitude->setReverse(true); // bright stars up
  Chart->addAxis(Axis_JD, Qt::AlignBottom);
  Chart->addAxis(Axis_Magnitude, Qt::AlignLeft);

  Chart_View = new TLight_Curve_View(this);
  Chart_View->setObjectName(QStringLiteral("Chart_View"));
  Chart_View->setAccessibleName(QStringLiteral("Light curve"));
  Chart_View->setAccessibleDescription(QStringLiteral("Chart_View"));
  Chart_View->setChart(Chart);

  Label_Status = new QLabel(this);
  Label_Status->setObjectName(QStringLiteral("Label_Status"));
  Label_Status->setAccessibleDescription(QStringLiteral("Label_Status"));

  auto* Top_Row = new QHBoxLayout;
  Top_Row->addWidget(Label_Target);
  Top_Row->addWidget(ComboBox_Target, 1);
  Top_Row->addWidget(Button_Reset_Zoom);
  Top_Row->addWidget(Button_Save_PNG);
  Top_Row->addWidget(Button_Save_CSV);
  auto* Column = new QVBoxLayout(this);
  Column->addLayout(Top_Row);
  Column->addWidget(Chart_View, 1);
  Column->addWidget(Label_Status);
  setTabOrder(ComboBox_Target, Button_Reset_Zoom);
  setTabOrder(Button_Reset_Zoom, Button_Save_PNG);
  setTabOrder(Button_Save_PNG, Button_Save_CSV);
  setTabOrder(Button_Save_CSV, Chart_View);

  Watcher = new QFileSystemWatcher(this);
  Reload_Timer = new QTimer(this);
  Reload_Timer->setObjectName(QStringLiteral("Reload_Timer"));
  Reload_Timer->setSingleShot(true);
  Reload_Timer->setInterval(Reload_Delay_ms);
  connect(Watcher, &QFileSystemWatcher::directoryChanged, Reload_Timer, qOverload<>(&QTimer::start));
  connect(Reload_Timer, &QTimer::timeout, this, &TForm_Light_Curve::Reload);

  connect(ComboBox_Target, qOverload<int>(&QComboBox::activated), this,
          &TForm_Light_Curve::ComboBox_TargetChange);
  connect(Button_Reset_Zoom, &QPushButton::clicked, Chart_View, &TLight_Curve_View::Reset_Zoom);
  connect(Button_Save_PNG, &QPushButton::clicked, this, &TForm_Light_Curve::Button_Save_PNGClick);
  connect(Button_Save_CSV, &QPushButton::clicked, this, &TForm_Light_Curve::Button_Save_CSVClick);
}

void TForm_Light_Curve::Reload() {
  Reload_Timer->stop();
  Folder_Path = Host.Report_Folder();
  Folder = TReport_Folder();
  Folder_Error.clear();
  if (Folder_Path.empty()) {
    Folder_Error = QStringLiteral("No report folder is set (Settings: Report Directory)");
  } else {
    try {
      Folder = Read_Report_Folder(Folder_Path);
    } catch (const std::exception& Error) {
      Folder_Error = QString::fromStdString(Error.what());
    }
  }
  Watch_Folder();
  Fill_Target_List();
  Draw_Target();
}

void TForm_Light_Curve::Watch_Folder() {
  const QString Path = QString::fromStdString(Folder_Path);
  const QStringList Watched = Watcher->directories();
  if (Watched.size() == 1 && Watched.front() == Path)
    return;
  if (!Watched.isEmpty())
    Watcher->removePaths(Watched);
  // A folder that is missing now is watched from the next reload on, once it is there.
  if (!Path.isEmpty() && Folder_Error.isEmpty())
    Watcher->addPath(Path);
}

void TForm_Light_Curve::Fill_Target_List() {
  const QSignalBlocker Quiet(ComboBox_Target);
  ComboBox_Target->clear();
  for (const TTarget_History& Target : Folder.Targets)
    ComboBox_Target->addItem(QString::fromStdString(Target.Name));
  if (Folder.Targets.empty())
    return;
  const TTarget_History* Chosen = Find_Target(Folder, Chosen_Key);
  const int Index = Chosen != nullptr ? static_cast<int>(Chosen - Folder.Targets.data()) : 0;
  ComboBox_Target->setCurrentIndex(Index);
}

const TTarget_History* TForm_Light_Curve::Shown_Target() const {
  const int Index = ComboBox_Target->currentIndex();
  if (Index < 0 || static_cast<size_t>(Index) >= Folder.Targets.size())
    return nullptr;
  return &Folder.Targets[static_cast<size_t>(Index)];
}

void TForm_Light_Curve::Show_Target(const QString& Name) {
  const std::string Key = Target_Key(Name.toStdString());
  if (const TTarget_History* Target = Find_Target(Folder, Key)) {
    Chosen_Key = Key;
    ComboBox_Target->setCurrentIndex(static_cast<int>(Target - Folder.Targets.data()));
    Draw_Target();
  }
}

void TForm_Light_Curve::ComboBox_TargetChange(int Index) {
  if (Index < 0 || static_cast<size_t>(Index) >= Folder.Targets.size())
    return;
  Chosen_Key = Target_Key(Folder.Targets[static_cast<size_t>(Index)].Name);
  Draw_Target();
}

void TForm_Light_Curve::Draw_Target() {
  QChart* Chart = Chart_View->chart();
  Chart_View->Set_Marks({});
  Chart->removeAllSeries();
  QAbstractAxis* Axis_JD = Chart->axes(Qt::Horizontal).front();
  QAbstractAxis* Axis_Magnitude = Chart->axes(Qt::Vertical).front();
  const auto Add = [&](QXYSeries* Series) {
    Chart->addSeries(Series);
    Series->attachAxis(Axis_JD);
    Series->attachAxis(Axis_Magnitude);
  };

  const TTarget_History* Target = Shown_Target();
  setWindowTitle(Target != nullptr ? QStringLiteral("Light Curve - ") + QString::fromStdString(Target->Name)
                                   : QStringLiteral("Light Curve"));
  Button_Save_CSV->setEnabled(Target != nullptr);
  if (Target == nullptr || Target->Observations.empty()) {
    Chart_View->Set_Home(QRectF(QPointF(0.0, 0.0), QPointF(1.0, 1.0)));
    Show_Status(0);
    return;
  }

  // The points of each filter, measurements and limits apart.
  struct TFilter_Points {
    QList<QPointF> Measured, Limits;
    std::vector<size_t> Measured_Index, Limit_Index;
  };
  std::map<std::string, TFilter_Points> Filters;
  const std::vector<TObservation>& Observations = Target->Observations;
  for (size_t i = 0; i < Observations.size(); ++i) {
    const TObservation& O = Observations[i];
    TFilter_Points& Points = Filters[O.Filter];
    (O.Limit ? Points.Limits : Points.Measured).append(QPointF(O.JD, O.Magnitude));
    (O.Limit ? Points.Limit_Index : Points.Measured_Index).push_back(i);
  }

  const char Separator = Host.Host_Number_Format().Decimal_Separator;
  std::vector<TLight_Curve_View::TMark> Marks;
  Marks.reserve(Observations.size());
  const auto Mark_All = [&](QXYSeries* Series, const std::vector<size_t>& Indexes, bool With_Error) {
    for (const size_t i : Indexes) {
      const TObservation& O = Observations[i];
      Marks.push_back({QPointF(O.JD, O.Magnitude), Series,
                       With_Error ? O.Error : std::numeric_limits<double>::quiet_NaN(),
                       QString::fromStdString(Observation_Text(O, Separator))});
    }
  };
  for (auto& [Filter, Points] : Filters) {
    QColor Colour;
    if (!Points.Measured.isEmpty()) {
      QScatterSeries* Series = New_Scatter(Filter_Label(Filter), Measurement_Size);
      Series->setObjectName(QStringLiteral("Measured ") + Filter_Label(Filter));
      Add(Series);
      Series->replace(Points.Measured);
      Series->setBorderColor(Series->color().darker(130));
      Colour = Series->color();
      Mark_All(Series, Points.Measured_Index, true);
    }
    if (!Points.Limits.isEmpty()) {
      QScatterSeries* Series = New_Scatter(Filter_Label(Filter) + QStringLiteral(" limit"), Limit_Size);
      Series->setObjectName(QStringLiteral("Limits ") + Filter_Label(Filter));
      Add(Series);
      if (Colour.isValid())
        Series->setColor(Colour);
      Series->setLightMarker(Limit_Marker(Series->color()));
      Series->replace(Points.Limits);
      Mark_All(Series, Points.Limit_Index, false);
    }
  }

  const std::optional<double> Threshold = Host.Target_Threshold(Target->Name);
  const TLight_Curve_Extent Extent = Light_Curve_Extent(Observations, Threshold);
  const QRectF Home(QPointF(Extent.JD_Low, Extent.Mag_Low), QPointF(Extent.JD_High, Extent.Mag_High));
  QLineSeries* Line = nullptr;
  if (Threshold) {
    Line = new QLineSeries;
    Line->setName(QStringLiteral("Threshold"));
    Line->setObjectName(QStringLiteral("Threshold"));
    Add(Line);
    Line->setPen(QPen(QColor(200, 0, 0), 1.5, Qt::DashLine));
    Line->append(Home.left(), *Threshold);
    Line->append(Home.right(), *Threshold);
  }
  Chart_View->Set_Marks(std::move(Marks));
  Chart_View->Set_Home(Home);
  // Round tick values widen the home range: the threshold crosses the whole plot.
  if (const auto* X = qobject_cast<QValueAxis*>(Axis_JD); Line != nullptr && X != nullptr)
    Line->replace({QPointF(X->min(), *Threshold), QPointF(X->max(), *Threshold)});
  Show_Status(static_cast<int>(Observations.size()));
}

void TForm_Light_Curve::Show_Status(int Observations) {
  QString Text;
  if (!Folder_Error.isEmpty())
    Text = Folder_Error;
  else if (Folder.Targets.empty())
    Text = QStringLiteral("No reports in ") + QString::fromStdString(Folder_Path);
  else
    Text = QStringLiteral("%1 observation%2 shown").arg(Observations).arg(Observations == 1 ? "" : "s");
  if (Folder.Skipped_Lines > 0)
    Text += QStringLiteral("; %1 unreadable line%2 skipped")
                .arg(Folder.Skipped_Lines)
                .arg(Folder.Skipped_Lines == 1 ? "" : "s");
  Label_Status->setText(Text);
  QStringList Problems;
  for (const std::string& Problem : Folder.Problems)
    Problems.append(QString::fromStdString(Problem));
  Label_Status->setToolTip(Problems.join(QLatin1Char('\n')));
}

void TForm_Light_Curve::Save_PNG(const QString& Path) const {
  const QPixmap Picture = Chart_View->grab();
  QByteArray Bytes;
  QBuffer Buffer(&Bytes);
  Buffer.open(QIODevice::WriteOnly);
  if (!Picture.save(&Buffer, "PNG"))
    throw TKorvane_Error(Path.toStdString() + ": cannot encode the picture as PNG");
  Write_File_Whole(Path.toStdString(), Bytes.toStdString());
}

void TForm_Light_Curve::Save_CSV(const QString& Path) const {
  const TTarget_History* Target = Shown_Target();
  Write_File_Whole(Path.toStdString(),
                   Light_Curve_CSV(Target != nullptr ? Target->Observations : std::vector<TObservation>{}));
}

QString TForm_Light_Curve::Ask_Save_Path(const QString& Title, const QString& Filter, const QString& Suffix) {
  QFileDialog Dialog(this, Title, QDir::homePath(), Filter);
  Dialog.setObjectName(QStringLiteral("Save_Dialog"));
  Dialog.setAcceptMode(QFileDialog::AcceptSave);
  Dialog.setFileMode(QFileDialog::AnyFile);
  Dialog.setDefaultSuffix(Suffix);
  if (const TTarget_History* Target = Shown_Target())
    Dialog.selectFile(QString::fromStdString(Target->Name).replace(QLatin1Char('/'), QLatin1Char('_')) +
                      QLatin1Char('.') + Suffix);
  Host.Begin_Modal();
  const int Answer = Dialog.exec();
  Host.End_Modal();
  if (Answer != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
    return {};
  return Dialog.selectedFiles().constFirst();
}

void TForm_Light_Curve::Save_Asked(const QString& Title, const QString& Filter, const QString& Suffix,
                                   void (TForm_Light_Curve::*Save)(const QString&) const) {
  const QString Path = Ask_Save_Path(Title, Filter, Suffix);
  if (Path.isEmpty())
    return;
  try {
    (this->*Save)(Path);
  } catch (const std::exception& Error) {
    Host.Show_Error(Error.what());
  }
}

void TForm_Light_Curve::Button_Save_PNGClick() {
  Save_Asked(QStringLiteral("Save as PNG"), QStringLiteral("PNG images (*.png)"), QStringLiteral("png"),
             &TForm_Light_Curve::Save_PNG);
}

void TForm_Light_Curve::Button_Save_CSVClick() {
  Save_Asked(QStringLiteral("Save as CSV"), QStringLiteral("CSV files (*.csv)"), QStringLiteral("csv"),
             &TForm_Light_Curve::Save_CSV);
}
