#include "app/Unit_Main.h"

#include "app/Korvane_Application.h"
#include "app/Unit_Help.h"
#include "image/Result_Code.h"
#include "image/Unit_Image.h"
#include "lightcurve/Unit_Light_Curve.h"
#include "night/Unit_Night.h"
#include "photometry/Analysis.h"
#include "report/Report.h"
#include "report/Report_Reader.h"
#include "settings/Unit_Settings.h"
#include "solve/Plate_Solve.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMoveEvent>
#include <QPalette>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <memory>

TMain_Form* Main_Form = nullptr;

namespace {

constexpr int Bottom_Bar_Height = 19;
constexpr int Top_Row_Height = 28; // the buttons are 26 high
// Opening more files than this shows a progress dialog.
constexpr qsizetype Quiet_File_Count = 3;

// Patterns of FITS file names, in any letter case.
QString Fits_Patterns() {
  // Names keep their case here: each letter of an ending is matched in either case.
  QStringList Patterns;
  for (const std::string_view Ending : Fits_Name_Endings) {
    QString Pattern = QStringLiteral("*");
    for (const char C : Ending)
      Pattern +=
          C >= 'a' && C <= 'z' ? QStringLiteral("[%1%2]").arg(QChar(C)).arg(QChar(C - 'a' + 'A')) : QChar(C);
    Patterns.append(Pattern);
  }
  return Patterns.join(u' ');
}
constexpr int Panel_Targets_Width = 168;
constexpr int Grid_Row_Height = 22;

const QString No_Objects_Loaded = QStringLiteral("No objects Loaded");

std::string Environment(const char* Name) {
  return qEnvironmentVariable(Name).toStdString();
}

std::string Home_Folder() {
  const std::string Home = Environment("HOME");
  return Home.empty() ? QDir::homePath().toStdString() : Home;
}

std::string Settings_Path() {
  return Settings_File_Path(Environment("XDG_CONFIG_HOME"), Home_Folder());
}

// The box for a damaged settings file: a bad value is "Invalid numeric input" however many
// there are; a file that merely ends early says where.
std::string Damaged_Settings_Text(const std::string& Path, const std::vector<TSettings_Damage>& Damage) {
  for (const TSettings_Damage& Line : Damage)
    if (!Line.Missing)
      return "Invalid numeric input";
  return Path + ": " + Damage_Text(Damage.front()) + "; the settings from there on take their defaults";
}

QLabel* New_Panel(const char* Name, QWidget* Parent, int Left, int Top, int Width, int Height) {
  auto* Panel = new QLabel(Parent);
  Panel->setObjectName(QLatin1String(Name));
  // A screen reader reads the panel's text as its name and finds it by its objectName.
  Panel->setAccessibleDescription(QLatin1String(Name));
  Panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel->setAlignment(Qt::AlignCenter);
  Panel->setAutoFillBackground(true);
  Panel->setGeometry(Left, Top, Width, Height);
  return Panel;
}

QPushButton* New_Button(const char* Name, const QString& Caption, QWidget* Parent, int Left, int Width) {
  auto* Button = new QPushButton(Caption, Parent);
  Button->setObjectName(QLatin1String(Name));
  Button->setAccessibleDescription(QLatin1String(Name));
  Button->setGeometry(Left, 0, Width, 26);
  return Button;
}

void Set_Text_Colour(QLabel* Panel, const QColor& Colour) {
  QPalette Palette = Panel->palette();
  Palette.setColor(QPalette::WindowText, Colour);
  Panel->setPalette(Palette);
}

// Keeps Form busy for the life of the value returned.
[[nodiscard]] auto Hold_Busy(TMain_Form& Form) {
  Form.Begin_Modal();
  return qScopeGuard([&Form] { Form.End_Modal(); });
}

QAction* New_Action(const char* Name, const QString& Caption, QObject* Parent) {
  auto* Action = new QAction(Caption, Parent);
  Action->setObjectName(QLatin1String(Name));
  return Action;
}

} // namespace

TNumber_Format System_Number_Format() {
  TNumber_Format Format;
  const QString Point = QLocale::system().decimalPoint();
  if (Point.size() == 1 && Point.at(0).unicode() < 0x80)
    Format.Decimal_Separator = static_cast<char>(Point.at(0).unicode());
  return Format;
}

TMain_Form::TMain_Form(TMessages& Messages_, QWidget* Parent)
    : QMainWindow(Parent), Number_Format(System_Number_Format()), Messages(Messages_) {
  setObjectName(QStringLiteral("Main_Form"));
  setWindowTitle(QStringLiteral("Korvane"));
  Create_Controls();
  Create_Menu();
  FormCreate();
  Form_Help = new TForm_Help(this);
}

void TMain_Form::showEvent(QShowEvent* Event) {
  QMainWindow::showEvent(Event);
  if (Form_Settings == nullptr)
    Form_Settings = new TForm_Settings(*this, this);
}

TMain_Form::~TMain_Form() {
  FormDestroy();
  delete Form_Light_Curve;
  // The image windows go first, while this window can still answer them: destroyed later,
  // among its children, they would report their deactivation to a window half gone.
  for (QMdiSubWindow* Frame : Mdi_Area->subWindowList())
    delete Frame;
}

