#include "app/Korvane_Application.h"
#include "app/Unit_Help.h"
#include "app/Unit_Main.h"
#include "settings/Unit_Settings.h"
#include "support/Recording_Messages.h"
#include "support/Test_Files.h"
#include "support/Unprivileged.h"
#include "support/Window_Test.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

std::string Crlf_Lines(const std::vector<std::string>& Lines) {
  std::string Text;
  for (const std::string& Line : Lines)
    Text += Line + "\r\n";
  return Text;
}

// A settings file in the written form, naming Data_File as the target file.
std::vector<std::string> Settings_Lines(const std::string& Data_File) {
  return {"[Korvane]",
          "150",
          "20",
          "900",
          "600",
          "3",
          "10",
          "4",
          "2",
          Data_File,
          " 8.50000000000000E+0000",
          " 1.00000000000000E-0001",
          " 2.00000000000000E+0000",
          "-1.00000000000000E+0001",
          " 2.00000000000000E-0001",
          "/tmp/reports",
          "XYZ",
          "na",
          "True",
          "False",
          "True",
          " 0.00000000000000E+0000",
          "False",
          "1",
          "False"};
}

// The names of the folder's entries that start with "korvane", sorted.
std::vector<std::string> Settings_Files_In(const fs::path& Folder) {
  std::vector<std::string> Names;
  for (const fs::directory_entry& Entry : fs::directory_iterator(Folder))
    if (Entry.path().filename().string().starts_with("korvane"))
      Names.push_back(Entry.path().filename().string());
  std::sort(Names.begin(), Names.end());
  return Names;
}

const std::string Header_Lines = "Name,RAh,RAm,RAs,Decd,Decm,Decs\r\nx\r\ny\r\n";
const std::string Good_Line = "V1 Tst,1,2,3,-4,5,6,Ref A,1,3,0,-4,10,0,V,12,11,X123A\r\n";

class Window_Main : public ::testing::Test {
protected:
  void SetUp() override {
    Test_Application();
    ASSERT_TRUE(Temp.isValid());
    Root = fs::path(Temp.path().toStdString());
    fs::create_directories(Config());
    fs::create_directories(Home());
    Use_Scratch_Home(Home().string(), Config().string());
    Previous_Box = Set_Error_Box([this](const std::string& Text) { Error_Boxes.push_back(Text); });
  }
  void TearDown() override {
    Main.reset();
    Set_Error_Box(Previous_Box);
  }

  fs::path Config() const { return Root / "config"; }
  fs::path Home() const { return Root / "home"; }
  fs::path Ini() const { return Config() / "korvane.ini"; }

  TMain_Form& Start() {
    Main = std::make_unique<TMain_Form>(Messages);
    return *Main;
  }

  QTemporaryDir Temp;
  fs::path Root;
  TRecording_Messages Messages;
  std::vector<std::string> Error_Boxes;
  TError_Box Previous_Box;
  std::unique_ptr<TMain_Form> Main;
};

