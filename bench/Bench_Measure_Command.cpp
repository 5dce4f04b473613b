// The per-file work of korvane-measure (open, analyse, format the table row) over 100
// plate-solved 2048 x 2048 frames, beside a plain read of the same files into a buffer.
// The baseline runs first and warms the page cache; the command's benchmark reports its
// time as ratios to the baseline: Ratio_To_Read (wall clock) and CPU_Ratio_To_Read.

#include "Bench_Support.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int Frame_Count = 100;
constexpr int Frame_Size = 2048;

// The frames, the target file and the settings, made once and removed at exit.
TBench_Frames& Data() {
  static TBench_Frames Instance("korvane-bench-measure", Frame_Size, Frame_Size, Frame_Count, true);
  return Instance;
}

// Means of the baseline, for the ratios: wall-clock time, and the thread's CPU time.
double Read_Seconds_Per_Pass = 0.0;
double Read_CPU_Seconds_Per_Pass = 0.0;

void BM_Read_Files(benchmark::State& State) {
  TBench_Frames& D = Data();
  std::vector<char> Buffer;
  const TPass_Time Mean = Timed(State, [&] {
    for (const std::string& File : D.Files) {
      const int Handle = open(File.c_str(), O_RDONLY);
      if (Handle < 0) {
        State.SkipWithError("cannot open a frame");
        return;
      }
      Buffer.resize(static_cast<size_t>(fs::file_size(File)));
      size_t Done = 0;
      while (Done < Buffer.size()) {
        const ssize_t Got = read(Handle, Buffer.data() + Done, Buffer.size() - Done);
        if (Got <= 0)
          break;
        Done += static_cast<size_t>(Got);
      }
      close(Handle);
      benchmark::DoNotOptimize(Buffer.data());
      benchmark::ClobberMemory();
    }
  });
  Read_Seconds_Per_Pass = Mean.Wall;
  Read_CPU_Seconds_Per_Pass = Mean.CPU;
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(D.Total_Bytes));
}

void BM_Measure_Files(benchmark::State& State) {
  TBench_Frames& D = Data();
  TQuiet_Messages Messages;
  const TTable_Layout Layout = Table_Layout(D.Files, D.Catalogue);
  int Measured = 0;
  const TPass_Time Mean = Timed(State, [&] {
    Measured = 0;
    for (const std::string& File : D.Files) {
      const TMeasure_Result Result = Measure_File(File, D.Catalogue, D.Settings, Messages);
      std::string Row = Table_Row(Result, Layout, D.Settings.Max_Error);
      benchmark::DoNotOptimize(Row.data());
      Measured += !Result.Failed && Result.Image.Last_Error == TResult_Code::Measured;
    }
  });
  if (Measured != Frame_Count)
    State.SkipWithError("not every frame was measured");
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(D.Total_Bytes));
  if (Read_Seconds_Per_Pass > 0.0 && Read_CPU_Seconds_Per_Pass > 0.0) {
    State.counters["Ratio_To_Read"] = Mean.Wall / Read_Seconds_Per_Pass;
    State.counters["CPU_Ratio_To_Read"] = Mean.CPU / Read_CPU_Seconds_Per_Pass;
  }
}

} // namespace

BENCHMARK(BM_Read_Files)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Measure_Files)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