void TMain_Form::Create_Controls() {
  // The client area: the top row, the image area below it and the bottom bar, side by side
  // rather than on top of one another, so that no panel covers an image window's title and
  // every control stands in the accessibility tree.
  auto* Client = new QWidget(this);
  Client->setObjectName(QStringLiteral("Client_Area"));
  setCentralWidget(Client);
  Mdi_Area = new QMdiArea(Client);
  Mdi_Area->setObjectName(QStringLiteral("Mdi_Area"));
  Mdi_Area->setFrameStyle(QFrame::NoFrame);
  Mdi_Area->setAccessibleName(QStringLiteral("Images"));

  // Top row: fixed positions over the image area.
  ComboBox_Scale = new QComboBox(Client);
  ComboBox_Scale->setObjectName(QStringLiteral("ComboBox_Scale"));
  ComboBox_Scale->setAccessibleName(QStringLiteral("Scale"));
  ComboBox_Scale->setAccessibleDescription(QStringLiteral("ComboBox_Scale"));
  for (int32_t Index = Smallest_Scale_Index; Index <= Largest_Scale_Index; ++Index)
    ComboBox_Scale->addItem(Index < Unit_Scale_Index
                                ? QStringLiteral("1:%1").arg(8 - Index)
                                : QStringLiteral("%1:1").arg(Index - Unit_Scale_Index + 1));
  ComboBox_Scale->setMaxVisibleItems(Scale_Count);
  ComboBox_Scale->setGeometry(0, 0, 70, 24);
  Button_Plus = New_Button("Button_Plus", QStringLiteral("+"), Client, 69, 41);
  Button_Minus = New_Button("Button_Minus", QStringLiteral("-"), Client, 108, 41);
  Button_Visualisation = New_Button("Button_Visualisation", QStringLiteral("RESET VIS"), Client, 148, 80);
  Button_AAVSO = New_Button("Button_AAVSO", QStringLiteral("AAVSO"), Client, 226, 80);
  Panel_Image_Filter = New_Panel("Panel_Image_Filter", Client, 393, 5, 80, 20);
  Panel_Plate_Solved = New_Panel("Panel_Plate_Solved", Client, 473, 5, 139, 20);
  Panel_Chart = New_Panel("Panel_Chart", Client, 610, 5, 119, 20);
  Panel_Magnitude = New_Panel("Panel_Magnitude", Client, 729, 5, 98, 20);
  Panel_Reference = New_Panel("Panel_Reference", Client, 827, 5, 89, 20);
  Panel_STDEV = New_Panel("Panel_STDEV", Client, 916, 5, 99, 20);
  Panel_Outburst = New_Panel("Panel_Outburst", Client, 1014, 5, 110, 20);
  Panel_Check = New_Panel("Panel_Check", Client, 1124, 5, 130, 20);

  // Header view: shown over the image area by Show Header, hidden by a click.
  StringGrid_FITs = new QTableWidget(0, 3, Client);
  StringGrid_FITs->setObjectName(QStringLiteral("StringGrid_FITs"));
  StringGrid_FITs->setAccessibleName(QStringLiteral("FITS header"));
  StringGrid_FITs->setAccessibleDescription(QStringLiteral("StringGrid_FITs"));
  StringGrid_FITs->setHorizontalHeaderLabels({"KEY", "VALUE", "COMMENT"});
  StringGrid_FITs->setColumnWidth(0, 64);
  StringGrid_FITs->setColumnWidth(1, 179);
  StringGrid_FITs->setColumnWidth(2, 302);
  StringGrid_FITs->horizontalHeader()->setFixedHeight(Grid_Row_Height);
  StringGrid_FITs->verticalHeader()->hide();
  StringGrid_FITs->verticalHeader()->setMinimumSectionSize(1);
  StringGrid_FITs->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  StringGrid_FITs->verticalHeader()->setDefaultSectionSize(Grid_Row_Height);
  StringGrid_FITs->setEditTriggers(QAbstractItemView::NoEditTriggers);
  StringGrid_FITs->setToolTip(QStringLiteral("Click to CLose"));
  StringGrid_FITs->setGeometry(10, 30, 710, 5 * Grid_Row_Height);
  StringGrid_FITs->viewport()->installEventFilter(this);
  StringGrid_FITs->horizontalHeader()->viewport()->installEventFilter(this);

  // Bottom bar: nine panels at fixed places, Panel_Targets at the right edge.
  Panel_Bottom = new QWidget(Client);
  Panel_Bottom->setObjectName(QStringLiteral("Panel_Bottom"));
  Panel_Bottom->setAutoFillBackground(true);
  const int H = Bottom_Bar_Height;
  Panel_BP = New_Panel("Panel_BP", Panel_Bottom, 0, 0, 80, H);
  Panel_WP = New_Panel("Panel_WP", Panel_Bottom, 79, 0, 80, H);
  Panel_Location = New_Panel("Panel_Location", Panel_Bottom, 158, 0, 80, H);
  Panel_Pixel = New_Panel("Panel_Pixel", Panel_Bottom, 236, 0, 80, H);
  Panel_Position = New_Panel("Panel_Position", Panel_Bottom, 315, 0, 238, H);
  Panel_Errors = New_Panel("Panel_Errors", Panel_Bottom, 551, 0, 228, H);
  Panel_Report_Written = New_Panel("Panel_Report_Written", Panel_Bottom, 779, 0, 111, H);
  Panel_Ref_Background = New_Panel("Panel_Ref_Background", Panel_Bottom, 890, 0, 104, H);
  Panel_Star_Background = New_Panel("Panel_Star_Background", Panel_Bottom, 994, 0, 105, H);
  Panel_Targets = New_Panel("Panel_Targets", Panel_Bottom, 0, 0, Panel_Targets_Width, H);
  Client->installEventFilter(this);
  Place_Bottom_Bar();

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setSingleShot(true);
  connect(Timer1, &QTimer::timeout, this, &TMain_Form::Timer1Timer);

  // The view controls act on the active image window; a choice in the list is the user's.
  connect(ComboBox_Scale, qOverload<int>(&QComboBox::activated), this, &TMain_Form::ComboBox_ScaleChange);
  connect(Button_Plus, &QPushButton::clicked, this, &TMain_Form::Button_PlusClick);
  connect(Button_Minus, &QPushButton::clicked, this, &TMain_Form::Button_MinusClick);
  connect(Button_Visualisation, &QPushButton::clicked, this, &TMain_Form::Button_VisualisationClick);
  connect(Button_AAVSO, &QPushButton::clicked, this, &TMain_Form::Button_AAVSOClick);

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
}

