// korvane-measure's per-file work over a night of large frames, with the pixels read on
// demand (the command's default) and with every pixel read (--full-read), beside a plain
// read of the same bytes (what `cat` costs). Frames of 4096 x 4096 and 9576 x 6388; the
// page cache is warm (the plain read runs first). Each benchmark reports ms per frame and
// its ratio to the plain read; the on-demand run of the large frames also reports the
// ratio of its time per frame to that of the 4096 frames (Ratio_To_4096) and the peak
// resident memory a 100-frame batch adds (Peak_Added_MB, measured in a forked child).
//
// The 4096 frames are 100 distinct files (3.2 GB); the large frames are 100 links to one
// file, so that the run does not hold 12 GB of page cache on a shared machine. Set
// KORVANE_BENCH_FRAMES for another count.

#include "Bench_Support.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int Frame_Count() {
  const char* Text = std::getenv("KORVANE_BENCH_FRAMES");
  const int Count = Text != nullptr ? std::atoi(Text) : 100;
  return Count > 0 ? Count : 100;
}

// One size of frame: the files, the target file and the settings, removed at exit.
TBench_Frames& Frames(int Width) {
  static std::map<int, std::unique_ptr<TBench_Frames>> Made;
  auto& Slot = Made[Width];
  if (!Slot)
    Slot = Width == 4096
               ? std::make_unique<TBench_Frames>("korvane-bench-partial", 4096, 4096, Frame_Count(), true)
               : std::make_unique<TBench_Frames>("korvane-bench-partial", 9576, 6388, Frame_Count(), false);
  return *Slot;
}

// Seconds per frame of each run, for the ratios.
std::map<std::string, double> Seconds_Per_Frame;

void Report(benchmark::State& State, const TBench_Frames& F, const std::string& Key, double Pass_Seconds) {
  const double Per_Frame = Pass_Seconds / static_cast<double>(F.Files.size());
  Seconds_Per_Frame[Key] = Per_Frame;
  State.counters["ms_per_frame"] = Per_Frame * 1e3;
  const std::string Read_Key = Key.substr(0, Key.find('/')) + "/read";
  if (Key != Read_Key && Seconds_Per_Frame.count(Read_Key) > 0)
    State.counters["Ratio_To_Read"] = Per_Frame / Seconds_Per_Frame[Read_Key];
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(F.Total_Bytes));
}

// The plain read: every byte of every file into one buffer, as `cat` would.
void BM_Read(benchmark::State& State) {
  const int Width = static_cast<int>(State.range(0));
  TBench_Frames& F = Frames(Width);
  std::vector<char> Buffer(size_t{1} << 20);
  const TPass_Time Pass = Timed(State, [&] {
    for (const std::string& File : F.Files) {
      const int Handle = open(File.c_str(), O_RDONLY);
      if (Handle < 0) {
        State.SkipWithError("cannot open a frame");
        return;
      }
      while (read(Handle, Buffer.data(), Buffer.size()) > 0)
        benchmark::DoNotOptimize(Buffer.data());
      close(Handle);
    }
  });
  Report(State, F, std::to_string(Width) + "/read", Pass.Wall);
}

int Measure_All(const TBench_Frames& F, bool On_Demand) {
  TQuiet_Messages Messages;
  int Measured = 0;
  for (const std::string& File : F.Files) {
    const TMeasure_Result Result =
        Measure_File(File, F.Catalogue, F.Settings, Messages, TOpen_Options{false, On_Demand});
    Measured += !Result.Failed && Result.Image.Last_Error == TResult_Code::Measured;
  }
  return Measured;
}

// Peak resident memory the batch adds, in MB, measured in a child so that nothing else of
// this process counts: the child resets its high-water mark and measures once.
double Peak_Added_MB(const TBench_Frames& F, bool On_Demand) {
  const pid_t Child = fork();
  if (Child == 0) {
    auto Status_Kb = [](const char* Field) {
      std::ifstream Status("/proc/self/status");
      for (std::string Line; std::getline(Status, Line);)
        if (Line.starts_with(Field))
          return std::atol(Line.c_str() + std::string(Field).size());
      return 0L;
    };
    std::ofstream("/proc/self/clear_refs") << "5";
    const long Start = Status_Kb("VmRSS:");
    Measure_All(F, On_Demand);
    const long Added = Status_Kb("VmHWM:") - Start;
    _exit(static_cast<int>(std::min(Added / 1024, 250L)));
  }
  int Status = 0;
  if (Child < 0 || waitpid(Child, &Status, 0) != Child || !WIFEXITED(Status))
    return -1.0;
  return WEXITSTATUS(Status);
}

void Measure(benchmark::State& State, bool On_Demand) {
  const int Width = static_cast<int>(State.range(0));
  TBench_Frames& F = Frames(Width);
  int Measured = 0;
  const TPass_Time Pass = Timed(State, [&] { Measured = Measure_All(F, On_Demand); });
  if (Measured != static_cast<int>(F.Files.size()))
    State.SkipWithError("not every frame was measured");
  const std::string Key = std::to_string(Width) + (On_Demand ? "/demand" : "/full");
  Report(State, F, Key, Pass.Wall);
  if (On_Demand && Width != 4096 && Seconds_Per_Frame.count("4096/demand") > 0)
    State.counters["Ratio_To_4096"] = Seconds_Per_Frame[Key] / Seconds_Per_Frame["4096/demand"];
  State.counters["Peak_Added_MB"] = Peak_Added_MB(F, On_Demand);
}

void BM_Measure_On_Demand(benchmark::State& State) {
  Measure(State, true);
}
void BM_Measure_Full_Read(benchmark::State& State) {
  Measure(State, false);
}

} // namespace

BENCHMARK(BM_Read)->Arg(4096)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Measure_On_Demand)->Arg(4096)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Measure_Full_Read)->Arg(4096)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Read)->Arg(9576)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Measure_On_Demand)->Arg(9576)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Measure_Full_Read)->Arg(9576)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
