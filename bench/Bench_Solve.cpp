// Plate solving one frame of real index stars (800 x 800 at 11"/px, about 90 Tycho-2 stars),
// with the header's hints (pointing within 0.2 degrees and the pixel scale) against the blind
// solve it falls back to without them. Every iteration runs the solver: the cache is emptied.

#include "solve/Plate_Solve.h"
#include "support/Index_Field.h"
#include "support/Test_Files.h"

#include <benchmark/benchmark.h>

#include <filesystem>

namespace {

class TQuiet : public TMessages {
public:
  void Show(const std::string&) override {}
};

void Solve_Frame(benchmark::State& State, bool Hints) {
  const TScratch_Folder Scratch("korvane-bench-solve");
  TStar_Field Field = Make_Star_Field(Index_Field(Index_Stars(80.0, 30.0, 1.8), 800, 80.0, 30.0, 11.0));
  // The pointing a mount reports: a little off the field's centre.
  Field.Header.Add("RA", "80.15");
  Field.Header.Add("DEC", "30.1");
  Field.Header.Add("PIXSCALE", "11.0");
  const std::string Path = Scratch.Path("frame.fit");
  Write_Star_Field(Field, Path);
  TImage_Model Image;
  TQuiet Quiet;
  Image.Open_File(Path, Quiet);
  const TSolve_Frame Frame = Solve_Frame_Of(Image);
  TSolve_Options Options;
  Options.Use_Hints = Hints;
  Options.Cache_Folder = Scratch.Path("cache");
  for (auto _ : State) {
    std::filesystem::remove_all(Options.Cache_Folder);
    const TSolve_Result Result = Plate_Solve(Frame, Options);
    if (Result.Outcome != TSolve_Outcome::Solved) {
      State.SkipWithError(("not solved: " + Result.Message).c_str());
      return;
    }
  }
}

} // namespace

BENCHMARK_CAPTURE(Solve_Frame, With_Hints, true)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK_CAPTURE(Solve_Frame, Blind, false)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