TEST_F(Window_Main, Start_Up_Outcomes) {
  const fs::path Targets = Root / "targets.csv";
  struct TCase {
    const char* Label;
    std::string Settings_File; // empty: none
    std::string Target_File;   // empty: none
    std::string Panel;
    int NTargets;
    std::vector<std::string> Messages;
    std::vector<std::string> Boxes;
  };
  const std::vector<TCase> Cases = {
      {"first run", "", "", "No objects Loaded", 0, {Home().string() + "/data.csv not found"}, {}},
      {"named file missing",
       Crlf_Lines(Settings_Lines(Targets.string())),
       "",
       "No objects Loaded",
       0,
       {Targets.string() + " not found"},
       {}},
      {"two targets",
       Crlf_Lines(Settings_Lines(Targets.string())),
       Header_Lines + Good_Line + "\r\n" + Good_Line,
       "2 Targets Loaded",
       2,
       {},
       {}},
      {"bad target line",
       Crlf_Lines(Settings_Lines(Targets.string())),
       Header_Lines + Good_Line + "V2,x,0,0,0,0,0\r\n",
       "No objects Loaded",
       1,
       {},
       {"'x' is not a valid integer value."}},
      {"damaged settings",
       Crlf_Lines({"[Korvane]", "150", "-20", "900", "600", "three", "10"}),
       "",
       "No objects Loaded",
       0,
       {Home().string() + "/data.csv not found"},
       {"Invalid numeric input."}},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Label);
    fs::remove(Ini());
    fs::remove(Targets);
    if (!Case.Settings_File.empty())
      Put(Ini(), Case.Settings_File);
    if (!Case.Target_File.empty())
      Put(Targets, Case.Target_File);
    Messages.Texts.clear();
    Error_Boxes.clear();

    TMain_Form& Form = Start();
    Form.show();
    EXPECT_TRUE(Form.isVisible());
    EXPECT_EQ(Form.Panel_Targets->text().toStdString(), Case.Panel);
    EXPECT_EQ(Form.Catalogue.NTargets, Case.NTargets);
    EXPECT_EQ(Messages.Texts, Case.Messages);
    EXPECT_EQ(Error_Boxes, Case.Boxes);
    // Start-up runs to its end in every case.
    EXPECT_TRUE(Form.Button_AAVSO->isHidden());
    EXPECT_TRUE(Form.ComboBox_Scale->isHidden());
    EXPECT_TRUE(Form.StringGrid_FITs->isHidden());
    EXPECT_FALSE(Form.FITs1->menuAction()->isEnabled());
    Main.reset();
  }
}

TEST_F(Window_Main, Settings_Applied_At_Start) {
  struct TCase {
    const char* Label;
    std::string Settings_File;
    int Scale_Index;
    TWindow_Geometry Window; // Top, Left, Width, Height
    uint32_t Radius;
  };
  const std::vector<TCase> Cases = {
      // Without a file the window takes its designed place and size: the whole top row shows.
      {"defaults", "", 7, {123, 7, 1310, 695}, 12},
      {"file", Crlf_Lines(Settings_Lines("x.csv")), 3, {150, 20, 900, 600}, 10},
      // The bad scale takes its default; the lines around it are read.
      {"damaged",
       Crlf_Lines({"[Korvane]", "150", "-20", "900", "600", "three", "10"}),
       7,
       {150, -20, 900, 600},
       10},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Label);
    fs::remove(Ini());
    if (!Case.Settings_File.empty())
      Put(Ini(), Case.Settings_File);
    TMain_Form& Form = Start();
    EXPECT_EQ(Form.ComboBox_Scale->currentIndex(), Case.Scale_Index);
    EXPECT_EQ(Form.Settings.Radius, Case.Radius);
    const TWindow_Geometry Window = Form.Current_Window_Geometry();
    EXPECT_EQ(Window.Top, Case.Window.Top);
    EXPECT_EQ(Window.Left, Case.Window.Left);
    EXPECT_EQ(Window.Width, Case.Window.Width);
    EXPECT_EQ(Window.Height, Case.Window.Height);
    EXPECT_EQ(Form.pos(), QPoint(Case.Window.Left, Case.Window.Top));
    Main.reset();
  }
}

