// The display arithmetic on a 9576 x 6388 16-bit image, each beside a baseline that bounds
// it in the same run:
//   Grey_Fill               beside Baseline_Memset: a plain memset of the same bitmap bytes;
//   Histogram_Stretch_Fill  beside Baseline_Byte_Swap: the same pixels held in memory as a
//                           file stores them (big-endian), byte-swapped into a pixel array.
// First argument, the image: 0 a sky frame (background with noise and stars: most values
// near the background, as on a real exposure), 1 a ramp over the whole 16-bit range (every
// row sweeps the full grey table, the worst case for the cache). Second argument, the
// thread count handed to the display functions: 0 automatic, 1 a single thread.
// Bitmaps and arrays are allocated once, as the window keeps its bitmap, so the ratios
// compare passes over memory and not page faults.

#include "image/Display.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// A bitmap allocated as the image window allocates its own, for the fill and for the
// memset baseline alike.
class TBitmap_Block {
public:
  explicit TBitmap_Block(size_t Bytes)
      : Block(static_cast<uint8_t*>(Allocate_Large_Block(Bytes))), Length(Bytes) {
    std::memset(Block, 0, Length);
  }
  ~TBitmap_Block() { Free_Large_Block(Block, Length); }
  TBitmap_Block(const TBitmap_Block&) = delete;
  TBitmap_Block& operator=(const TBitmap_Block&) = delete;
  uint8_t* data() { return Block; }
  size_t size() const { return Length; }
  operator std::span<uint8_t>() { return {Block, Length}; }

private:
  uint8_t* Block;
  size_t Length;
};

constexpr uint32_t Columns = 9576, Rows = 6388;
constexpr size_t Pixels = size_t{Columns} * Rows;
constexpr size_t Stride = 3 * size_t{Columns}; // already a multiple of 4

TImageArray Sky_Frame() {
  TImageArray Image;
  Image.Allocate(Columns, Rows);
  std::mt19937 Random(7);
  std::normal_distribution<double> Noise(0.0, 25.0);
  for (size_t i = 0; i < Pixels; ++i)
    Image.Data()[i] = static_cast<uint16_t>(std::lround(1000.0 + Noise(Random)));
  // Stars: Gaussian profiles of FWHM 3 pixels, peaks from 200 to 60000 ADU above the sky.
  std::uniform_real_distribution<double> Unit(0.0, 1.0);
  for (int Star = 0; Star < 20000; ++Star) {
    const double X = 10 + Unit(Random) * (Columns - 20), Y = 10 + Unit(Random) * (Rows - 20);
    const double Peak = 200.0 * std::pow(300.0, Unit(Random));
    for (int Row = static_cast<int>(Y) - 8; Row <= static_cast<int>(Y) + 8; ++Row)
      for (int Column = static_cast<int>(X) - 8; Column <= static_cast<int>(X) + 8; ++Column) {
        const double R2 = (Column - X) * (Column - X) + (Row - Y) * (Row - Y);
        uint16_t& Pixel = Image[static_cast<size_t>(Row)][Column];
        Pixel = static_cast<uint16_t>(std::min(Pixel + Peak * std::exp(-R2 / (2 * 1.274 * 1.274)), 65535.0));
      }
  }
  return Image;
}

TImageArray Ramp() {
  TImageArray Image;
  Image.Allocate(Columns, Rows);
  for (uint32_t y = 0; y < Rows; ++y)
    for (uint32_t x = 0; x < Columns; ++x)
      Image[y][x] = static_cast<uint16_t>(x * 7 + y * 13 + (x * y) % 251);
  return Image;
}

struct TBench_Image {
  explicit TBench_Image(TImageArray Made) : Image(std::move(Made)) {
    Big_Endian.resize(2 * Pixels);
    for (size_t i = 0; i < Pixels; ++i) {
      Big_Endian[2 * i] = static_cast<uint8_t>(Image.Data()[i] >> 8);
      Big_Endian[2 * i + 1] = static_cast<uint8_t>(Image.Data()[i] & 0xFF);
    }
  }
  TImageArray Image;
  std::vector<uint8_t> Big_Endian;
};

