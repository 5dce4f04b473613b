// Measure_Magnitude with recentring on a 2048 x 2048 field, beside its baseline: the 50 plain
// passes over the (2R + 3)^2 square that recentring has to read at the least. The ratio of
// the two is what the weights, the sky histogram and the noise model cost on top.

#include "photometry/Photometry.h"
#include "support/Star_Field.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

constexpr uint32_t Radius = 20;
constexpr double Target_X = 700.3, Target_Y = 900.6;
constexpr double Reference_X = 1300.2, Reference_Y = 1100.7;
constexpr double Reference_Mark_X = 1301.4, Reference_Mark_Y = 1099.9; // 1.4 px off: recentring works

TStar_Field_Description Description() {
  TStar_Field_Description D = Centred_Field(2048, 2048, 150.0, 20.0);
  D.Sky = 900.0;
  D.FWHM = 4.0;
  D.Seed = 2048;
  D.Stars = {{Target_X, Target_Y, false, 0, 0, 30000.0, 0},
             {Reference_X, Reference_Y, false, 0, 0, 200000.0, 0}};
  Add_Random_Stars(D, 400, 500.0, 100000.0, 10.0, 4096);
  return D;
}

const TImage_Model& Field() {
  static const TImage_Model Image = [] {
    TImage_Model I = Star_Field_Image(Description());
    I.ObjectX = Target_X;
    I.ObjectY = Target_Y;
    I.Reference_Mag = 11.0;
    return I;
  }();
  return Image;
}

void BM_Measure_Magnitude_Snap_R20(benchmark::State& State) {
  const TSettings S = Field_Measure_Settings(Description(), Radius, 3, 5);
  TImage_Model I = Field();
  for (auto _ : State) {
    I.ReferenceX = Reference_Mark_X; // recentring moved it on the last call
    I.ReferenceY = Reference_Mark_Y;
    benchmark::DoNotOptimize(Measure_Magnitude(I, S));
  }
  if (I.Last_Error != TResult_Code::Measured)
    State.SkipWithError("the benchmark field did not measure");
}

void BM_Baseline_50_Plain_Passes(benchmark::State& State) {
  const TImage_Model& I = Field();
  const int Side = 2 * static_cast<int>(Radius) + 3;
  const int x0 = static_cast<int>(Reference_X) - Side / 2, y0 = static_cast<int>(Reference_Y) - Side / 2;
  for (auto _ : State) {
    uint64_t Sum = 0;
    for (int Pass = 0; Pass < 50; ++Pass) {
      benchmark::ClobberMemory(); // each pass reads the pixels again
      for (int j = y0; j < y0 + Side; ++j) {
        const uint16_t* Row = I.Image_Array[static_cast<size_t>(j)];
        for (int i = x0; i < x0 + Side; ++i)
          Sum += Row[i];
      }
    }
    benchmark::DoNotOptimize(Sum);
  }
}

} // namespace

BENCHMARK(BM_Measure_Magnitude_Snap_R20);
BENCHMARK(BM_Baseline_50_Plain_Passes);