void TMain_Form::Create_Menu() {
  QMenuBar* MainMenu1 = menuBar();
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));

  File1 = MainMenu1->addMenu(QStringLiteral("File"));
  File1->setObjectName(QStringLiteral("File1"));
  Open1 = New_Action("Open1", QStringLiteral("Open Image"), this);
  Close2 = New_Action("Close2", QStringLiteral("Close Image"), this);
  LoadData1 = New_Action("LoadData1", QStringLiteral("Load Data"), this);
  CloseAll1 = New_Action("CloseAll1", QStringLiteral("Close All"), this);
  OpenNight1 = New_Action("OpenNight1", QStringLiteral("Open Night..."), this);
  OpenNightFiles1 = New_Action("OpenNightFiles1", QStringLiteral("Open Night Files..."), this);
  File1->addActions({Open1, OpenNight1, OpenNightFiles1, Close2, LoadData1, CloseAll1});

  FITs1 = MainMenu1->addMenu(QStringLiteral("FITs"));
  FITs1->setObjectName(QStringLiteral("FITs1"));
  ShowHeader1 = New_Action("ShowHeader1", QStringLiteral("Show Header"), this);
  Close1 = New_Action("Close1", QStringLiteral("Close"), this);
  PlateSolve1 = New_Action("PlateSolve1", QStringLiteral("Plate Solve"), this);
  FITs1->addActions({ShowHeader1, Close1, PlateSolve1});
  // Offered for an image that is not plate-solved.
  connect(FITs1, &QMenu::aboutToShow, this, [this] {
    const TForm_Image* Image = Active_Image();
    PlateSolve1->setEnabled(Image != nullptr && !Image->Plate_Solved);
  });

  LightCurve1 = New_Action("LightCurve1", QStringLiteral("Light Curve"), this);
  LightCurve1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  MainMenu1->addAction(LightCurve1);

  Settings1 = New_Action("Settings1", QStringLiteral("Settings"), this);
  Help1 = New_Action("Help1", QStringLiteral("Help"), this);
  MainMenu1->addAction(Settings1);
  MainMenu1->addAction(Help1);

  connect(Open1, &QAction::triggered, this, &TMain_Form::Open1Click);
  connect(OpenNight1, &QAction::triggered, this, &TMain_Form::OpenNight1Click);
  connect(OpenNightFiles1, &QAction::triggered, this, &TMain_Form::OpenNightFiles1Click);
  connect(Close2, &QAction::triggered, this, &TMain_Form::Close2Click);
  connect(CloseAll1, &QAction::triggered, this, &TMain_Form::CloseAll1Click);
  connect(ShowHeader1, &QAction::triggered, this, &TMain_Form::ShowHeader1Click);
  connect(LoadData1, &QAction::triggered, this, &TMain_Form::LoadData1Click);
  connect(Close1, &QAction::triggered, this, &TMain_Form::Close1Click);
  connect(PlateSolve1, &QAction::triggered, this, &TMain_Form::PlateSolve1Click);
  connect(LightCurve1, &QAction::triggered, this, &TMain_Form::LightCurve1Click);
  connect(Settings1, &QAction::triggered, this, &TMain_Form::Settings1Click);
  connect(Help1, &QAction::triggered, this, &TMain_Form::Help1Click);
}