TEST_F(Window_Main, Closing_Writes_The_Settings_File) {
  const std::string Original = Crlf_Lines(Settings_Lines("/data/targets.csv"));
  Put(Ini(), Original);

  // Nothing moved: the file comes back as it was read.
  TMain_Form& Form = Start();
  Form.show();
  QApplication::processEvents();
  // The settings give the outer frame, whatever the frame adds to the client area.
  EXPECT_EQ(Form.frameGeometry(), QRect(20, 150, 900, 600));
  EXPECT_TRUE(Form.close());
  EXPECT_EQ(Get(Ini()), Original);
  Main.reset();

  // A file of 20 lines, as every file was before line 21: read whole, without a box or a kept
  // copy, and written back with line 21.
  const std::vector<std::string> Lines = Settings_Lines("/data/targets.csv");
  Put(Ini(), Crlf_Lines(std::vector<std::string>(Lines.begin(), Lines.begin() + 20)));
  TMain_Form& Old = Start();
  EXPECT_FALSE(Old.Settings.Fits_Crpix);
  Old.show();
  QApplication::processEvents();
  EXPECT_TRUE(Old.close());
  EXPECT_TRUE(Error_Boxes.empty());
  std::vector<std::string> Upgraded = Lines;
  Upgraded[20] = "False";
  EXPECT_EQ(Get(Ini()), Crlf_Lines(Upgraded));
  EXPECT_EQ(Settings_Files_In(Config()), std::vector<std::string>{"korvane.ini"});

  // A changed setting and a moved window are written; no temporary file stays behind.
  fs::remove(Ini());
  TMain_Form& Moved = Start();
  Moved.show();
  QApplication::processEvents();
  Moved.Settings.Radius = 20;
  Moved.Settings.DataFileName = "/elsewhere/list.csv";
  Moved.move(40, 60);
  QApplication::processEvents();
  const QRect Frame = Moved.frameGeometry();
  EXPECT_TRUE(Moved.close());
  std::vector<std::string> Expected = Settings_Lines("/elsewhere/list.csv");
  Expected[1] = "60";
  Expected[2] = "40";
  Expected[3] = std::to_string(Frame.width());
  Expected[4] = std::to_string(Frame.height());
  Expected[6] = "20";
  // Defaults of the first run, with its geometry.
  Expected[5] = "7";
  Expected[7] = "3";
  Expected[8] = "3";
  Expected[10] = Expected[11] = Expected[12] = Expected[13] = " 0.00000000000000E+0000";
  Expected[14] = " 1.00000000000000E+0000";
  Expected[15] = (Home() / ".local/share/korvane/reports").string();
  Expected[16] = "";
  Expected[18] = Expected[20] = "False";
  EXPECT_EQ(Get(Ini()), Crlf_Lines(Expected));
  EXPECT_EQ(Settings_Files_In(Config()), std::vector<std::string>{"korvane.ini"});
}

TEST_F(Window_Main, Damaged_Or_Short_File_Keeps_The_Other_Settings_Through_A_Close) {
  const std::vector<std::string> Good = Settings_Lines("/data/targets.csv");
  const auto With = [&Good](const std::vector<std::pair<size_t, std::string>>& Changes) {
    std::vector<std::string> Lines = Good;
    for (const auto& [Index, Text] : Changes)
      Lines[Index] = Text;
    return Lines;
  };
  const std::string Zero = " 0.00000000000000E+0000";
  const std::string One = " 1.00000000000000E+0000";
  const std::string Ends_Early =
      "missing, the file ends before it; the settings from there on take their defaults.";
  struct TCase {
    const char* Label;
    std::string File;
    std::vector<std::string> Written; // the lines written at close
    std::string Box;
  };
  const std::vector<TCase> Cases = {
      {"a word, a decimal comma and a negative gap", Crlf_Lines(With({{6, "abc"}, {10, "1,4"}, {8, "-3"}})),
       With({{6, "12"}, {10, Zero}, {8, "3"}}), "Invalid numeric input."},
      {"a file cut after line 12", Crlf_Lines(std::vector<std::string>(Good.begin(), Good.begin() + 12)),
       With({{12, Zero},
             {13, Zero},
             {14, One},
             {15, (Home() / ".local/share/korvane/reports").string()},
             {16, ""},
             {17, "na"},
             {18, "False"},
             {19, "False"},
             {20, "False"},
             {21, Zero},
             {22, "False"},
             {23, "1"},
             {24, "False"}}),
       Ini().string() + ": line 13 (Gain): " + Ends_Early},
      {"an empty file",
       "",
       {"[Korvane]", "100",
        "100",       "100",
        "100",       "7",
        "12",        "3",
        "3",         (Home() / "data.csv").string(),
        Zero,        Zero,
        Zero,        Zero,
        One,         (Home() / ".local/share/korvane/reports").string(),
        "",          "na",
        "False",     "False",
        "False",     Zero,
        "False",     "1",
        "False"},
       Ini().string() + ": line 2 (Top): " + Ends_Early},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Label);
    fs::remove(Ini().string() + ".damaged");
    Put(Ini(), Case.File);
    Error_Boxes.clear();
    TMain_Form& Form = Start();
    EXPECT_EQ(Error_Boxes, std::vector<std::string>{Case.Box});
    EXPECT_TRUE(Form.close());
    EXPECT_EQ(Get(Ini()), Crlf_Lines(Case.Written));
    EXPECT_EQ(Get(Ini().string() + ".damaged"), Case.File);
    EXPECT_EQ(Settings_Files_In(Config()), (std::vector<std::string>{"korvane.ini", "korvane.ini.damaged"}));
    EXPECT_EQ(Error_Boxes.size(), 1u);
    Main.reset();
  }
}

