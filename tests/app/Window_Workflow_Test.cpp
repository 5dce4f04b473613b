// Opening images in the main window and reading their results, offscreen: the per-file path
// of Open Image (the dialog's files go through Open_Files), the panels for every outcome,
// closing, the header view and the accessibility tree.

#include "app/Korvane_Application.h"
#include "app/Unit_Main.h"
#include "cli/Measure_Command.h"
#include "image/Paint_Marks.h"
#include "image/Unit_Image.h"
#include "report/Report.h"
#include "support/Recording_Messages.h"
#include "support/Star_Field.h"
#include "support/Test_Files.h"
#include "support/Window_Test.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// A 200 x 200 field looking at RA 10 h, Dec +20 degrees: the variable at its centre (unless
// left out) and its comparison star 1.5' north.
TStar_Field_Description Field(bool With_Variable, bool With_WCS, uint64_t Seed) {
  TStar_Field_Description D = Centred_Field(200, 200, 150.0, 20.0);
  D.Write_WCS = With_WCS;
  D.Seed = Seed;
  if (With_Variable)
    D.Stars.push_back(Sky_Star(10.0, 20.0, 30000.0));
  D.Stars.push_back(Sky_Star(10.0, 20.025, 150000.0));
  return D;
}

// A catalogue of one entry: the variable at Dec Variable_Dec, its comparison star at
// Reference_Dec (none when empty), V 12.0, threshold 13.0, chart X1.
TTargetData Entry(double Variable_Dec, std::optional<double> Reference_Dec) {
  TTargetData T;
  T.Name = "V1 Tst";
  T.RA = 10.0;
  T.Dec = Variable_Dec;
  if (Reference_Dec) {
    T.RName = "Ref A";
    T.RRA = 10.0;
    T.RDec = *Reference_Dec;
    T.RFilter = 'V';
    T.Rmag = 12.0;
    T.Threshold = 13.0;
    T.ChartName = "X1";
  }
  return T;
}

class Window_Workflow : public ::testing::Test {
protected:
  void SetUp() override {
    Test_Application();
    ASSERT_TRUE(Temp.isValid());
    Use_Scratch_Home(Temp.path().toStdString(), Temp.path().toStdString() + "/config");
    Previous_Box = Set_Error_Box([this](const std::string& Text) { Error_Boxes.push_back(Text); });
    Main = std::make_unique<TMain_Form>(Messages);
    Main->resize(1300, 800);
    Main->show();
    Main->Settings.Gain = 1.5;
    Main->Settings.Readout_Noise = 10.0;
    Main->Settings.Max_Error = 0.2;
    Write_Star_Field(Make_Star_Field(Field(true, true, 1)), File("field.fit"));
    Write_Star_Field(Make_Star_Field(Field(true, true, 2)), File("field2.fit"));
    Write_Star_Field(Make_Star_Field(Field(true, false, 3)), File("nowcs.fit"));
    Put(File("broken.fit"), "SIMPLE  =                    T\n");
  }
  void TearDown() override {
    Main.reset();
    Set_Error_Box(Previous_Box);
  }

  std::string File(const std::string& Name) const { return (Temp.path() + "/").toStdString() + Name; }
  void Use_Catalogue(const std::vector<TTargetData>& Entries) {
    Main->Catalogue.NTargets = static_cast<int>(Entries.size());
    for (size_t i = 0; i < Entries.size(); ++i)
      Main->Catalogue.Targets[i] = Entries[i];
  }
  void Open(const std::vector<std::string>& Names) {
    QStringList Paths;
    for (const std::string& Name : Names)
      Paths.append(QString::fromStdString(File(Name)));
    Main->Open_Files(Paths);
    QApplication::processEvents();
  }
  // The top panels, left to right, and the error panel.
  std::vector<std::string> Top_Panels() const {
    std::vector<std::string> Texts;
    for (const QLabel* Panel :
         {Main->Panel_Image_Filter, Main->Panel_Plate_Solved, Main->Panel_Chart, Main->Panel_Magnitude,
          Main->Panel_Reference, Main->Panel_STDEV, Main->Panel_Outburst, Main->Panel_Errors})
      Texts.push_back(Panel->text().toStdString());
    return Texts;
  }
  // Lets the delayed refresh of the panels run.
  void Wait_For_Refresh() {
    QElapsedTimer Clock;
    Clock.start();
    while (Main->Timer1->isActive() && Clock.elapsed() < 3000)
      QApplication::processEvents(QEventLoop::AllEvents, 20);
  }