void TMain_Form::FormCreate() {
  Timer1->stop();

  const std::string Home = Home_Folder();
  IniFName = Settings_Path();
  // Missing or damaged values take their defaults; the rest of the file is read.
  Default_Reports = Default_Report_Folder(Environment("XDG_DATA_HOME"), Home);
  Solution_Cache = Cache_Folder_Of(Environment("XDG_CACHE_HOME"), Home);
  Settings = Default_Settings(Home, Environment("XDG_DATA_HOME"));
  Ini_State = Load_Settings_File(IniFName, Settings);
  if (Ini_State.Kind == TSettings_File_State::TKind::Damaged)
    Show_Error_Box(Damaged_Settings_Text(IniFName, Ini_State.Damage));
  else if (Ini_State.Kind == TSettings_File_State::TKind::Unreadable)
    Show_Error_Box(Ini_State.Error +
                   ". Changes to the settings will not be saved there: the file is left as it is");
  // Without a settings file the window takes its designed place and size, which shows the
  // whole top row and bottom bar; a stored geometry is used as it stands.
  if (Ini_State.Kind == TSettings_File_State::TKind::Missing)
    Settings.Window = Initial_Settings().Window;
  Apply_Window_Geometry(Settings.Window);

  ComboBox_Scale->setCurrentIndex(Settings.Scale_Index);
  Hide_Zoom();
  StringGrid_FITs->hide();
  Panel_Targets->setText(No_Objects_Loaded);
  Catalogue.NTargets = 0;
  try {
    Load_Targets();
  } catch (const std::exception& Error) {
    Show_Error_Box(Error.what());
  }
  TargetFName.clear();
  Button_AAVSO->hide();
}

void TMain_Form::FormClose() {
  // The path is looked up anew; a file other than the one read at start is taken as found now.
  const std::string Path = Settings_Path();
  if (Path != IniFName) {
    TSettings Unused = Settings;
    Ini_State = Load_Settings_File(Path, Unused);
    IniFName = Path;
  }
  Settings.Window = Current_Window_Geometry();
  try {
    Save_Settings_File(IniFName, Ini_State, Settings);
  } catch (const std::exception& Error) {
    // The window closes all the same; the user learns that the settings were lost.
    Show_Error_Box(Error.what());
  }
}

void TMain_Form::FormDestroy() {
  Timer1->stop();
}

void TMain_Form::closeEvent(QCloseEvent* Event) {
  // A close that comes inside a box of an open (a closing signal, say) waits for the open's
  // end: the settings are saved once the windows and settings are whole again.
  if (Busy()) {
    Close_Deferred = true;
    Event->ignore();
    return;
  }
  FormClose();
  if (Close_Query && !Close_Query()) {
    Event->ignore();
    return;
  }
  QMainWindow::closeEvent(Event);
}

void TMain_Form::Apply_Window_Geometry(const TWindow_Geometry& Geometry) {
  Placed_Geometry = Geometry;
  // move() places the outer frame; resize() sets the client size, which is made smaller
  // by the frame once the window manager has put one around the window (Fit_Frame).
  move(Geometry.Left, Geometry.Top);
  resize(std::max(Geometry.Width, 1), std::max(Geometry.Height, 1));
  Placed_Client_Size = size();
  Frame_Fitted = false;
  Fit_Frame();
}

void TMain_Form::Fit_Frame() {
  if (Frame_Fitted || size() != Placed_Client_Size)
    return;
  const QRect Frame = frameGeometry();
  const QRect Client = geometry();
  if (Frame == Client)
    return;
  Frame_Fitted = true;
  resize(std::max(Placed_Geometry.Width - (Frame.width() - Client.width()), 1),
         std::max(Placed_Geometry.Height - (Frame.height() - Client.height()), 1));
  Placed_Client_Size = size();
}

void TMain_Form::moveEvent(QMoveEvent* Event) {
  QMainWindow::moveEvent(Event);
  Fit_Frame();
}

TWindow_Geometry TMain_Form::Current_Window_Geometry() const {
  const QRect Frame = frameGeometry();
  if (size() == Placed_Client_Size && Frame.topLeft() == QPoint(Placed_Geometry.Left, Placed_Geometry.Top))
    return Placed_Geometry;
  TWindow_Geometry Geometry;
  Geometry.Top = Frame.y();
  Geometry.Left = Frame.x();
  Geometry.Width = Frame.width();
  Geometry.Height = Frame.height();
  return Geometry;
}

void TMain_Form::Place_Bottom_Bar() {
  const QWidget* Client = centralWidget();
  const int Width = Client->width();
  Mdi_Area->setGeometry(0, Top_Row_Height, Width,
                        std::max(Client->height() - Top_Row_Height - Bottom_Bar_Height, 0));
  Panel_Bottom->setGeometry(0, Client->height() - Bottom_Bar_Height, Width, Bottom_Bar_Height);
  Panel_Targets->setGeometry(Width - Panel_Targets_Width, 0, Panel_Targets_Width, Bottom_Bar_Height);
  Panel_Targets->raise();
}

bool TMain_Form::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == centralWidget() && Event->type() == QEvent::Resize) {
    Place_Bottom_Bar();
  } else if (Event->type() == QEvent::MouseButtonRelease &&
             (Watched == StringGrid_FITs->viewport() ||
              Watched == StringGrid_FITs->horizontalHeader()->viewport())) {
    StringGrid_FITsClick();
  }
  return QMainWindow::eventFilter(Watched, Event);
}

void TMain_Form::Load_Targets() {
  const TLoad_Outcome Outcome = ::Load_Targets(Settings.DataFileName, Catalogue, Number_Format, Messages);
  if (Outcome.Panel_Changed)
    Panel_Targets->setText(QString::fromStdString(Outcome.Panel_Text));
}

void TMain_Form::Clear_Top_Panels() {
  for (QLabel* Panel : {Panel_Image_Filter, Panel_Plate_Solved, Panel_Chart, Panel_Magnitude, Panel_Reference,
                        Panel_STDEV, Panel_Outburst, Panel_Check})
    Panel->clear();
}

