#pragma once
// A plate solve in a thread of its own, so that the windows stay responsive while the
// solver runs: Finished comes in the window's thread once it ended. Destroying the job
// stops the solver and waits for the thread, so no result ever reaches a window that is gone.

#include "solve/Plate_Solve.h"

#include <QObject>

#include <atomic>
#include <thread>

class TSolve_Job : public QObject {
  Q_OBJECT

public:
  TSolve_Job(TSolve_Frame Frame, TSolve_Options Options, QObject* Parent = nullptr);
  ~TSolve_Job() override;

  // Starts the solve; once only.
  void Start();
  // Stops the solver; Finished follows with the outcome Cancelled.
  void Cancel();
  bool Running() const { return Started && !Done; }
  const TSolve_Result& Result() const { return Outcome; }

signals:
  void Finished();

private:
  TSolve_Frame Frame;
  TSolve_Options Options;
  TSolve_Result Outcome;
  std::atomic<bool> Cancelled{false};
  bool Started = false, Done = false;
  std::thread Worker;
};