TEST_F(Window_Main, Unreadable_File_Survives_A_Close) {
  const std::string Original = Crlf_Lines(Settings_Lines("/data/targets.csv"));
  Put(Ini(), Original);
  ASSERT_EQ(::chmod(Ini().c_str(), 0), 0);
  // The unprivileged user reaches the folder and may write in it: only the program's
  // restraint keeps the file.
  fs::permissions(Root, fs::perms(0711));
  fs::permissions(Home(), fs::perms(0755));
  fs::permissions(Config(), fs::perms(0777));
  EXPECT_EXIT(
      {
        Become_Unprivileged_Or_Exit();
        if (::access(Ini().c_str(), R_OK) == 0 || ::access(Config().c_str(), W_OK) != 0)
          std::_Exit(4); // the check would prove nothing
        TMain_Form& Form = Start();
        Form.show();
        const bool Told = Error_Boxes.size() == 1 &&
                          Error_Boxes[0].find(Ini().string()) != std::string::npos &&
                          Error_Boxes[0].find("Permission denied") != std::string::npos &&
                          Error_Boxes[0].find("not be saved") != std::string::npos;
        const bool Closed = Form.close();
        for (const std::string& Box : Error_Boxes)
          std::fprintf(stderr, "box: %s\n", Box.c_str());
        std::_Exit(!Told ? 5 : !Closed ? 6 : Error_Boxes.size() != 1 ? 7 : 0);
      },
      ::testing::ExitedWithCode(0), "");
  ASSERT_EQ(::chmod(Ini().c_str(), 0600), 0);
  EXPECT_EQ(Get(Ini()), Original);
  EXPECT_EQ(Settings_Files_In(Config()), std::vector<std::string>{"korvane.ini"});
}

TEST_F(Window_Main, Failed_Write_At_Close_Says_So) {
  const std::string Original = Crlf_Lines(Settings_Lines("/data/targets.csv"));
  Put(Ini(), Original);
  TMain_Form& Form = Start();
  Form.show();
  Form.Settings.Radius = 20;
  // A file-size limit below the file's size (SIGXFSZ at its default action, which would end
  // the program were the write begun).
  struct rlimit Saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &Saved), 0);
  struct rlimit Small = Saved;
  Small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &Small), 0);
  const bool Closed = Form.close();
  ::setrlimit(RLIMIT_FSIZE, &Saved);
  EXPECT_TRUE(Closed);
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Error_Boxes, std::vector<std::string>{"The settings were not saved: " + Ini().string() +
                                                  ": cannot write the file: File too large."});
  EXPECT_EQ(Get(Ini()), Original);
  EXPECT_EQ(Settings_Files_In(Config()), std::vector<std::string>{"korvane.ini"});
}

