// The night table over 200 frames of 9576 x 6388 (a 61-megapixel sensor) beside korvane-measure's
// per-file work on the same frames: the fill's time as a ratio to the command's and what it
// costs beyond twice the command's (the fixed cost), the program's resident memory while the
// table shows the night, and how soon a frame completed in a watched folder is a row. The
// frames are hard links to one file, so the night needs the disk space of one frame. A folder of
// 10,000 small frames shows that the window keeps answering while it fills.

#include "Bench_Support.h"
#include "night/Unit_Night.h"
#include "support/Window_Test.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int Frame_Count = 200;
constexpr int Width = 9576;
constexpr int Height = 6388;

TBench_Frames& Data() {
  static TBench_Frames Instance("korvane-bench-night", Width, Height, Frame_Count, false);
  return Instance;
}

class TBench_Host : public TNight_Host {
public:
  explicit TBench_Host(const TBench_Frames& Frames) : D(Frames) {}
  const TSettings& Host_Settings() const override { return D.Settings; }
  const TTarget_Catalogue& Host_Catalogue() const override { return D.Catalogue; }
  TNumber_Format Host_Number_Format() const override { return TNumber_Format{'.'}; }
  TReport_Settings Host_Report_Settings() const override { return Report_Settings_Of(D.Settings); }
  void Open_Frame(const QString&) override {}
  void Show_Error(const std::string&) override {}
  void Begin_Modal() override {}
  void End_Modal() override {}

private:
  const TBench_Frames& D;
};

// A line of /proc/self/status in megabytes ("VmRSS", "VmHWM").
double Status_MB(const std::string& Key) {
  std::ifstream Status("/proc/self/status");
  for (std::string Line; std::getline(Status, Line);)
    if (Line.rfind(Key + ":", 0) == 0)
      return std::stod(Line.substr(Key.size() + 1)) / 1024.0;
  return 0.0;
}

void Spin_Until(const std::function<bool()>& Done) {
  while (!Done())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

double Command_Seconds = 0.0;

void BM_Command_Measure(benchmark::State& State) {
  TBench_Frames& D = Data();
  TQuiet_Messages Messages;
  int Measured = 0;
  const TPass_Time Mean = Timed(State, [&] {
    Measured = 0;
    for (const std::string& File : D.Files) {
      const TMeasure_Result Result =
          Measure_File(File, D.Catalogue, D.Settings, Messages, TOpen_Options{D.Settings.Fits_Crpix, true});
      std::string Line = Json_Line(Result);
      benchmark::DoNotOptimize(Line.data());
      Measured += !Result.Failed && Result.Image.Last_Error == TResult_Code::Measured;
    }
  });
  if (Measured != Frame_Count)
    State.SkipWithError("not every frame was measured");
  Command_Seconds = Mean.Wall;
}

void BM_Night_Table_Fill(benchmark::State& State) {
  Test_Application();
  TBench_Frames& D = Data();
  TBench_Host Host(D);
  // The peak from here on: the making of the frames is not the program's.
  std::ofstream("/proc/self/clear_refs") << "5";
  double Rss = 0.0;
  const TPass_Time Mean = Timed(State, [&] {
    TForm_Night Night(Host, {}, QString::fromStdString(D.Scratch.Folder.string()));
    Night.show();
    Spin_Until([&] { return Night.Filled(); });
    QCoreApplication::processEvents();
    Rss = Status_MB("VmRSS");
    if (Night.Model().rowCount() != Frame_Count)
      State.SkipWithError("the table is not full");
  });
  State.counters["RSS_MB_while_shown"] = Rss;
  State.counters["HWM_MB"] = Status_MB("VmHWM");
  if (Command_Seconds > 0.0) {
    State.counters["Command_s"] = Command_Seconds;
    State.counters["Ratio_To_Command"] = Mean.Wall / Command_Seconds;
    State.counters["Beyond_2x_Command_s"] = Mean.Wall - 2.0 * Command_Seconds;
  }
}

// A frame moved in (a hard link made) or written in place, the time from its completion to its
// row in a watching table. The frames are the bench night's; targets come from its catalogue.
void BM_Watch_Latency(benchmark::State& State) {
  Test_Application();
  TBench_Frames& D = Data();
  TBench_Host Host(D);
  TScratch_Folder Folder("korvane-bench-watch");
  const bool In_Place = State.range(0) == 1;
  const std::string Bytes = In_Place ? Get(D.Files.front()) : std::string();
  TForm_Night Night(Host, {}, QString::fromStdString(Folder.Folder.string()));
  Spin_Until([&] { return Night.Filled(); });
  Night.Set_Watching(true);
  int Arrived = 0;
  std::chrono::steady_clock::time_point Row_At;
  QObject::connect(&Night, &TForm_Night::Frame_Arrived, [&] {
    ++Arrived;
    Row_At = std::chrono::steady_clock::now();
  });
  double Total_Ms = 0.0, Worst_Ms = 0.0;
  int n = 0;
  for (auto _ : State) {
    const std::string Path = Folder.Path("new_" + std::to_string(n) + ".fit");
    if (In_Place) {
      std::ofstream Out(Path, std::ios::binary);
      Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    } else {
      fs::create_hard_link(D.Files.front(), Path);
    }
    const auto Complete = std::chrono::steady_clock::now();
    ++n;
    Spin_Until([&] { return Arrived == n; });
    const double Ms = std::chrono::duration<double, std::milli>(Row_At - Complete).count();
    Total_Ms += Ms;
    Worst_Ms = std::max(Worst_Ms, Ms);
    State.SetIterationTime(Ms / 1000.0);
  }
  State.counters["Mean_Latency_ms"] = n > 0 ? Total_Ms / n : 0.0;
  State.counters["Worst_Latency_ms"] = Worst_Ms;
}

// A folder of 10,000 small frames (hard links to one 400 x 300 frame): the whole fill, and the
// longest the window's event loop waited between two turns meanwhile (its responsiveness).
void BM_Night_Table_10000(benchmark::State& State) {
  Test_Application();
  static TBench_Frames Many("korvane-bench-many", 400, 300, 10000, false);
  TBench_Host Host(Many);
  double Longest_Ms = 0.0;
  for (auto _ : State) {
    TForm_Night Night(Host, {}, QString::fromStdString(Many.Scratch.Folder.string()));
    Night.show();
    auto Turn = std::chrono::steady_clock::now();
    while (!Night.Filled()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      const auto Now = std::chrono::steady_clock::now();
      Longest_Ms = std::max(Longest_Ms, std::chrono::duration<double, std::milli>(Now - Turn).count());
      Turn = Now;
    }
    if (Night.Model().rowCount() != 10000)
      State.SkipWithError("the table is not full");
  }
  State.counters["Longest_Event_Loop_Turn_ms"] = Longest_Ms;
}

} // namespace

BENCHMARK(BM_Command_Measure)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Night_Table_Fill)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Night_Table_10000)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Watch_Latency)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