void TMain_Form::Clear_Bottom_Panels() {
  for (QLabel* Panel : {Panel_BP, Panel_WP, Panel_Location, Panel_Pixel, Panel_Position, Panel_Errors,
                        Panel_Report_Written, Panel_Ref_Background, Panel_Star_Background})
    Panel->clear();
}

void TMain_Form::Show_Zoom() {
  for (QWidget* Control :
       {static_cast<QWidget*>(ComboBox_Scale), static_cast<QWidget*>(Button_Plus),
        static_cast<QWidget*>(Button_Minus), static_cast<QWidget*>(Button_Visualisation)}) {
    Control->setVisible(true);
    Control->setEnabled(true);
  }
  FITs1->setEnabled(true);
}

void TMain_Form::Hide_Zoom() {
  for (QWidget* Control :
       {static_cast<QWidget*>(ComboBox_Scale), static_cast<QWidget*>(Button_Plus),
        static_cast<QWidget*>(Button_Minus), static_cast<QWidget*>(Button_Visualisation)}) {
    Control->setVisible(false);
    Control->setEnabled(false);
  }
  FITs1->setEnabled(false);
  Clear_Top_Panels();
}

void TMain_Form::LoadData1Click() {
  OpenDialog1->setWindowTitle(QStringLiteral("Load Targets"));
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);
  OpenDialog1->setOption(QFileDialog::HideNameFilterDetails, false);
  OpenDialog1->setNameFilter(QStringLiteral("csv files (*.csv)"));
  OpenDialog1->setDefaultSuffix(QStringLiteral("csv"));
  OpenDialog1->setDirectory(QStringLiteral("."));
  if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty()) {
    Panel_Targets->setText(No_Objects_Loaded);
    return;
  }
  Settings.DataFileName = OpenDialog1->selectedFiles().constFirst().toStdString();
  Load_Targets();
}

void TMain_Form::Close1Click() {
  StringGrid_FITs->hide();
}

void TMain_Form::StringGrid_FITsClick() {
  StringGrid_FITs->hide();
}

void TMain_Form::Settings1Click() {
  if (!Form_Settings)
    return;
  Form_Settings->show();
  Form_Settings->raise();
  Form_Settings->activateWindow();
}

void TMain_Form::LightCurve1Click() {
  const TForm_Image* Image = Active_Image();
  const QString Target = Image != nullptr ? QString::fromStdString(Image->ObjectName) : QString();
  if (Form_Light_Curve == nullptr) {
    Form_Light_Curve = new TForm_Light_Curve(*this, Target, this);
    Form_Light_Curve->setAttribute(Qt::WA_DeleteOnClose);
  } else {
    // The report folder may have changed in the settings meanwhile.
    Form_Light_Curve->Reload();
    if (!Target.isEmpty())
      Form_Light_Curve->Show_Target(Target);
  }
  Form_Light_Curve->show();
  Form_Light_Curve->raise();
  Form_Light_Curve->activateWindow();
}

std::optional<double> TMain_Form::Target_Threshold(std::string_view Name) const {
  return Catalogue_Threshold(Catalogue, Name);
}

void TMain_Form::Help1Click() {
  const auto Hold = Hold_Busy(*this);
  Form_Help->exec();
}

TForm_Image* TMain_Form::Active_Image() const {
  const QMdiSubWindow* Frame = Mdi_Area->activeSubWindow();
  return Frame != nullptr ? qobject_cast<TForm_Image*>(Frame->widget()) : nullptr;
}

QList<TForm_Image*> TMain_Form::Image_Windows() const {
  QList<TForm_Image*> Windows;
  for (const QMdiSubWindow* Frame : Mdi_Area->subWindowList())
    if (auto* Image = qobject_cast<TForm_Image*>(Frame->widget()))
      Windows.append(Image);
  return Windows;
}

int TMain_Form::Image_Window_Count() const {
  return static_cast<int>(Mdi_Area->subWindowList().size());
}

void TMain_Form::Open1Click() {
  OpenDialog1->setWindowTitle(QString());
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setFileMode(QFileDialog::ExistingFiles);
  OpenDialog1->setDefaultSuffix(QStringLiteral("fit"));
  // File names are case-sensitive here: the patterns take .fit, .fits and .fts in any case,
  // while the list shows the description alone.
  OpenDialog1->setOption(QFileDialog::HideNameFilterDetails, true);
  OpenDialog1->setNameFilter(QStringLiteral("FITs files (*.fit) (") + Fits_Patterns() + QStringLiteral(")"));
  OpenDialog1->setSizeGripEnabled(true);
  if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty())
    return;
  Open_Files(OpenDialog1->selectedFiles());
}

void TMain_Form::OpenNight1Click() {
  QString Folder;
  {
    const auto Hold = Hold_Busy(*this);
    Folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Open Night"));
  }
  if (!Folder.isEmpty())
    Open_Night({}, Folder);
}

void TMain_Form::OpenNightFiles1Click() {
  QStringList Files;
  {
    const auto Hold = Hold_Busy(*this);
    Files =
        QFileDialog::getOpenFileNames(this, QStringLiteral("Open Night Files"), QString(),
                                      QStringLiteral("FITs files (") + Fits_Patterns() + QStringLiteral(")"));
  }
  if (!Files.isEmpty())
    Open_Night(Files, {});
}