TEST_F(Window_Main, Controls_With_Their_Captions) {
  TMain_Form& Form = Start();
  const std::vector<std::pair<const char*, const char*>> Buttons = {
      {"Button_Plus", "+"},
      {"Button_Minus", "-"},
      {"Button_Visualisation", "RESET VIS"},
      {"Button_AAVSO", "AAVSO"},
  };
  for (const auto& [Name, Caption] : Buttons) {
    SCOPED_TRACE(Name);
    auto* Button = Form.findChild<QPushButton*>(QLatin1String(Name));
    ASSERT_NE(Button, nullptr);
    EXPECT_EQ(Button->text(), QLatin1String(Caption));
  }
  for (const char* Name :
       {"Panel_Image_Filter", "Panel_Plate_Solved", "Panel_Chart", "Panel_Magnitude", "Panel_Reference",
        "Panel_STDEV", "Panel_Outburst", "Panel_BP", "Panel_WP", "Panel_Location", "Panel_Pixel",
        "Panel_Position", "Panel_Errors", "Panel_Report_Written", "Panel_Ref_Background",
        "Panel_Star_Background", "Panel_Targets"}) {
    SCOPED_TRACE(Name);
    EXPECT_NE(Form.findChild<QLabel*>(QLatin1String(Name)), nullptr);
  }
  EXPECT_NE(Form.findChild<QWidget*>(QStringLiteral("Panel_Bottom")), nullptr);
  EXPECT_NE(Form.findChild<QTimer*>(QStringLiteral("Timer1")), nullptr);
  EXPECT_FALSE(Form.Timer1->isActive());
  EXPECT_TRUE(Form.Timer1->isSingleShot());
  EXPECT_NE(Form.findChild<QFileDialog*>(QStringLiteral("OpenDialog1")), nullptr);
  EXPECT_NE(Form.findChild<QMenuBar*>(QStringLiteral("MainMenu1")), nullptr);
  EXPECT_EQ(Form.windowTitle(), QStringLiteral("Korvane"));

  // Menu items: name, caption, menu holding them (empty: the menu bar itself).
  const std::vector<std::tuple<const char*, const char*, const char*>> Items = {
      {"Open1", "Open Image", "File1"},
      {"Close2", "Close Image", "File1"},
      {"LoadData1", "Load Data", "File1"},
      {"CloseAll1", "Close All", "File1"},
      {"ShowHeader1", "Show Header", "FITs1"},
      {"Close1", "Close", "FITs1"},
      {"LightCurve1", "Light Curve", ""},
      {"Settings1", "Settings", ""},
      {"Help1", "Help", ""},
  };
  QMenuBar* Bar = Form.menuBar();
  for (const auto& [Name, Caption, Menu_Name] : Items) {
    SCOPED_TRACE(Name);
    auto* Action = Form.findChild<QAction*>(QLatin1String(Name));
    ASSERT_NE(Action, nullptr);
    EXPECT_EQ(Action->text(), QLatin1String(Caption));
    const QWidget* Holder =
        *Menu_Name ? Form.findChild<QMenu*>(QLatin1String(Menu_Name)) : static_cast<QWidget*>(Bar);
    ASSERT_NE(Holder, nullptr);
    EXPECT_TRUE(Holder->actions().contains(Action));
  }
  const QList<QAction*> Top = Bar->actions();
  ASSERT_EQ(Top.size(), 5);
  EXPECT_EQ(Top[0]->text(), QStringLiteral("File"));
  EXPECT_EQ(Top[1]->text(), QStringLiteral("FITs"));
  EXPECT_EQ(Top[2], Form.LightCurve1);
  EXPECT_EQ(Top[3], Form.Settings1);
  EXPECT_EQ(Top[4], Form.Help1);

  ASSERT_EQ(Form.ComboBox_Scale->count(), 15);
  EXPECT_EQ(Form.ComboBox_Scale->itemText(0), QStringLiteral("1:8"));
  EXPECT_EQ(Form.ComboBox_Scale->itemText(7), QStringLiteral("1:1"));
  EXPECT_EQ(Form.ComboBox_Scale->itemText(14), QStringLiteral("8:1"));

  QTableWidget* Grid = Form.StringGrid_FITs;
  EXPECT_EQ(Grid->columnCount(), 3);
  EXPECT_EQ(Grid->columnWidth(0), 64);
  EXPECT_EQ(Grid->columnWidth(1), 179);
  EXPECT_EQ(Grid->columnWidth(2), 302);
  EXPECT_EQ(Grid->horizontalHeaderItem(2)->text(), QStringLiteral("COMMENT"));
  EXPECT_EQ(Grid->verticalHeader()->defaultSectionSize(), 22);
  EXPECT_EQ(Grid->toolTip(), QStringLiteral("Click to CLose"));
}

