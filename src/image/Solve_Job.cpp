#include "image/Solve_Job.h"

#include <QMetaObject>

#include <utility>

TSolve_Job::TSolve_Job(TSolve_Frame Frame_, TSolve_Options Options_, QObject* Parent)
    : QObject(Parent), Frame(std::move(Frame_)), Options(std::move(Options_)) {
  Options.Cancel = &Cancelled;
}

TSolve_Job::~TSolve_Job() {
  Cancelled = true;
  if (Worker.joinable())
    Worker.join();
}

void TSolve_Job::Start() {
  if (Started)
    return;
  Started = true;
  Worker = std::thread([this] {
    TSolve_Result Result = Plate_Solve(Frame, Options);
    // Queued to this object's thread; dropped when the object is gone by then.
    QMetaObject::invokeMethod(
        this,
        [this, Result = std::move(Result)] {
          Outcome = Result;
          Done = true;
          emit Finished();
        },
        Qt::QueuedConnection);
  });
}

void TSolve_Job::Cancel() {
  Cancelled = true;
}