TForm_Night* TMain_Form::Open_Night(const QStringList& Files, const QString& Folder) {
  auto* Night = new TForm_Night(*this, Files, Folder, this);
  Night->setAttribute(Qt::WA_DeleteOnClose);
  Night->show();
  Night->raise();
  Night->activateWindow();
  return Night;
}

void TMain_Form::Open_Frame(const QString& Path) {
  Open_Files({Path});
}

TReport_Settings TMain_Form::Host_Report_Settings() const {
  TReport_Settings Report_Settings = Report_Settings_Of(Settings);
  Report_Settings.Make_Folder = Settings.ReportFileDir == Default_Reports;
  return Report_Settings;
}

void TMain_Form::Open_Files(const QStringList& Paths) {
  const auto Hold = Hold_Busy(*this);
  std::unique_ptr<QProgressDialog> Progress;
  if (Paths.size() > Quiet_File_Count) {
    Progress =
        std::make_unique<QProgressDialog>(QStringLiteral("Opening images..."), QStringLiteral("Cancel"), 0,
                                          static_cast<int>(Paths.size()), this);
    Progress->setObjectName(QStringLiteral("Open_Progress"));
    Progress->setWindowTitle(QStringLiteral("Korvane"));
    Progress->setWindowModality(Qt::WindowModal);
    Progress->setMinimumDuration(0);
  }
  for (qsizetype i = 0; i < Paths.size(); ++i) {
    if (Progress) {
      Progress->setValue(static_cast<int>(i));
      Progress->setLabelText(QFileInfo(Paths[i]).fileName());
      if (Progress->wasCanceled())
        break;
    }
    bool Measured = false;
    Open_Image_Window(Paths[i], Measured);
  }
  Progress.reset();
  Show_Zoom();
}

QPointer<TForm_Image> TMain_Form::Open_Image_Window(const QString& Path, bool& Measured) {
  const auto Hold = Hold_Busy(*this);
  // A large image takes a moment to read and measure: the pointer says so meanwhile.
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const auto Restore = qScopeGuard([] { QApplication::restoreOverrideCursor(); });
  const QPointer<TForm_Image> Image = new TForm_Image(*this, *Mdi_Area);
  Mdi_Area->setActiveSubWindow(Image->Frame());
  {
    Image->Begin_Reading();
    const auto Read = qScopeGuard([&Image] { Image->End_Reading(); });
    // The core's one open-and-analyse step; the window adds its picture between the two.
    Measured = Open_And_Analyse(*Image, QFileInfo(Path).absoluteFilePath().toStdString(), Catalogue,
                                Measure_Settings_Of(Settings), Messages,
                                TOpen_Options{Settings.Fits_Crpix, false, Settings.Image_Plane},
                                [&Image] { return Image->Show_Opened(); });
  }
  // A close asked while the file was read took effect as the step ended.
  if (Image == nullptr || Image->Closing())
    return nullptr;
  if (Image->Plate_Solved) {
    Show_Analysis(*Image);
  } else {
    Clear_Top_Panels();
    Panel_Plate_Solved->setText(QString::fromStdString(Result_Code_Text(TResult_Code::Not_Plate_Solved)));
    Button_AAVSO->hide();
    if (Settings.Solve_On_Open) {
      Plate_Solve_Image(Image);
      if (Image == nullptr || Image->Closing())
        return nullptr;
      Measured = Image->Plate_Solved && Image->Last_Error == TResult_Code::Measured;
    }
  }
  return Image;
}

bool TMain_Form::Analyse_Image() {
  TForm_Image* Image = Active_Image();
  if (Image == nullptr)
    return false;
  const auto Hold = Hold_Busy(*this);
  const bool Measured = ::Analyse_Image(*Image, Catalogue, Settings);
  Show_Analysis(*Image);
  return Measured;
}

void TMain_Form::Show_Analysis(TForm_Image& Image) {
  // Without world coordinates or targets nothing is marked and the panels stay as they are.
  if (!Image.Plate_Solved || Catalogue.NTargets <= 0)
    return;
  Image.Fill_Bitmap(); // the picture with its marks where the measurement left them
  Image.FormPaint();
  Show_Results();
}

void TMain_Form::Button_AAVSOClick() {
  // The window is watched: a box below waits for the user, who may close the image meanwhile.
  const QPointer<TForm_Image> Image = Active_Image();
  if (Image == nullptr)
    return;
  const auto Hold = Hold_Busy(*this);
  const TReport_Settings Report_Settings = Host_Report_Settings();
  const TReport_Outcome Outcome = Write_AAVSO_Report(*Image, Report_Settings);
  if (!Outcome.Written) {
    Image->Last_Error = TResult_Code::No_Report_Dir;
    Set_Text_Colour(Panel_Errors, QColor(255, 0, 0));
    Image->AAVSO_Written = false;
    if (Outcome.No_Time) {
      // The folder is fine: the frame has no date to report, which the box explains.
      Panel_Errors->setText(QStringLiteral("No observation time!"));
      Messages.Show("Report not written: " + Outcome.Reason);
      return;
    }
    Panel_Errors->setText(QStringLiteral("Report dir not found!"));
    return;
  }
  if (!Outcome.Filter_Message.empty())
    Messages.Show(Outcome.Filter_Message);
  Panel_Report_Written->setText(QStringLiteral("Report written"));
  if (Image != nullptr)
    Image->AAVSO_Written = true;
  if (Form_Light_Curve != nullptr)
    Form_Light_Curve->Reload();
}