TEST_F(Window_Main, Layout_Of_Key_Controls) {
  TMain_Form& Form = Start();
  Form.show();
  Form.resize(1310, 695 + Form.menuBar()->height());
  QApplication::processEvents();
  // The top row, the image area and the bottom bar share the client area, side by side.
  ASSERT_EQ(Form.Mdi_Area->parentWidget(), Form.centralWidget());
  const QRect Area = Form.centralWidget()->rect();
  EXPECT_EQ(Form.Mdi_Area->geometry(), QRect(0, 28, Area.width(), Area.height() - 28 - 19));
  EXPECT_EQ(Form.ComboBox_Scale->geometry(), QRect(0, 0, 70, 24));
  EXPECT_EQ(Form.Panel_Outburst->geometry(), QRect(1014, 5, 110, 20));
  EXPECT_EQ(Form.StringGrid_FITs->geometry().topLeft(), QPoint(10, 30));
  EXPECT_EQ(Form.Panel_Bottom->geometry(), QRect(0, Area.height() - 19, Area.width(), 19));
  EXPECT_EQ(Form.Panel_Star_Background->geometry(), QRect(994, 0, 105, 19));
  EXPECT_EQ(Form.Panel_Targets->geometry(), QRect(Area.width() - 168, 0, 168, 19));

  // The bar follows the window when it is resized.
  Form.resize(800, 400);
  QApplication::processEvents();
  EXPECT_EQ(Form.Panel_Bottom->geometry().bottom(), Form.centralWidget()->height() - 1);
  EXPECT_EQ(Form.Panel_Targets->geometry().right(), Form.centralWidget()->width() - 1);
}

TEST_F(Window_Main, View_Controls_Follow_Show_And_Hide_Zoom) {
  TMain_Form& Form = Start();
  const std::vector<QWidget*> View = {Form.ComboBox_Scale, Form.Button_Plus, Form.Button_Minus,
                                      Form.Button_Visualisation};
  const std::vector<QLabel*> Top = {Form.Panel_Image_Filter, Form.Panel_Plate_Solved, Form.Panel_Chart,
                                    Form.Panel_Magnitude,    Form.Panel_Reference,    Form.Panel_STDEV,
                                    Form.Panel_Outburst};
  const std::vector<QLabel*> Bottom = {Form.Panel_BP,
                                       Form.Panel_WP,
                                       Form.Panel_Location,
                                       Form.Panel_Pixel,
                                       Form.Panel_Position,
                                       Form.Panel_Errors,
                                       Form.Panel_Report_Written,
                                       Form.Panel_Ref_Background,
                                       Form.Panel_Star_Background};
  auto Check_View = [&](bool Shown) {
    for (QWidget* Control : View) {
      SCOPED_TRACE(Control->objectName().toStdString());
      EXPECT_EQ(Control->isHidden(), !Shown);
      EXPECT_EQ(Control->isEnabled(), Shown);
    }
    EXPECT_EQ(Form.FITs1->menuAction()->isEnabled(), Shown);
  };
  auto Fill = [](const std::vector<QLabel*>& Panels) {
    for (QLabel* Panel : Panels)
      Panel->setText(QStringLiteral("text"));
  };
  auto All_Empty = [](const std::vector<QLabel*>& Panels) {
    for (QLabel* Panel : Panels)
      if (!Panel->text().isEmpty())
        return false;
    return true;
  };

  Check_View(false);
  EXPECT_TRUE(Form.Button_AAVSO->isHidden());
  Form.Show_Zoom();
  Check_View(true);

  Fill(Top);
  Fill(Bottom);
  Form.Hide_Zoom();
  Check_View(false);
  EXPECT_TRUE(All_Empty(Top));
  EXPECT_FALSE(All_Empty(Bottom));

  Form.Panel_Targets->setText(QStringLiteral("3 Targets Loaded"));
  Form.Clear_Bottom_Panels();
  EXPECT_TRUE(All_Empty(Bottom));
  EXPECT_EQ(Form.Panel_Targets->text(), QStringLiteral("3 Targets Loaded"));
}