  QTemporaryDir Temp;
  TRecording_Messages Messages;
  std::vector<std::string> Error_Boxes;
  TError_Box Previous_Box;
  std::unique_ptr<TMain_Form> Main;
};

TEST_F(Window_Workflow, Every_Outcome_Shows_In_The_Panels) {
  // What korvane-measure reports for the same file and settings: the panels show the same.
  TTarget_Catalogue Catalogue;
  Catalogue.NTargets = 1;
  Catalogue.Targets[0] = Entry(20.0, 20.025);
  const TMeasure_Result Measured = Measure_File(File("field.fit"), Catalogue, Main->Settings, Messages);
  ASSERT_EQ(Measured.Image.Last_Error, TResult_Code::Measured) << Measured.Error;
  const std::string Magnitude = "mag " + Format_Fixed(Measured.Image.Magnitude, 2, 3, '.');
  const std::string Error = "stdev " + Format_Fixed(Measured.Image.Std_Error, 2, 3, '.');

  const struct {
    const char* Name;
    std::string File;
    std::vector<TTargetData> Catalogue;
    std::vector<std::string> Panels; // filter, solved, chart, magnitude, reference, error, state, errors
    bool Report_Button;
  } Cases[] = {
      {"measured",
       "field.fit",
       {Entry(20.0, 20.025)},
       {"V filter", "Plate Solved", "Chart: X1", Magnitude, "ref 12.000V", Error, "Quiescent", ""},
       true},
      {"not plate-solved",
       "nowcs.fit",
       {Entry(20.0, 20.025)},
       {"", "Not Plate Solved", "", "", "", "", "", ""},
       false},
      {"variable outside",
       "field.fit",
       {Entry(21.0, 20.025)},
       {"", "", "", "", "", "", "", "No star!"},
       false},
      {"reference outside",
       "field.fit",
       {Entry(20.0, 21.0)},
       {"", "Plate Solved", "Chart: X1", "", "No reference!", "", "", ""},
       false},
      {"no reference star",
       "field.fit",
       {Entry(20.0, std::nullopt)},
       {"", "Plate Solved", "", "", "No data!", "", "", ""},
       false},
      {"empty catalogue", "field.fit", {}, {"", "", "", "", "", "", "", ""}, false},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    Main->CloseAll1Click();
    Wait_For_Refresh();
    Main->Panel_Errors->clear();
    Use_Catalogue(Case.Catalogue);
    Open({Case.File});
    EXPECT_EQ(Top_Panels(), Case.Panels);
    EXPECT_EQ(Main->Button_AAVSO->isVisible(), Case.Report_Button);
    EXPECT_TRUE(Main->ComboBox_Scale->isVisible());
  }
  EXPECT_TRUE(Error_Boxes.empty());
}

