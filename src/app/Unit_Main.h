#pragma once
// The main window: frame of the image windows, owner of the settings and the target
// catalogue, home of the result panels and the view controls.

#include "automation/Automation_Host.h"
#include "catalogue/Target_Data.h"
#include "image/Image_Host.h"
#include "lightcurve/Light_Curve_Host.h"
#include "night/Night_Host.h"
#include "settings/Settings.h"
#include "settings/Settings_Host.h"
#include "text/Messages.h"
#include "text/Number_Format.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QSize>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

class QAction;
class TForm_Image;
class TForm_Help;
class TForm_Light_Curve;
class TForm_Night;
class TForm_Settings;
class QComboBox;
class QFileDialog;
class QLabel;
class QMdiArea;
class QMenu;
class QPushButton;
class QTableWidget;
class QTimer;
class QWidget;

// The user's number format, taken from the system locale.
TNumber_Format System_Number_Format();

class TMain_Form : public QMainWindow,
                   public TImage_Host,
                   public TSettings_Host,
                   public TLight_Curve_Host,
                   public TNight_Host,
                   public TAutomation_Host {
  Q_OBJECT

public:
  // Messages receives the findings that do not stop the work (a missing target file).
  explicit TMain_Form(TMessages& Messages, QWidget* Parent = nullptr);
  ~TMain_Form() override;

  // Settings and catalogue, read and written by the other windows.
  TSettings Settings;
  TTarget_Catalogue Catalogue;
  TNumber_Format Number_Format;

  // Controls.
  QMdiArea* Mdi_Area = nullptr;
  QComboBox* ComboBox_Scale = nullptr;
  QPushButton* Button_Plus = nullptr;
  QPushButton* Button_Minus = nullptr;
  QPushButton* Button_Visualisation = nullptr;
  QPushButton* Button_AAVSO = nullptr;
  QLabel* Panel_Image_Filter = nullptr;
  QLabel* Panel_Plate_Solved = nullptr;
  QLabel* Panel_Chart = nullptr;
  QLabel* Panel_Magnitude = nullptr;
  QLabel* Panel_Reference = nullptr;
  QLabel* Panel_STDEV = nullptr;
  QLabel* Panel_Outburst = nullptr;
  QLabel* Panel_Check = nullptr; // the check star's offset from its catalogue magnitude
  QTableWidget* StringGrid_FITs = nullptr;
  QWidget* Panel_Bottom = nullptr;
  QLabel* Panel_BP = nullptr;
  QLabel* Panel_WP = nullptr;
  QLabel* Panel_Location = nullptr;
  QLabel* Panel_Pixel = nullptr;
  QLabel* Panel_Position = nullptr;
  QLabel* Panel_Errors = nullptr;
  QLabel* Panel_Report_Written = nullptr;
  QLabel* Panel_Ref_Background = nullptr;
  QLabel* Panel_Star_Background = nullptr;
  QLabel* Panel_Targets = nullptr;

  // Menu.
  QMenu* File1 = nullptr;
  QAction* Open1 = nullptr;
  QAction* OpenNight1 = nullptr;      // a folder's frames in the night table
  QAction* OpenNightFiles1 = nullptr; // chosen files in the night table
  QAction* Close2 = nullptr;
  QAction* LoadData1 = nullptr;
  QAction* CloseAll1 = nullptr;
  QMenu* FITs1 = nullptr;
  QAction* ShowHeader1 = nullptr;
  QAction* PlateSolve1 = nullptr; // FITs, Plate Solve: offered while the active image is not plate-solved
  QAction* Close1 = nullptr;
  QAction* LightCurve1 = nullptr;
  QAction* Settings1 = nullptr;
  QAction* Help1 = nullptr;

  // Other components.
  QTimer* Timer1 = nullptr;
  QFileDialog* OpenDialog1 = nullptr;

  // Loads the target file DataFileName into the catalogue and shows the outcome in
  // Panel_Targets. A field that does not convert throws TKorvane_Error.
  void Load_Targets();

  void Clear_Top_Panels() override;
  void Clear_Bottom_Panels() override;
  void Show_Zoom();
  void Hide_Zoom() override;

  // Fills the result panels from the active image window; empties them without one.
  void Show_Results() override;
  // The check-star panel, and in the error panel a warning for saturated stars or a check
  // star off its catalogue magnitude.
  void Show_Check_And_Saturation(const TImage_Model& W);
  // One Show_Results half a second from the first call (Timer1).
  void Trigger_Results() override;

  // The active image window, or null.
  TForm_Image* Active_Image() const;
  // Every image window, in the order of the area's list.
  QList<TForm_Image*> Image_Windows() const;

  // Opens each file in its own window, analyses it when it is plate-solved, then shows the
  // view controls: Open Image after its dialog, and the files named on the command line.
  // An error that stops a file ends the command there. More than a few files show a
  // progress dialog whose cancel stops before the next file.
  void Open_Files(const QStringList& Paths);
  // Analyses the active image window: nearest target, marks, measurement, outburst, the
  // result panels. True when it measured (code 0).
  bool Analyse_Image();
  // Writes the AAVSO report of the active image window, as the "AAVSO" button does.
  void AAVSO_Report() override;

  // What the automation service asks of the main window (Host_Settings, Editable_Settings,
  // AAVSO_Report and Busy serve it too). SetFileName only stores the name; GetMagnitude opens
  // that file in a new image window and analyses it.
  const TImage_Model* Active_Image_Model() const override;
  void SetFileName(const QString& FN) override;
  double GetMagnitude() override;
  // The menu command Close Image.
  void CloseImage() override;
  void PlateSolve() override;
  // Plate-solves Image with the local solver in the background, a busy progress box with the
  // seconds passed and Cancel meanwhile (the windows repaint, other commands wait), then
  // analyses it and fills the panels. A solve that fails is said in a box. True when the
  // image is now plate-solved. Image may close meanwhile: nothing is then touched.
  bool Plate_Solve_Image(const QPointer<TForm_Image>& Image);
  QWidget& Host_Window() override { return *this; }
  void On_Work_Finished(QObject& Receiver, std::function<void()> Slot) override;
  void Set_Close_Query(std::function<bool()> Query) override;
  // Asked after the settings are written at close, when set; false keeps the program running.
  std::function<bool()> Close_Query;

  // What the image windows ask of the main window.
  const TSettings& Host_Settings() const override { return Settings; }
  TNumber_Format Host_Number_Format() const override { return Number_Format; }
  void Set_Panel_Text(TImage_Panel Panel, const QString& Text) override;
  void Select_Scale(int Index) override;
  int Image_Window_Count() const override;
  void Control_Drag() override;

  // What the settings dialog asks of the main window (Host_Number_Format above serves it too).
  TSettings& Editable_Settings() override { return Settings; }
  // Every image window's Fill_Bitmap and FormPaint.
  void Render_Image_Windows() override;
  void Show_Error(const std::string& Text) override;

  // What the light curve window asks of the main window (Host_Number_Format and Show_Error
  // above serve it too). A catalogue threshold of 0 is an empty field: no threshold.
  std::string Report_Folder() const override { return Settings.ReportFileDir; }
  std::optional<double> Target_Threshold(std::string_view Name) const override;

  // What the night table asks of the main window (Host_Settings, Host_Number_Format,
  // Show_Error and the busy calls above serve it too).
  const TTarget_Catalogue& Host_Catalogue() const override { return Catalogue; }
  TReport_Settings Host_Report_Settings() const override;
  void Open_Frame(const QString& Path) override;
  // A night table of Files, or of Folder's frames (Files empty), in a window of its own.
  TForm_Night* Open_Night(const QStringList& Files, const QString& Folder);

  // The light curve window while it is open (it is deleted when closed).
  QPointer<TForm_Light_Curve> Form_Light_Curve;
  // The settings window, made when this window is first shown so that it opens beside it,
  // and the help window; both are children of this window.
  TForm_Settings* Form_Settings = nullptr;
  TForm_Help* Form_Help = nullptr;

  // Whether work that runs the event loop while it holds the image windows or the settings is
  // under way: an image being opened or analysed, a box or dialog of one of the windows.
  // Calls from outside that close, open or change windows or settings wait meanwhile, until
  // Work_Finished; a close of this window asked meanwhile follows the work's end.
  bool Busy() const override { return Busy_Depth > 0; }
  void Begin_Modal() override;
  void End_Modal() override;

  // The window's outer frame now, in the settings' terms. When the window has not been
  // moved or resized since the settings placed it, these are the values that placed it.
  TWindow_Geometry Current_Window_Geometry() const;

signals:
  // The last piece of work that made the window busy ended.
  void Work_Finished();

public slots:
  void Open1Click();
  void OpenNight1Click();
  void OpenNightFiles1Click();
  void Close2Click();
  void CloseAll1Click();
  void ShowHeader1Click();
  void Button_AAVSOClick();
  void ComboBox_ScaleChange(int Index);
  void Button_PlusClick();
  void Button_MinusClick();
  void Button_VisualisationClick();
  void Timer1Timer();
  void LoadData1Click();
  void Close1Click();
  void Settings1Click();
  void Help1Click();
  // Opens the light curve window on the active image's target, or raises the open one and
  // switches it to that target.
  void LightCurve1Click();
  void StringGrid_FITsClick();
  void PlateSolve1Click();

protected:
  void closeEvent(QCloseEvent* Event) override;
  void showEvent(QShowEvent* Event) override;
  void changeEvent(QEvent* Event) override;
  void moveEvent(QMoveEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
  void Create_Controls();
  void Create_Menu();
  void FormCreate();
  void FormClose();
  void FormDestroy();
  void Apply_Window_Geometry(const TWindow_Geometry& Geometry);
  void Fit_Frame();
  void Place_Bottom_Bar();
  // "+" and "-": the scale one step up or down, within 0..14.
  void Step_Scale(int Step);
  // A new image window, made active, with the file opened and analysed in it through the
  // core's one step, then the marks and result panels shown, or the "Not Plate Solved"
  // panels. Measured tells whether it measured. Null when the window was closed meanwhile:
  // the reader's message boxes run the event loop while they wait.
  QPointer<TForm_Image> Open_Image_Window(const QString& Path, bool& Measured);
  // The picture with its marks and the result panels after an analysis of Image.
  void Show_Analysis(TForm_Image& Image);
  // The main window became active: every image window repaints, the last one first.
  void FormActivate();

  TMessages& Messages;
  std::string IniFName;
  // How the settings file was found at start: it decides how it is written at close.
  TSettings_File_State Ini_State;
  std::string TargetFName;
  // The report folder of new settings, made when a report first goes there.
  std::string Default_Reports;
  std::string Solution_Cache; // the user's folder of plate solutions

  // The geometry the settings asked for, the client size that realised it, and whether
  // the window manager's frame has been taken into account yet.
  TWindow_Geometry Placed_Geometry;
  QSize Placed_Client_Size;
  bool Frame_Fitted = false;

  // Begin_Modal calls not yet ended, and whether a close waits for them.
  int Busy_Depth = 0;
  bool Close_Deferred = false;
};

// The single main window of the program, created first at start.
extern TMain_Form* Main_Form;