TEST_F(Window_Main, Header_Grid_Hidden_By_Close_Or_Click) {
  TMain_Form& Form = Start();
  Form.show();
  QTableWidget* Grid = Form.StringGrid_FITs;
  Grid->setRowCount(2);

  Grid->show();
  Form.Close1->trigger();
  EXPECT_TRUE(Grid->isHidden());

  for (QWidget* Target : {Grid->viewport(), Grid->horizontalHeader()->viewport()}) {
    Grid->show();
    QApplication::processEvents();
    const QPointF At(5, 5);
    QMouseEvent Press(QEvent::MouseButtonPress, At, Target->mapToGlobal(At), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent Release(QEvent::MouseButtonRelease, At, Target->mapToGlobal(At), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(Target, &Press);
    EXPECT_FALSE(Grid->isHidden());
    QApplication::sendEvent(Target, &Release);
    EXPECT_TRUE(Grid->isHidden());
  }
}

TEST_F(Window_Main, Load_Data_Dialog) {
  const fs::path Targets = Root / "list.csv";
  Put(Targets, Header_Lines + Good_Line + Good_Line + Good_Line);
  TMain_Form& Form = Start();
  ASSERT_EQ(Form.Catalogue.NTargets, 0);

  bool Checked = false;
  QTimer::singleShot(0, Form.OpenDialog1, [&] {
    QFileDialog* Dialog = Form.OpenDialog1;
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_EQ(Dialog->windowTitle(), QStringLiteral("Load Targets"));
    EXPECT_EQ(Dialog->nameFilters(), QStringList{QStringLiteral("csv files (*.csv)")});
    EXPECT_EQ(Dialog->defaultSuffix(), QStringLiteral("csv"));
    EXPECT_EQ(Dialog->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(Dialog->directory().absolutePath(), QDir::current().absolutePath());
    Checked = true;
    Dialog->selectFile(QString::fromStdString(Targets.string()));
    QMetaObject::invokeMethod(Dialog, "accept");
  });
  Form.LoadData1->trigger();
  EXPECT_TRUE(Checked);
  EXPECT_EQ(Form.Settings.DataFileName, Targets.string());
  EXPECT_EQ(Form.Catalogue.NTargets, 3);
  EXPECT_EQ(Form.Panel_Targets->text(), QStringLiteral("3 Targets Loaded"));

  // Cancelling keeps the catalogue and the file name; only the panel says otherwise.
  QTimer::singleShot(0, Form.OpenDialog1, [&] { Form.OpenDialog1->reject(); });
  Form.LoadData1->trigger();
  EXPECT_EQ(Form.Settings.DataFileName, Targets.string());
  EXPECT_EQ(Form.Catalogue.NTargets, 3);
  EXPECT_EQ(Form.Panel_Targets->text(), QStringLiteral("No objects Loaded"));
}

TEST_F(Window_Main, Settings_And_Help_Windows) {
  TMain_Form& Form = Start();
  Form.show();
  ASSERT_NE(Form.Form_Settings, nullptr);
  TForm_Settings& Settings = *Form.Form_Settings;
  TForm_Help& Help = *Form.Form_Help;
  EXPECT_TRUE(Settings.isHidden());
  EXPECT_EQ(Settings.objectName(), QStringLiteral("Form_Settings"));

  Form.Settings1->trigger();
  EXPECT_TRUE(Settings.isVisible());
  EXPECT_FALSE(Settings.isModal());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

  QWidget* Modal = nullptr;
  QTimer::singleShot(0, &Help, [&] {
    Modal = QApplication::activeModalWidget();
    Help.done(0);
  });
  Form.Help1->trigger();
  EXPECT_EQ(Modal, &Help);
  EXPECT_TRUE(Help.isHidden());
}

TEST(Window_Help, Text_And_Face) {
  Test_Application();
  TForm_Help Help;
  EXPECT_EQ(Help.windowTitle(), QStringLiteral("Korvane Help"));
  ASSERT_NE(Help.findChild<QPlainTextEdit*>(QStringLiteral("Memo1")), nullptr);
  EXPECT_TRUE(Help.Memo1->isReadOnly());
  EXPECT_EQ(Help.Memo1->font().family(), QStringLiteral("Tahoma"));
  const QStringList Lines = Help.Memo1->toPlainText().split(QLatin1Char('\n'));
  ASSERT_EQ(Lines.size(), 8);
  EXPECT_EQ(Lines[0], QStringLiteral("Korvane"));
  EXPECT_TRUE(Lines[1].isEmpty());
  EXPECT_TRUE(Lines[2].contains(QStringLiteral("korvane /regserverperuser")));
  EXPECT_EQ(Lines[3], QStringLiteral("To register it for all users (for yourself alone use "
                                     "/regserverperuser instead):"));
  EXPECT_EQ(Lines[4], QStringLiteral("Open a terminal, change to the directory containing this "
                                     "program, become root with 'sudo -i'"));
  EXPECT_EQ(Lines[5], QStringLiteral("and type:"));
  EXPECT_TRUE(Lines[6].startsWith(QStringLiteral("'korvane /regserver'")));
  EXPECT_EQ(Lines[7], QStringLiteral("It ends at once without a window; a failure is explained in the "
                                     "terminal and the exit status is 1."));

  Help.show();
  QApplication::processEvents();
  EXPECT_EQ(Help.size(), QSize(602, 195));
  EXPECT_EQ(Help.Memo1->geometry(), Help.rect());
}

TEST(Window_Error_Box, Text_Gets_A_Full_Stop) {
  const std::vector<std::pair<std::string, std::string>> Cases = {
      {"Invalid numeric input", "Invalid numeric input."},
      {"'x' is not a valid integer value", "'x' is not a valid integer value."},
      {"Gain is 0: set the camera gain.", "Gain is 0: set the camera gain."},
      {"Closed?", "Closed?."},
  };
  for (const auto& [Message, Text] : Cases)
    EXPECT_EQ(Error_Box_Text(Message), Text) << Message;
}

// An object whose handler fails on every event it gets.
class TFailing : public QObject {
public:
  bool event(QEvent* Event) override {
    if (Event->type() == QEvent::User)
      throw TKorvane_Error("Boom");
    return QObject::event(Event);
  }
};

TEST(Window_Error_Box, Exception_From_A_Handler_Reaches_The_Box) {
  TKorvane_Application& App = Test_Application();
  ASSERT_EQ(QCoreApplication::instance(), &App);
  std::vector<std::string> Boxes;
  const TError_Box Previous = Set_Error_Box([&](const std::string& Text) { Boxes.push_back(Text); });

  TFailing Failing;
  QEvent Direct(QEvent::User);
  EXPECT_FALSE(QCoreApplication::sendEvent(&Failing, &Direct));
  EXPECT_EQ(Boxes, std::vector<std::string>{"Boom."});

  // Through the event loop: the failing event is shown and the next one still runs.
  bool Next_Ran = false;
  QCoreApplication::postEvent(&Failing, new QEvent(QEvent::User));
  QTimer::singleShot(0, &Failing, [&] { Next_Ran = true; });
  QCoreApplication::sendPostedEvents();
  QApplication::processEvents();
  EXPECT_EQ(Boxes, (std::vector<std::string>{"Boom.", "Boom."}));
  EXPECT_TRUE(Next_Ran);
  Set_Error_Box(Previous);
}

} // namespace
