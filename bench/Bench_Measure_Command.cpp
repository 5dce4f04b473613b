// The per-file work of korvane-measure (open, analyse, format the table row) over 100
// plate-solved 2048 x 2048 frames, beside a plain read of the same files into a buffer.
// The baseline runs first and warms the page cache; the command's benchmark reports its
// time as ratios to the baseline: Ratio_To_Read (wall clock) and CPU_Ratio_To_Read.

#include "cli/Measure_Command.h"
#include "support/Star_Field.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int Frame_Count = 100;
constexpr int Frame_Size = 2048;

class TQuiet_Messages : public TMessages {
public:
  void Show(const std::string&) override {}
};

// The frames, the target file and the settings, made once and removed at exit.
struct TBench_Data {
  fs::path Dir;
  std::vector<std::string> Files;
  uintmax_t Total_Bytes = 0;
  TTarget_Catalogue Catalogue;
  TSettings Settings;

  TBench_Data() {
    char Pattern[] = "/tmp/korvane-bench-measure-XXXXXX";
    if (mkdtemp(Pattern) == nullptr)
      throw std::runtime_error("cannot create a temporary folder");
    Dir = Pattern;

    // A field at RA 10 h, Dec +20 with the target at the reference pixel, its reference star
    // 3' north and a few hundred field stars.
    TStar_Field_Description D = Centred_Field(Frame_Size, Frame_Size, 150.0, 20.0);
    D.Stars = {Sky_Star(10.0, 20.0, 50000.0), Sky_Star(10.0, 20.05, 200000.0)};
    Add_Random_Stars(D, 300, 2000.0, 300000.0, 20.0, 7);
    const TStar_Field Field = Make_Star_Field(D);
    for (int i = 0; i < Frame_Count; ++i) {
      const std::string File = (Dir / ("frame_" + std::to_string(i) + ".fit")).string();
      if (i == 0)
        Write_Star_Field(Field, File);
      else
        fs::copy_file(Files.front(), File);
      Files.push_back(File);
      Total_Bytes += fs::file_size(File);
    }

    const std::string Targets = (Dir / "targets.csv").string();
    std::ofstream(Targets, std::ios::binary)
        << "Name\r\n\r\n\r\nV1 Bench,10,0,0,+20,0,0,Ref B,10,0,0,+20,3,0,V,12.0,13.0,B1\r\n";
    TQuiet_Messages Messages;
    Load_Targets(Targets, Catalogue, TNumber_Format{'.'}, Messages);
    Settings = Default_Settings(Dir.string());
    Settings.Gain = D.Gain;
    Settings.Readout_Noise = D.Read_Noise;
  }
  ~TBench_Data() {
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }
};

TBench_Data& Data() {
  static TBench_Data Instance;
  return Instance;
}

// Means of the baseline, for the ratios: wall-clock time, and the thread's CPU time, which
// stays meaningful when other work shares the machine.
double Read_Seconds_Per_Pass = 0.0;
double Read_CPU_Seconds_Per_Pass = 0.0;

double Thread_CPU_Seconds() {
  timespec Now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Now);
  return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) * 1e-9;
}

struct TPass_Time {
  double Wall = 0.0;
  double CPU = 0.0;
};

// Runs Pass once per iteration; returns the mean wall-clock and CPU seconds of one pass.
template <typename Work> TPass_Time Timed(benchmark::State& State, Work Pass) {
  TPass_Time Total;
  for (auto _ : State) {
    const auto Start = std::chrono::steady_clock::now();
    const double CPU_Start = Thread_CPU_Seconds();
    Pass();
    Total.CPU += Thread_CPU_Seconds() - CPU_Start;
    Total.Wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  }
  const double N = static_cast<double>(State.iterations());
  return N > 0 ? TPass_Time{Total.Wall / N, Total.CPU / N} : TPass_Time{};
}

void BM_Read_Files(benchmark::State& State) {
  TBench_Data& D = Data();
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
  TBench_Data& D = Data();
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