// The check star: drawn in its own colour, its offset in the check panel; an off check star
// and a saturated star are said in the error panel, the variable's panels as without them.
TEST_F(Window_Workflow, Check_Star_And_Saturation_Show_In_The_Panels) {
  for (const double Reference_Flux : {150000.0, 5.0e6}) {
    TStar_Field_Description D = Field(true, true, 4);
    D.Stars.back().Flux = Reference_Flux;
    D.Stars.push_back(Sky_Star(10.0, 19.975, 150000.0)); // the comparison's twin, 1.5' south
    Write_Star_Field(Make_Star_Field(D), File(Reference_Flux > 150000.0 ? "saturated.fit" : "check.fit"));
  }
  const auto With_Check = [](double Kmag) {
    TTargetData T = Entry(20.0, 20.025);
    T.KName = "Chk K";
    T.KRA = 10.0;
    T.KDec = 19.975;
    T.Kmag = Kmag;
    return T;
  };
  // Pixels of the check star's colour in the active window's bitmap.
  const auto Check_Pixels = [this] {
    const QImage& Bitmap = Main->Active_Image()->Image_Bmp;
    int Count = 0;
    for (int y = 0; y < Bitmap.height(); ++y)
      for (int x = 0; x < Bitmap.width(); ++x)
        Count += Bitmap.pixelColor(x, y) == Check_Label_Colour();
    return Count;
  };
  const struct {
    const char* Name;
    std::string File;
    std::optional<double> Kmag; // none: no check star
    std::string Check_Panel;    // its start
    std::string Errors;
  } Cases[] = {
      {"no check star", "check.fit", std::nullopt, "", ""},
      {"the comparison's twin", "check.fit", 12.0, "Check: ", ""},
      {"catalogue magnitude 0.5 off", "check.fit", 12.5, "Check: -0.", "Check star off!"},
      {"saturated, no check star", "saturated.fit", std::nullopt, "", "Saturated: Reference"},
      {"saturated comparison", "saturated.fit", 12.0, "Check: ", "Saturated: Reference"},
  };
  std::vector<std::vector<std::string>> Without_Check;
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    Main->CloseAll1Click();
    Wait_For_Refresh();
    Use_Catalogue({Case.Kmag ? With_Check(*Case.Kmag) : Entry(20.0, 20.025)});
    Open({Case.File});
    ASSERT_NE(Main->Active_Image(), nullptr);
    const std::vector<std::string> Panels = Top_Panels();
    // The variable's panels are those of the same file without a check star.
    std::vector<std::string> Variable(Panels.begin(), Panels.end() - 1);
    if (!Case.Kmag) {
      Without_Check.push_back(Variable);
    } else {
      ASSERT_FALSE(Without_Check.empty());
      EXPECT_EQ(Variable, Without_Check.back());
    }
    const std::string Check = Main->Panel_Check->text().toStdString();
    EXPECT_EQ(Check.substr(0, Case.Check_Panel.size()), Case.Check_Panel) << Check;
    EXPECT_EQ(Check.empty(), Case.Check_Panel.empty()) << Check;
    EXPECT_EQ(Panels.back(), Case.Errors);
    EXPECT_EQ(Main->Panel_Errors->toolTip().isEmpty(), Case.Errors.empty());
    EXPECT_EQ(Check_Pixels() > 0, Case.Kmag.has_value());
  }
  EXPECT_TRUE(Error_Boxes.empty());
}

// A frame as a plate solver writes it, CRPIX counted from 1. With the setting on, the window
// measures it exactly as korvane-measure --fits-crpix (or a settings file saying so) does, and
// finds the true magnitude; off, the variable's aperture sits a pixel right and down of the
// star (only the comparison star is re-centred) and the magnitude is many errors too faint.
TEST_F(Window_Workflow, Solver_Frames_Measure_Right_Only_With_Crpix_From_1) {
  const TStar_Field_Description Rendered = Field(true, true, 7);
  TStar_Field Frame = Make_Star_Field(Rendered);
  TStar_Field_Description Solved = Rendered;
  Solved.Crpix1 += 1.0;
  Solved.Crpix2 += 1.0;
  Frame.Header = Make_Star_Field(Solved).Header; // the same pixels under the solver's header
  Write_Star_Field(Frame, File("solved.fit"));
  Use_Catalogue({Entry(20.0, 20.025)});
  Put(File("targets.csv"),
      "Name\r\nh\r\n--\r\nV1 Tst,10,0,0,+20,0,0,Ref A,10,0,0,+20,1,30,V,12.0,13.0,X1\r\n");
  TSettings& S = Main->Settings;
  S.Radius = 3, S.Gap = 3, S.Annulus = 3, S.Snap_to_Centre = true;

  const auto Window = [&](bool Fits_Crpix) {
    S.Fits_Crpix = Fits_Crpix;
    Open({"solved.fit"});
    const TForm_Image* Image = Main->Active_Image();
    EXPECT_TRUE(Image != nullptr && Image->Last_Error == TResult_Code::Measured);
    return Image != nullptr ? std::pair(Image->Magnitude, Image->Std_Error) : std::pair(0.0, 0.0);
  };
  // The command with the window's settings in its file, line 21 as given, and Options.
  const auto Command = [&](bool Ini_Fits_Crpix, const std::vector<std::string>& Options) {
    TSettings Ini = S;
    Ini.Fits_Crpix = Ini_Fits_Crpix;
    Ini.DataFileName = File("targets.csv");
    EXPECT_TRUE(Write_Settings_File(File("command.ini"), Ini));
    std::vector<std::string> Args = {"--json", "--settings", File("command.ini")};
    Args.insert(Args.end(), Options.begin(), Options.end());
    Args.push_back(File("solved.fit"));
    std::ostringstream Out, Err;
    EXPECT_EQ(Run_Measure(Args, TMeasure_Environment{}, Out, Err), Exit_All_Measured) << Err.str();
    const std::string Json = Out.str();
    const size_t At = Json.find("\"Magnitude\":");
    double Magnitude = 0.0;
    if (At != std::string::npos)
      std::from_chars(Json.data() + At + 12, Json.data() + Json.size(), Magnitude);
    return Magnitude;
  };

  const auto [On, On_Error] = Window(true);
  const auto [Off, Off_Error] = Window(false);
  EXPECT_EQ(On, Command(false, {"--fits-crpix"}));
  EXPECT_EQ(On, Command(true, {}));
  EXPECT_EQ(Off, Command(true, {"--no-fits-crpix"}));
  EXPECT_EQ(Off, Command(false, {}));
  const double Truth = 12.0 - 2.5 * std::log10(30000.0 / 150000.0);
  EXPECT_LT(std::abs(On - Truth), 3.0 * On_Error) << On << " +- " << On_Error;
  EXPECT_GT(Off - Truth, 10.0 * Off_Error) << Off << " +- " << Off_Error;
  EXPECT_TRUE(Error_Boxes.empty());
}

