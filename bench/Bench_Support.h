#pragma once
// What the benchmarks share: a message sink that keeps nothing, a night of plate-solved
// frames with its target file and settings in a scratch folder, and the timing of a pass.

#include "cli/Measure_Command.h"
#include "support/Star_Field.h"
#include "support/Test_Files.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <time.h>
#include <vector>

class TQuiet_Messages : public TMessages {
public:
  void Show(const std::string&) override {}
};

// Count frames of Width x Height at RA 10 h, Dec +20: the target at the reference pixel, its
// reference star 3' north and a few hundred field stars. Distinct frames are copies of the
// first file, the others hard links to it (a large night without its page cache). The
// folder is removed with the object.
struct TBench_Frames {
  TScratch_Folder Scratch;
  std::vector<std::string> Files;
  uintmax_t Total_Bytes = 0;
  TTarget_Catalogue Catalogue;
  TSettings Settings;

  TBench_Frames(const std::string& Prefix, int Width, int Height, int Count, bool Distinct)
      : Scratch(Prefix) {
    namespace fs = std::filesystem;
    TStar_Field_Description D = Centred_Field(Width, Height, 150.0, 20.0);
    D.Stars = {Sky_Star(10.0, 20.0, 50000.0), Sky_Star(10.0, 20.05, 200000.0)};
    Add_Random_Stars(D, 300, 2000.0, 300000.0, 20.0, 7);
    const std::string First = Scratch.Path("frame_0.fit");
    Write_Star_Field(Make_Star_Field(D), First);
    for (int i = 0; i < Count; ++i) {
      const std::string File = Scratch.Path("frame_" + std::to_string(i) + ".fit");
      if (i > 0) {
        if (Distinct)
          fs::copy_file(First, File);
        else
          fs::create_hard_link(First, File);
      }
      Files.push_back(File);
      Total_Bytes += fs::file_size(File);
    }
    const std::string Targets = Scratch.Write(
        "targets.csv", "Name\r\n\r\n\r\nV1 Bench,10,0,0,+20,0,0,Ref B,10,0,0,+20,3,0,V,12.0,13.0,B1\r\n");
    TQuiet_Messages Messages;
    Load_Targets(Targets, Catalogue, TNumber_Format{'.'}, Messages);
    Settings = Default_Settings(Scratch.Folder.string());
    Settings.Gain = D.Gain;
    Settings.Readout_Noise = D.Read_Noise;
  }
};

// The calling thread's CPU time, which stays meaningful when other work shares the machine.
inline double Thread_CPU_Seconds() {
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