const TBench_Image& Bench_Image(const benchmark::State& State) {
  if (State.range(0) == 0) {
    static const TBench_Image Sky(Sky_Frame());
    return Sky;
  }
  static const TBench_Image Ramp_Image(Ramp());
  return Ramp_Image;
}

unsigned Threads(const benchmark::State& State) {
  return static_cast<unsigned>(State.range(1));
}

void Label(benchmark::State& State, int64_t Bytes, const std::string& What) {
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * Bytes);
  State.SetLabel(What + " " + std::to_string(Columns) + "x" + std::to_string(Rows));
}

std::string Image_Name(const benchmark::State& State) {
  return State.range(0) == 0 ? "sky" : "ramp";
}

void Grey_Fill(benchmark::State& State) {
  const TBench_Image& Source = Bench_Image(State);
  const TStretch Stretch = Automatic_Stretch(Build_Histogram(Source.Image));
  TBitmap_Block Bitmap(Stride * Rows);
  for (auto _ : State) {
    Fill_Grey(Source.Image, Stretch, Bitmap, Stride, Threads(State));
    benchmark::DoNotOptimize(Bitmap.data());
    benchmark::ClobberMemory();
  }
  Label(State, static_cast<int64_t>(Bitmap.size()), Image_Name(State));
}

void Baseline_Memset(benchmark::State& State) {
  TBitmap_Block Bitmap(Stride * Rows);
  int Value = 0;
  for (auto _ : State) {
    std::memset(Bitmap.data(), ++Value & 0xFF, Bitmap.size());
    benchmark::DoNotOptimize(Bitmap.data());
    benchmark::ClobberMemory();
  }
  Label(State, static_cast<int64_t>(Bitmap.size()), "bitmap");
}

void Histogram_Stretch_Fill(benchmark::State& State) {
  const TBench_Image& Source = Bench_Image(State);
  TBitmap_Block Bitmap(Stride * Rows);
  for (auto _ : State) {
    const TStretch Stretch = Automatic_Stretch(Build_Histogram(Source.Image, Threads(State)));
    Fill_Grey(Source.Image, Stretch, Bitmap, Stride, Threads(State));
    benchmark::DoNotOptimize(Bitmap.data());
    benchmark::ClobberMemory();
  }
  Label(State, static_cast<int64_t>(2 * Pixels), Image_Name(State));
}

void Baseline_Byte_Swap(benchmark::State& State) {
  const TBench_Image& Source = Bench_Image(State);
  TImageArray Target;
  Target.Allocate(Columns, Rows);
  for (auto _ : State) {
    const uint8_t* In = Source.Big_Endian.data();
    uint16_t* Out = Target.Data();
    for (size_t i = 0; i < Pixels; ++i)
      Out[i] = static_cast<uint16_t>(In[2 * i] << 8 | In[2 * i + 1]);
    benchmark::DoNotOptimize(Out);
    benchmark::ClobberMemory();
  }
  Label(State, static_cast<int64_t>(2 * Pixels), Image_Name(State));
}

// Every benchmark runs eight times and reports, besides mean and median, the fastest run:
// on a shared machine other work only ever adds time, so the ratios are read off the "min"
// rows.
void Repeated(benchmark::internal::Benchmark* Bench) {
  Bench->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(8)->ReportAggregatesOnly(true);
  Bench->ComputeStatistics(
      "min", [](const std::vector<double>& Times) { return *std::min_element(Times.begin(), Times.end()); });
}

// Image x threads, as described at the top.
void Images_And_Threads(benchmark::internal::Benchmark* Bench) {
  Bench->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1});
  Repeated(Bench);
}

BENCHMARK(Grey_Fill)->Apply(Images_And_Threads);
BENCHMARK(Baseline_Memset)->Arg(0)->Apply(Repeated);
BENCHMARK(Histogram_Stretch_Fill)->Apply(Images_And_Threads);
BENCHMARK(Baseline_Byte_Swap)->Arg(0)->Apply(Repeated);

} // namespace