void TMain_Form::AAVSO_Report() {
  Button_AAVSOClick();
}

void TMain_Form::Close2Click() {
  if (QMdiSubWindow* Frame = Mdi_Area->activeSubWindow()) {
    const int Count = Image_Window_Count(); // the closing window still counts
    // The closed window goes at once, so that the next one is active when the panels are
    // filled; no code of it is running (a window that is reading holds its close back).
    if (Frame->close())
      delete Frame;
    if (Count < 2)
      Hide_Zoom();
  }
  Show_Results();
}

void TMain_Form::CloseAll1Click() {
  const QList<QMdiSubWindow*> Frames = Mdi_Area->subWindowList();
  for (qsizetype i = Frames.size() - 1; i >= 0; --i)
    Frames[i]->close();
  Hide_Zoom();
}

void TMain_Form::ShowHeader1Click() {
  const TForm_Image* Image = Active_Image();
  if (Image == nullptr)
    return;
  const int Cards = static_cast<int>(std::min<size_t>(Image->NKeys, Image->Cards.size()));
  // The title row and one row a card before END; the grid fits the window's client area.
  const int Rows = Cards + 1;
  const int Height = std::min((Rows + 1) * Grid_Row_Height, centralWidget()->height() - 50);
  StringGrid_FITs->setRowCount(Cards);
  StringGrid_FITs->setGeometry(10, 30, 710, std::max(Height, Grid_Row_Height));
  for (int i = 0; i < Cards; ++i) {
    const THeader_Card& Card = Image->Cards[static_cast<size_t>(i)];
    StringGrid_FITs->setItem(i, 0, new QTableWidgetItem(QString::fromStdString(Card.Key)));
    StringGrid_FITs->setItem(i, 1, new QTableWidgetItem(QString::fromStdString(Card.Value)));
    StringGrid_FITs->setItem(i, 2, new QTableWidgetItem(QString::fromStdString(Card.Comment)));
  }
  StringGrid_FITs->show();
  StringGrid_FITs->raise();
}

void TMain_Form::changeEvent(QEvent* Event) {
  QMainWindow::changeEvent(Event);
  if (Event->type() == QEvent::ActivationChange && isActiveWindow())
    FormActivate();
}

void TMain_Form::FormActivate() {
  const QList<TForm_Image*> Images = Image_Windows();
  for (qsizetype i = Images.size() - 1; i >= 0; --i)
    Images[i]->FormPaint();
}

void TMain_Form::Set_Panel_Text(TImage_Panel Panel, const QString& Text) {
  QLabel* const Label = [&]() -> QLabel* {
    switch (Panel) {
    case TImage_Panel::BP:
      return Panel_BP;
    case TImage_Panel::WP:
      return Panel_WP;
    case TImage_Panel::Location:
      return Panel_Location;
    case TImage_Panel::Pixel:
      return Panel_Pixel;
    case TImage_Panel::Position:
      return Panel_Position;
    case TImage_Panel::Report_Written:
      return Panel_Report_Written;
    case TImage_Panel::Ref_Background:
      return Panel_Ref_Background;
    case TImage_Panel::Star_Background:
      return Panel_Star_Background;
    }
    return nullptr;
  }();
  if (Label != nullptr)
    Label->setText(Text);
}

void TMain_Form::Select_Scale(int Index) {
  ComboBox_Scale->setCurrentIndex(Index);
}

void TMain_Form::Control_Drag() {
  QScrollBar* Bar = Mdi_Area->verticalScrollBar();
  Bar->setRange(0, Mdi_Area->height());
  Bar->setValue(700);
  const auto Hold = Hold_Busy(*this);
  Messages.Show("Control");
}

void TMain_Form::ComboBox_ScaleChange(int Index) {
  if (Index < 0)
    return;
  if (TForm_Image* Image = Active_Image())
    Image->ReScale(Index);
  Settings.Scale_Index = Index;
}

void TMain_Form::Step_Scale(int Step) {
  // From the scale last chosen here, not the one the active window shows.
  const int Index = Settings.Scale_Index + Step;
  if (Index < Smallest_Scale_Index || Index > Largest_Scale_Index)
    return;
  Settings.Scale_Index = Index;
  ComboBox_Scale->setCurrentIndex(Index);
  if (TForm_Image* Image = Active_Image())
    Image->ReScale(Index);
}

void TMain_Form::Button_PlusClick() {
  Step_Scale(+1);
}

void TMain_Form::Button_MinusClick() {
  Step_Scale(-1);
}

void TMain_Form::Button_VisualisationClick() {
  if (TForm_Image* Image = Active_Image())
    Image->Reset_Visualisation();
}

