// The light curve window offscreen, over a folder of reports: the series it draws per filter
// with limits apart, the reversed magnitude axis and the threshold line, following the folder
// as reports are written, saving the chart, a folder that is not there, and the main window's
// menu command.

#include "app/Unit_Main.h"
#include "lightcurve/Unit_Light_Curve.h"
#include "support/Recording_Messages.h"
#include "support/Window_Test.h"
#include "text/Messages.h"
#include "text/Output_File.h"

#include <gtest/gtest.h>

#include <QAbstractAxis>
#include <QChart>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QToolTip>
#include <QValueAxis>
#include <QXYSeries>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

// A report as Korvane writes it, holding one data line per entry of Lines.
std::string Report(const std::vector<std::string>& Lines) {
  std::string Text = "#TYPE=EXTENDED\r\n#OBSCODE=XYZ\r\n#SOFTWARE=Korvane V1.0\r\n#DELIM=,\r\n#DATE=JD\r\n"
                     "#OBSTYPE=CCD\r\n"
                     "#NAME,DATE,MAG,MERR,FILT,TRANS,MTYPE,CNAME,CMAG,KNAME,KMAG,AMASS,GROUP,CHART,NOTES\r\n";
  for (const std::string& Line : Lines)
    Text += Line + "\r\n";
  return Text;
}

// One data line: MAG is written as given ("<13.5" for a limit).
std::string Line(const std::string& Name, const std::string& JD, const std::string& Mag,
                 const std::string& Error, const std::string& Filter) {
  return Name + "," + JD + "," + Mag + "," + Error + "," + Filter + ",NO,STD,C1,-9.1,na,na,na,na,X1,na";
}

class TFake_Host : public TLight_Curve_Host {
public:
  std::string Folder;
  std::map<std::string, double> Thresholds; // by the catalogue's spelling
  std::vector<std::string> Errors;

  std::string Report_Folder() const override { return Folder; }
  TNumber_Format Host_Number_Format() const override { return {','}; }
  std::optional<double> Target_Threshold(std::string_view Name) const override {
    for (const auto& [Catalogue_Name, Threshold] : Thresholds)
      if (Target_Key(Catalogue_Name) == Target_Key(Name))
        return Threshold;
    return std::nullopt;
  }
  void Show_Error(const std::string& Text) override { Errors.push_back(Text); }
  void Begin_Modal() override {}
  void End_Modal() override {}
};

using TPoints = std::vector<std::pair<double, double>>;

// Every series of the chart by name with its points, in drawing order.
std::map<QString, TPoints> Series_Points(const TForm_Light_Curve& Form) {
  std::map<QString, TPoints> Found;
  for (QAbstractSeries* Series : Form.Chart_View->chart()->series()) {
    TPoints& Points = Found[Series->name()];
    for (const QPointF& P : static_cast<QXYSeries*>(Series)->points())
      Points.emplace_back(P.x(), P.y());
  }
  return Found;
}

