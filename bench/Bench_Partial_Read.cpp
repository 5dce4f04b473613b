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

#include "cli/Measure_Command.h"
#include "support/Star_Field.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TQuiet_Messages : public TMessages {
public:
  void Show(const std::string&) override {}
};

int Frame_Count() {
  const char* Text = std::getenv("KORVANE_BENCH_FRAMES");
  const int Count = Text != nullptr ? std::atoi(Text) : 100;
  return Count > 0 ? Count : 100;
}

// One size of frame: the files, the target file and the settings, removed at exit.
struct TFrames {
  fs::path Dir;
  std::vector<std::string> Files;
  uintmax_t Total_Bytes = 0;
  TTarget_Catalogue Catalogue;
  TSettings Settings;

  TFrames(int Width, int Height, bool Distinct) {
    char Pattern[] = "/tmp/korvane-bench-partial-XXXXXX";
    if (mkdtemp(Pattern) == nullptr)
      throw std::runtime_error("cannot create a temporary folder");
    Dir = Pattern;
    // The target at the field's centre, its reference star 3' north, a few hundred others.
    TStar_Field_Description D = Centred_Field(Width, Height, 150.0, 20.0);
    D.Stars = {Sky_Star(10.0, 20.0, 50000.0), Sky_Star(10.0, 20.05, 200000.0)};
    Add_Random_Stars(D, 300, 2000.0, 300000.0, 20.0, 7);
    const std::string First = (Dir / "frame_0.fit").string();
    Write_Star_Field(Make_Star_Field(D), First);
    for (int i = 0; i < Frame_Count(); ++i) {
      const std::string File = (Dir / ("frame_" + std::to_string(i) + ".fit")).string();
      if (i > 0) {
        if (Distinct)
          fs::copy_file(First, File);
        else
          fs::create_hard_link(First, File);
      }
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
  ~TFrames() {
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }
};

TFrames& Frames(int Width) {
  static std::map<int, std::unique_ptr<TFrames>> Made;
  auto& Slot = Made[Width];
  if (!Slot)
    Slot = Width == 4096 ? std::make_unique<TFrames>(4096, 4096, true)
                         : std::make_unique<TFrames>(9576, 6388, false);
  return *Slot;
}

// Seconds per frame of each run, for the ratios.
std::map<std::string, double> Seconds_Per_Frame;

template <typename Work> double Seconds_Per_Pass(benchmark::State& State, Work Pass) {
  double Total = 0.0;
  for (auto _ : State) {
    const auto Start = std::chrono::steady_clock::now();
    Pass();
    Total += std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  }
  return State.iterations() > 0 ? Total / static_cast<double>(State.iterations()) : 0.0;
}

void Report(benchmark::State& State, const TFrames& F, const std::string& Key, double Pass_Seconds) {
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
  TFrames& F = Frames(Width);
  std::vector<char> Buffer(size_t{1} << 20);
  const double Pass = Seconds_Per_Pass(State, [&] {
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
  Report(State, F, std::to_string(Width) + "/read", Pass);
}

int Measure_All(const TFrames& F, bool On_Demand) {
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
double Peak_Added_MB(const TFrames& F, bool On_Demand) {
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
  TFrames& F = Frames(Width);
  int Measured = 0;
  const double Pass = Seconds_Per_Pass(State, [&] { Measured = Measure_All(F, On_Demand); });
  if (Measured != static_cast<int>(F.Files.size()))
    State.SkipWithError("not every frame was measured");
  const std::string Key = std::to_string(Width) + (On_Demand ? "/demand" : "/full");
  Report(State, F, Key, Pass);
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