void TMain_Form::Show_Results() {
  const TForm_Image* W = Active_Image();
  if (W == nullptr) {
    Clear_Top_Panels();
    Button_AAVSO->hide();
    return;
  }
  // A warning's tool tip belongs to a measured image only.
  if (W->Last_Error != TResult_Code::Measured)
    Panel_Errors->setToolTip(QString());
  const auto Error_Text = [this](TResult_Code Code) {
    Set_Text_Colour(Panel_Errors, QColor(255, 0, 0));
    Panel_Errors->setText(QString::fromStdString(Result_Code_Text(Code)));
  };
  switch (W->Last_Error) {
  case TResult_Code::Measured: {
    const TMeasured_Panels P = Measured_Panel_Texts(*W, Settings.Max_Error, Number_Format);
    Panel_Reference->setText(QString::fromStdString(P.Reference));
    Panel_Magnitude->setText(QString::fromStdString(P.Magnitude));
    Panel_STDEV->setText(QString::fromStdString(P.STDEV));
    Panel_Plate_Solved->setText(QString::fromStdString(P.Plate_Solved));
    Set_Text_Colour(Panel_Outburst, W->Outburst ? QColor(255, 0, 0) : QColor(0, 128, 0));
    Panel_Outburst->setText(QString::fromStdString(P.Outburst));
    Panel_Chart->setText(QString::fromStdString(P.Chart));
    Panel_Image_Filter->setText(QString::fromStdString(P.Image_Filter));
    Show_Check_And_Saturation(*W);
    Button_AAVSO->show();
    break;
  }
  case TResult_Code::Not_Measured:
    break;
  case TResult_Code::Not_Plate_Solved:
  case TResult_Code::No_Star:
  case TResult_Code::No_Report_Dir:
    Clear_Top_Panels();
    Error_Text(W->Last_Error);
    Button_AAVSO->hide();
    break;
  case TResult_Code::No_Reference:
  case TResult_Code::No_Data:
    Clear_Top_Panels();
    Panel_Errors->clear();
    Panel_Reference->setText(QString::fromStdString(Result_Code_Text(W->Last_Error)));
    Panel_Plate_Solved->setText(QStringLiteral("Plate Solved"));
    if (W->Last_Error == TResult_Code::No_Reference)
      Panel_Chart->setText(QStringLiteral("Chart: ") + QString::fromStdString(W->ChartName));
    Button_AAVSO->hide();
    break;
  }
}

void TMain_Form::Show_Check_And_Saturation(const TImage_Model& W) {
  const TWarning_Texts T = Warning_Texts(W, Number_Format.Decimal_Separator);
  Set_Text_Colour(Panel_Check, T.Check_Off ? QColor(255, 0, 0) : QColor(0, 128, 0));
  Panel_Check->setText(QString::fromStdString(T.Check));
  // The error panel says a saturated star first, then an off check star; the whole warning
  // is its tool tip.
  if (T.Short.empty()) {
    // Only a warning shown here before is taken back (it alone carries a tool tip).
    if (!Panel_Errors->toolTip().isEmpty())
      Panel_Errors->clear();
    Panel_Errors->setToolTip(QString());
    return;
  }
  Set_Text_Colour(Panel_Errors, QColor(255, 0, 0));
  Panel_Errors->setText(QString::fromStdString(T.Short));
  Panel_Errors->setToolTip(QString::fromStdString(T.Whole));
}

void TMain_Form::Trigger_Results() {
  // A refresh already pending is not postponed: it comes 500 ms after the first trigger.
  if (Timer1->isActive())
    return;
  Timer1->setInterval(500);
  Timer1->start();
}

void TMain_Form::Timer1Timer() {
  Timer1->stop();
  Show_Results();
}

// The automation operations.

void TMain_Form::SetFileName(const QString& FN) {
  TargetFName = FN.toStdString();
}

double TMain_Form::GetMagnitude() {
  const QString Path = QString::fromStdString(TargetFName);
  if (Path.isEmpty() || !QFileInfo(Path).isFile())
    return 0.0;
  bool Measured = false;
  const QPointer<TForm_Image> Image = Open_Image_Window(Path, Measured);
  return Measured && !Image.isNull() ? Image->Magnitude : 0.0;
}

void TMain_Form::CloseImage() {
  Close2Click();
}

const TImage_Model* TMain_Form::Active_Image_Model() const {
  return Active_Image();
}

void TMain_Form::On_Work_Finished(QObject& Receiver, std::function<void()> Slot) {
  connect(this, &TMain_Form::Work_Finished, &Receiver, std::move(Slot), Qt::QueuedConnection);
}

void TMain_Form::Set_Close_Query(std::function<bool()> Query) {
  Close_Query = std::move(Query);
}

void TMain_Form::Render_Image_Windows() {
  for (TForm_Image* Image : Image_Windows()) {
    Image->Fill_Bitmap();
    Image->FormPaint();
  }
}

void TMain_Form::Show_Error(const std::string& Text) {
  const auto Hold = Hold_Busy(*this);
  Show_Error_Box(Text);
}

void TMain_Form::Begin_Modal() {
  ++Busy_Depth;
}

void TMain_Form::End_Modal() {
  if (Busy_Depth == 0 || --Busy_Depth > 0)
    return;
  emit Work_Finished();
  // The close asked meanwhile, from the event loop: the work's caller returns first.
  if (Close_Deferred)
    QTimer::singleShot(0, this, [this] {
      if (Busy() || !Close_Deferred)
        return;
      Close_Deferred = false;
      close();
    });
}