bool Wait_For(const std::function<bool()>& Done) {
  QElapsedTimer Clock;
  Clock.start();
  while (!Done() && Clock.elapsed() < 5000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  return Done();
}

class Window_Light_Curve : public ::testing::Test {
protected:
  void SetUp() override {
    Test_Application();
    ASSERT_TRUE(Temp.isValid());
    Host.Folder = Temp.path().toStdString();
    Host.Thresholds = {{"SS Cyg", 11.5}};
    Write("SS_Cyg_1.txt", {Line("SS Cyg", "2459000.50000", "12.100", "0.020", "V")});
    Write("SS_Cyg_2.txt", {Line("SS CYG", "2459001.25000", "<13.500", "0.300", "V")});
    // Another program's file: several lines, one damaged.
    Write("other.txt", {Line("SS Cyg", "2459002.75000", "11.800", "0.030", "V"),
                        Line("SS Cyg", "2459002.76000", "12.600", "0.050", "B"),
                        Line("SS Cyg", "2459003.00000", "12.900", "na", ""),
                        Line("SS Cyg", "2459003.50000", "<13.100", "na", "B"), "SS Cyg,2459004,oops",
                        Line("Z Cam", "2459000.00000", "10.400", "0.010", "V")});
  }
  void Write(const std::string& Name, const std::vector<std::string>& Lines) {
    Write_File_Whole(Host.Folder + "/" + Name, Report(Lines));
  }

  QTemporaryDir Temp;
  TFake_Host Host;
};

// Each filter its own series of (JD, magnitude), limits in series of their own, the
// threshold as a level line of the catalogue's value, bright magnitudes up.
TEST_F(Window_Light_Curve, Draws_Filters_Limits_And_Threshold) {
  struct TCase {
    QString Asked; // the active image's target
    QString Shown;
    std::map<QString, TPoints> Series; // the threshold line apart
    std::optional<double> Threshold;
    QString Status;
  };
  const TCase Cases[] = {
      {"ss  cyg",
       "SS Cyg",
       {{"V", {{2459000.5, 12.1}, {2459002.75, 11.8}}},
        {"V limit", {{2459001.25, 13.5}}},
        {"B", {{2459002.76, 12.6}}},
        {"B limit", {{2459003.5, 13.1}}},
        {"no filter", {{2459003.0, 12.9}}}},
       11.5,
       "6 observations shown; 1 unreadable line skipped"},
      {"Z Cam",
       "Z Cam",
       {{"V", {{2459000.0, 10.4}}}},
       std::nullopt,
       "1 observation shown; 1 unreadable line skipped"},
      {"", "SS Cyg", {}, 11.5, {}}, // no target asked: the first one
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Asked.toStdString());
    TForm_Light_Curve Form(Host, Case.Asked);
    ASSERT_NE(Form.Shown_Target(), nullptr);
    EXPECT_EQ(Form.windowTitle(), "Light Curve - " + Case.Shown);
    EXPECT_EQ(Form.ComboBox_Target->count(), 2);
    EXPECT_EQ(Form.ComboBox_Target->currentText(), Case.Shown);
    if (Case.Status.isEmpty())
      continue;
    std::map<QString, TPoints> Series = Series_Points(Form);
    const auto Line = Series.find("Threshold");
    ASSERT_EQ(Line != Series.end(), Case.Threshold.has_value());
    if (Case.Threshold) {
      ASSERT_EQ(Line->second.size(), 2u);
      EXPECT_EQ(Line->second[0].second, *Case.Threshold);
      EXPECT_EQ(Line->second[1].second, *Case.Threshold);
      EXPECT_LE(Line->second[0].first, 2459000.5);
      EXPECT_GE(Line->second[1].first, 2459003.5);
      Series.erase(Line);
    }
    EXPECT_EQ(Series, Case.Series);
    const auto* Magnitude = qobject_cast<QValueAxis*>(Form.Chart_View->chart()->axes(Qt::Vertical).front());
    ASSERT_NE(Magnitude, nullptr);
    EXPECT_TRUE(Magnitude->isReverse());
    EXPECT_EQ(Magnitude->titleText(), "Magnitude");
    EXPECT_EQ(Form.Label_Status->text(), Case.Status);
    // Every point lies within the ranges first shown, the threshold too.
    const auto* JD_Axis = qobject_cast<QValueAxis*>(Form.Chart_View->chart()->axes(Qt::Horizontal).front());
    ASSERT_NE(JD_Axis, nullptr);
    for (const auto& [Name, Points] : Series_Points(Form))
      for (const auto& [JD, Mag] : Points)
        EXPECT_TRUE(JD >= JD_Axis->min() && JD <= JD_Axis->max() && Mag >= Magnitude->min() &&
                    Mag <= Magnitude->max())
            << Name.toStdString() << " " << JD << " " << Mag;
  }
}

// A report written into the folder shows without a word to the window, on the target the
// user chose; Reload (the main window's call after its own report) shows it at once.
TEST_F(Window_Light_Curve, Follows_The_Report_Folder) {
  TForm_Light_Curve Form(Host, "SS Cyg");
  Form.ComboBox_Target->setCurrentIndex(Form.ComboBox_Target->findText("Z Cam"));
  Form.ComboBox_Target->activated(Form.ComboBox_Target->currentIndex());
  ASSERT_EQ(Series_Points(Form)["V"].size(), 1u);

  Write("Z_Cam_2.txt", {Line("Z Cam", "2459005.00000", "10.900", "0.010", "V")});
  ASSERT_TRUE(Wait_For([&] { return Series_Points(Form)["V"].size() == 2; }));
  EXPECT_EQ(Series_Points(Form)["V"].back(), std::make_pair(2459005.0, 10.9));
  EXPECT_EQ(Form.windowTitle(), "Light Curve - Z Cam");

  Write("Z_Cam_3.txt", {Line("Z Cam", "2459006.00000", "<12.000", "0.3", "V")});
  Form.Reload();
  EXPECT_EQ(Series_Points(Form)["V limit"], (TPoints{{2459006.0, 12.0}}));
  EXPECT_EQ(Form.Label_Status->text(), "3 observations shown; 1 unreadable line skipped");
}

