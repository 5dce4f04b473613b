// The main window's plate solving: the menu command, the solve on open and over D-Bus.

#include "app/Unit_Main.h"

#include "image/Solve_Job.h"
#include "image/Unit_Image.h"
#include "photometry/Analysis.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProgressDialog>
#include <QTimer>

void TMain_Form::PlateSolve1Click() {
  if (TForm_Image* Image = Active_Image())
    Plate_Solve_Image(Image);
}

void TMain_Form::PlateSolve() {
  PlateSolve1Click();
}

bool TMain_Form::Plate_Solve_Image(const QPointer<TForm_Image>& Image) {
  if (Image.isNull() || Image->Closing() || Image->Image_Array.Empty())
    return false;
  Begin_Modal();
  struct TEnd {
    TMain_Form& Form;
    ~TEnd() { Form.End_Modal(); }
  } End_Busy{*this};

  TSolve_Options Options;
  Options.Cache_Folder = Solution_Cache;
  TSolve_Job Job(Solve_Frame_Of(*Image), Options);
  const QString Name = QFileInfo(QString::fromStdString(Image->FileName)).fileName();
  QProgressDialog Progress(QStringLiteral("Plate solving %1...").arg(Name), QStringLiteral("Cancel"), 0, 0,
                           this);
  Progress.setObjectName(QStringLiteral("Solve_Progress"));
  Progress.setWindowTitle(QStringLiteral("Korvane"));
  Progress.setWindowModality(Qt::WindowModal);
  Progress.setMinimumDuration(0);
  QElapsedTimer Clock;
  Clock.start();
  QTimer Tick;
  connect(&Tick, &QTimer::timeout, &Progress, [&] {
    Progress.setLabelText(QStringLiteral("Plate solving %1... %2 s").arg(Name).arg(Clock.elapsed() / 1000));
  });
  QEventLoop Loop;
  connect(&Job, &TSolve_Job::Finished, &Loop, &QEventLoop::quit);
  connect(&Progress, &QProgressDialog::canceled, &Job, &TSolve_Job::Cancel);
  // A window closed meanwhile stops its solve.
  connect(Image.data(), &QObject::destroyed, &Job, &TSolve_Job::Cancel);
  Tick.start(1000);
  Job.Start();
  Progress.show();
  Loop.exec();
  Progress.hide();

  const TSolve_Result& Result = Job.Result();
  if (Image.isNull() || Image->Closing() || Result.Outcome == TSolve_Outcome::Cancelled)
    return false;
  std::string Why;
  if (!Apply_Result(*Image, Result, Why)) {
    Messages.Show(Why);
    return false;
  }
  ::Analyse_Image(*Image, Catalogue, Settings);
  if (!Image->Plate_Solved && !Image->WCS_Note.empty())
    Messages.Show(Image->WCS_Note);
  if (Image.isNull())
    return false;
  Show_Analysis(*Image);
  Show_Results();
  return Image->Plate_Solved;
}