// Linux file names keep their case: the dialog's one filter, shown as "FITs files (*.fit)",
// takes .fit, .fits and .fts in any case, gzip'ed too, and tile-compressed .fz files. A file
// chosen there opens measured.
TEST_F(Window_Workflow, Open_Image_Dialog_Finds_Fits_Files_In_Any_Case) {
  Use_Catalogue({Entry(20.0, 20.025)});
  bool Checked = false;
  QTimer::singleShot(0, Main->OpenDialog1, [&] {
    QFileDialog* Dialog = Main->OpenDialog1;
    EXPECT_EQ(Dialog->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_EQ(Dialog->defaultSuffix(), QStringLiteral("fit"));
    ASSERT_EQ(Dialog->nameFilters().size(), 1);
    const QString Filter = Dialog->nameFilters().front();
    EXPECT_TRUE(Filter.startsWith(QStringLiteral("FITs files (*.fit)")));
    EXPECT_TRUE(Dialog->testOption(QFileDialog::HideNameFilterDetails));
    // The patterns are the last group in parentheses, as the dialog reads them.
    const QStringList Patterns = Filter.mid(Filter.lastIndexOf(u'(') + 1).chopped(1).split(u' ');
    const std::pair<const char*, bool> Names[] = {
        {"a.fit", true},     {"b.FIT", true},     {"c.Fits", true},     {"d.fts", true},
        {"e.FTS", true},     {"f.txt", false},    {"g.fit.bak", false}, {"h.fz", true},
        {"i.fits.fz", true}, {"j.fits.gz", true}, {"k.FIT.GZ", true},   {"l.gz", false}};
    for (const auto& [Name, Frame] : Names) {
      bool Matched = false;
      for (const QString& Pattern : Patterns)
        Matched |= QRegularExpression(QRegularExpression::wildcardToRegularExpression(Pattern))
                       .match(QString::fromLatin1(Name))
                       .hasMatch();
      EXPECT_EQ(Matched, Frame) << Name;
    }
    Checked = true;
    Dialog->selectFile(QString::fromStdString(File("field.fit")));
    QMetaObject::invokeMethod(Dialog, "accept");
  });
  Main->Open1->trigger();
  EXPECT_TRUE(Checked);
  EXPECT_EQ(Main->Mdi_Area->subWindowList().size(), 1);
  EXPECT_EQ(Main->Panel_Outburst->text(), QStringLiteral("Quiescent"));
}

TEST_F(Window_Workflow, Several_Files_Closing_And_A_Failing_File) {
  Use_Catalogue({Entry(20.0, 20.025)});
  // Several files: each its own window; the panels end on the last one.
  Open({"field.fit", "nowcs.fit"});
  EXPECT_EQ(Main->Mdi_Area->subWindowList().size(), 2);
  EXPECT_EQ(Main->Panel_Plate_Solved->text(), QStringLiteral("Not Plate Solved"));

  // Close All from the last child: no window, the view controls hidden, and after the
  // delayed refresh the panels empty and the report button hidden.
  Main->CloseAll1Click();
  QApplication::processEvents();
  EXPECT_FALSE(Main->ComboBox_Scale->isVisible());
  Wait_For_Refresh();
  EXPECT_EQ(Main->Mdi_Area->subWindowList().size(), 0);
  EXPECT_EQ(Main->Panel_Plate_Solved->text(), QString());
  EXPECT_FALSE(Main->Button_AAVSO->isVisible());

  // Close Image without a window empties the panels and hides the button.
  Open({"field.fit"});
  Main->CloseAll1Click();
  Main->Panel_Magnitude->setText(QStringLiteral("stale"));
  Main->Close2Click();
  EXPECT_EQ(Main->Panel_Magnitude->text(), QString());
  EXPECT_FALSE(Main->Button_AAVSO->isVisible());
  Wait_For_Refresh();

  // A file that cannot be read ends the command there: its window stays, the files after
  // it are not opened, the view controls are not shown.
  EXPECT_THROW(Open({"field.fit", "broken.fit", "field2.fit"}), TKorvane_Error);
  EXPECT_EQ(Main->Mdi_Area->subWindowList().size(), 2);
  EXPECT_FALSE(Main->ComboBox_Scale->isVisible());
}

TEST_F(Window_Workflow, Header_View_Lists_The_Cards_Before_End) {
  Use_Catalogue({});
  Open({"field.fit"});
  const TForm_Image* Image = Main->Active_Image();
  ASSERT_NE(Image, nullptr);
  Main->ShowHeader1->trigger();
  QTableWidget* Grid = Main->StringGrid_FITs;
  ASSERT_TRUE(Grid->isVisible());
  ASSERT_EQ(Grid->rowCount(), static_cast<int>(Image->NKeys));
  for (int i = 0; i < Grid->rowCount(); ++i) {
    const THeader_Card& Card = Image->Cards[static_cast<size_t>(i)];
    EXPECT_EQ(Grid->item(i, 0)->text().toStdString(), Card.Key);
    EXPECT_EQ(Grid->item(i, 1)->text().toStdString(), Card.Value);
    EXPECT_EQ(Grid->item(i, 2)->text().toStdString(), Card.Comment);
  }
  // 22 pixels for the title, each card and one more, within the client height less 50.
  const int Rows = static_cast<int>(Image->NKeys) + 1;
  EXPECT_EQ(Grid->height(), std::min((Rows + 1) * 22, Main->centralWidget()->height() - 50));
  Main->resize(1300, 200);
  QApplication::processEvents();
  Main->ShowHeader1->trigger();
  EXPECT_EQ(Grid->height(), Main->centralWidget()->height() - 50);
  // Closing the image leaves the header view; the FITs menu's Close hides it.
  Main->CloseAll1Click();
  QApplication::processEvents();
  EXPECT_TRUE(Grid->isVisible());
  Main->Close1->trigger();
  EXPECT_FALSE(Grid->isVisible());
}

// The AAVSO button writes the active image's report, the bytes the core writer (and so
// korvane-measure) gives; a missing folder is code 6; differing filters are said first; a frame
// whose header gives no time is code 6 too, with a box naming the cards looked for.
TEST_F(Window_Workflow, Report_Button_Writes_The_Active_Images_Report) {
  Main->AAVSO_Report(); // no image window: nothing at all
  EXPECT_EQ(Main->Panel_Report_Written->text(), QString());

  TTargetData Red = Entry(20.0, 20.025);
  Red.RFilter = 'R';
  const struct {
    const char* Name;
    TTargetData Target;
    bool Folder_Exists;
    std::vector<std::string> Boxes;
    bool Without_Time = false;
  } Cases[] = {
      {"written", Entry(20.0, 20.025), true, {}},
      {"filters differ", Red, true, {"Image Filter = V, Ref Filter = R"}},
      {"no folder", Entry(20.0, 20.025), false, {}},
      {"no time",
       Entry(20.0, 20.025),
       true,
       {"Report not written: the image's header gives no time of observation: none of the cards JD, "
        "DATE-AVG, "
        "MJD-AVG, DATE-OBS (with TIME-OBS or UT when it holds only a date) or MJD-OBS is there"},
       true},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    Main->CloseAll1Click();
    Wait_For_Refresh();
    Main->Panel_Report_Written->clear();
    Main->Panel_Errors->clear();
    Messages.Texts.clear();
    const std::string Folder = File(std::string("reports-") + Case.Name);
    if (Case.Folder_Exists)
      std::filesystem::create_directories(Folder);
    Main->Settings.ReportFileDir = Folder;
    Use_Catalogue({Case.Target});
    Open({"field.fit"});
    TForm_Image* Image = Main->Active_Image();
    ASSERT_NE(Image, nullptr);
    ASSERT_TRUE(Main->Button_AAVSO->isVisible());
    if (Case.Without_Time)
      Image->Time_From.clear(); // as a header without any time card leaves it
    Main->Button_AAVSO->click();
    EXPECT_EQ(Messages.Texts, Case.Boxes);
    const std::string Path = Folder + "/" + Report_File_Name(*Image);
    if (Case.Without_Time) {
      EXPECT_TRUE(std::filesystem::is_empty(Folder));
      EXPECT_EQ(Main->Panel_Errors->text(), QStringLiteral("No observation time!"));
      EXPECT_FALSE(Image->AAVSO_Written);
      EXPECT_EQ(Image->Last_Error, TResult_Code::No_Report_Dir);
    } else if (Case.Folder_Exists) {
      EXPECT_EQ(Get(Path), Report_Text(*Image, Report_Settings_Of(Main->Settings)));
      EXPECT_EQ(Main->Panel_Report_Written->text(), QStringLiteral("Report written"));
      EXPECT_TRUE(Image->AAVSO_Written);
      EXPECT_EQ(Image->Last_Error, TResult_Code::Measured);
    } else {
      EXPECT_FALSE(std::filesystem::exists(Path));
      EXPECT_EQ(Main->Panel_Errors->text(), QStringLiteral("Report dir not found!"));
      EXPECT_FALSE(Image->AAVSO_Written);
      EXPECT_EQ(Image->Last_Error, TResult_Code::No_Report_Dir);
      Main->Show_Results();
      EXPECT_EQ(Main->Panel_Errors->text(), QStringLiteral("No report dir!"));
      EXPECT_FALSE(Main->Button_AAVSO->isVisible());
      // The measurement stands: once the folder is there, the report is written.
      std::filesystem::create_directories(Folder);
      Main->AAVSO_Report();
      EXPECT_EQ(Get(Path), Report_Text(*Image, Report_Settings_Of(Main->Settings)));
    }
  }
  // Called through automation on an image that was not measured (here one without world
  // coordinates) nothing is written: the image holds no observation (code 6).
  Main->CloseAll1Click();
  Wait_For_Refresh();
  Messages.Texts.clear();
  Main->Settings.ReportFileDir = File("reports-unmeasured");
  std::filesystem::create_directories(Main->Settings.ReportFileDir);
  Open({"nowcs.fit"});
  const TForm_Image* Unmeasured = Main->Active_Image();
  ASSERT_NE(Unmeasured, nullptr);
  ASSERT_EQ(Unmeasured->Last_Error, TResult_Code::Not_Plate_Solved);
  Main->AAVSO_Report();
  EXPECT_TRUE(std::filesystem::is_empty(Main->Settings.ReportFileDir));
  EXPECT_EQ(Unmeasured->Last_Error, TResult_Code::No_Report_Dir);
  EXPECT_TRUE(Messages.Texts.empty());
}

// A screen reader finds each panel by its objectName and reads its text.
TEST_F(Window_Workflow, Panels_Are_In_The_Accessibility_Tree) {
  Use_Catalogue({Entry(20.0, 20.025)});
  Open({"field.fit"});
  std::vector<std::pair<std::string, std::string>> Found; // description, name
  const std::function<void(QAccessibleInterface*, int)> Walk = [&](QAccessibleInterface* Node, int Depth) {
    if (Node == nullptr || Depth > 30)
      return;
    Found.emplace_back(Node->text(QAccessible::Description).toStdString(),
                       Node->text(QAccessible::Name).toStdString());
    for (int i = 0; i < Node->childCount(); ++i)
      Walk(Node->child(i), Depth + 1);
  };
  Walk(QAccessible::queryAccessibleInterface(Main.get()), 0);
  const auto Name_Of = [&](const std::string& Description) -> std::optional<std::string> {
    for (const auto& [Seen, Name] : Found)
      if (Seen == Description)
        return Name;
    return std::nullopt;
  };
  EXPECT_EQ(Name_Of("Panel_Magnitude"), Main->Panel_Magnitude->text().toStdString());
  EXPECT_EQ(Name_Of("Panel_Outburst"), "Quiescent");
  EXPECT_EQ(Name_Of("Panel_Plate_Solved"), "Plate Solved");
  EXPECT_EQ(Name_Of("Panel_BP"), Main->Panel_BP->text().toStdString());
  EXPECT_EQ(Name_Of("Panel_Targets"), Main->Panel_Targets->text().toStdString());
  EXPECT_EQ(Name_Of("Button_AAVSO"), "AAVSO");
  EXPECT_EQ(Name_Of("Button_Visualisation"), "RESET VIS");
  EXPECT_TRUE(Name_Of("ComboBox_Scale").has_value());
}

} // namespace