// Save as PNG writes a picture of the chart view's size; a file that cannot be written says so
// and leaves nothing behind.
TEST_F(Window_Light_Curve, Saves_The_Chart_As_PNG) {
  TForm_Light_Curve Form(Host, "SS Cyg");
  Form.resize(640, 420);
  Form.show();
  ASSERT_TRUE(Wait_For([&] { return Form.Chart_View->isVisible(); }));
  const QString Path = Temp.filePath("curve.png");
  Form.Save_PNG(Path);
  const QImage Picture(Path, "PNG");
  ASSERT_FALSE(Picture.isNull());
  EXPECT_EQ(Picture.size(), Form.Chart_View->size());
  EXPECT_THROW(Form.Save_PNG(Temp.filePath("missing/curve.png")), TKorvane_Error);
  EXPECT_FALSE(QDir(Temp.filePath("missing")).exists());
}

// Resting the mouse on a point shows its date, magnitude and error in the user's decimal
// separator; a place beside the points has no tooltip.
TEST_F(Window_Light_Curve, Tooltip_Tells_The_Point_Under_The_Mouse) {
  TForm_Light_Curve Form(Host, "SS Cyg");
  Form.show();
  ASSERT_TRUE(Wait_For([&] { return Form.Chart_View->isVisible(); }));
  QChart* Chart = Form.Chart_View->chart();
  QAbstractSeries* V = nullptr;
  for (QAbstractSeries* Series : Chart->series())
    if (Series->name() == "V")
      V = Series;
  ASSERT_NE(V, nullptr);
  const QPoint On =
      Form.Chart_View->mapFromScene(Chart->mapToScene(Chart->mapToPosition({2459000.5, 12.1}, V)));
  const QPoint At = On + QPoint(2, -2);
  QHelpEvent Request(QEvent::ToolTip, At, Form.Chart_View->viewport()->mapToGlobal(At));
  QApplication::sendEvent(Form.Chart_View->viewport(), &Request);
  EXPECT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(QToolTip::text(),
            QString::fromUtf8("JD 2459000,50000\n2020-05-31 00:00:00 UTC\nV 12,100 \u00b1 0,020"));
  EXPECT_EQ(Form.Chart_View->Mark_At(On + QPoint(0, 40)), nullptr);
}

// No folder set, a folder that is not there, an empty folder: an empty chart and a status
// that says which.
TEST_F(Window_Light_Curve, Says_Why_Nothing_Is_Shown) {
  const QString Empty = Temp.filePath("empty");
  ASSERT_TRUE(QDir().mkpath(Empty));
  const std::pair<std::string, QString> Cases[] = {
      {"", "No report folder is set (Settings: Report Directory)"},
      {Temp.filePath("gone").toStdString(), Temp.filePath("gone") + ": cannot read the folder"},
      {Empty.toStdString(), "No reports in " + Empty},
  };
  for (const auto& [Folder, Status] : Cases) {
    SCOPED_TRACE(Folder);
    Host.Folder = Folder;
    TForm_Light_Curve Form(Host, "SS Cyg");
    EXPECT_EQ(Form.Shown_Target(), nullptr);
    EXPECT_TRUE(Form.Chart_View->chart()->series().isEmpty());
    EXPECT_TRUE(Form.Label_Status->text().startsWith(Status)) << Form.Label_Status->text().toStdString();
    EXPECT_EQ(Form.windowTitle(), "Light Curve");
  }
}

// The menu command opens one window on the report folder of the settings, and the threshold
// comes from the catalogue.
TEST_F(Window_Light_Curve, Main_Window_Opens_One_Window) {
  ASSERT_TRUE(QDir().mkpath(Temp.filePath("config")));
  Use_Scratch_Home(Temp.path().toStdString(), Temp.filePath("config").toStdString());
  TRecording_Messages Messages;
  TMain_Form Main(Messages);
  Main.Settings.ReportFileDir = Host.Folder;
  Main.Catalogue.Targets[0].Name = "SS CYG";
  Main.Catalogue.Targets[0].Threshold = 11.25;
  Main.Catalogue.NTargets = 1;
  EXPECT_EQ(Main.LightCurve1->shortcut(), QKeySequence(QStringLiteral("Ctrl+L")));
  Main.LightCurve1->trigger();
  TForm_Light_Curve* Form = Main.Form_Light_Curve;
  ASSERT_NE(Form, nullptr);
  EXPECT_TRUE(Form->isWindow());
  EXPECT_EQ(Form->parentWidget(), &Main);
  EXPECT_EQ(Form->windowTitle(), "Light Curve - SS Cyg");
  EXPECT_EQ(Series_Points(*Form)["Threshold"].front().second, 11.25);
  Main.LightCurve1->trigger();
  EXPECT_EQ(Main.Form_Light_Curve, Form);
  EXPECT_EQ(Main.findChildren<TForm_Light_Curve*>().size(), 1);
}

} // namespace
