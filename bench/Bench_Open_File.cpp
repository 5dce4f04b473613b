// Open_File on large 16-bit images beside a baseline that only reads the same data bytes
// (after the header) and byte-swaps them into a uint16_t array. The ratio of the two is
// what the reader costs beyond the bare read.

#include "Bench_Support.h"
#include "image/Display.h"
#include "image/Image_Model.h"
#include "support/Fits_Writer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct TBench_File {
  std::string Path;
  int Columns, Rows;
  size_t Header_Bytes;
};

// The test files, written once per run into a scratch folder removed at exit.
class TBench_Files {
public:
  TBench_Files() {
    Files[0] = Make("4096x4096.fit", 4096, 4096);
    Files[1] = Make("9576x6388.fit", 9576, 6388);
  }
  TBench_File Files[2];

private:
  TBench_File Make(const std::string& Name, int Columns, int Rows) {
    TFits_Writer Writer = Standard_Header(Columns, Rows);
    Writer.Add("EXPOSURE", "60.0", "seconds");
    Writer.Add("JD", "2456000.5");
    Add_TAN_WCS(Writer, 83.8, -5.4, Columns / 2.0, Rows / 2.0, -2.7e-4, 1e-6, 1e-6, 2.7e-4);
    for (int k = 0; k < 40; ++k)
      Writer.Add_Raw("HISTORY   calibration step " + std::to_string(k));
    const std::string Header = Writer.Header_Bytes();
    const std::string Path = Scratch.Path(Name);
    std::ofstream Out(Path, std::ios::binary);
    Out.write(Header.data(), static_cast<std::streamsize>(Header.size()));
    // A smooth ramp with some texture, written a row at a time.
    std::string Row(static_cast<size_t>(Columns) * 2, '\0');
    for (int y = 0; y < Rows; ++y) {
      for (int x = 0; x < Columns; ++x) {
        const auto Stored = static_cast<uint16_t>((x * 7 + y * 13 + (x * y) % 251) ^ 0x8000);
        Row[static_cast<size_t>(x) * 2] = static_cast<char>(Stored >> 8);
        Row[static_cast<size_t>(x) * 2 + 1] = static_cast<char>(Stored & 0xFF);
      }
      Out.write(Row.data(), static_cast<std::streamsize>(Row.size()));
    }
    if (!Out)
      std::abort();
    return {Path, Columns, Rows, Header.size()};
  }
  TScratch_Folder Scratch{"korvane-bench"};
};

const TBench_Files& Files() {
  static const TBench_Files Instance;
  return Instance;
}

void Open_File(benchmark::State& State) {
  const TBench_File& File = Files().Files[State.range(0)];
  TQuiet_Messages Messages;
  for (auto _ : State) {
    TImage_Model Model;
    Model.Open_File(File.Path, Messages);
    benchmark::DoNotOptimize(Model.Image_Array.Data());
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(State.iterations() * int64_t{2} * File.Columns * File.Rows);
  State.SetLabel(std::to_string(File.Columns) + "x" + std::to_string(File.Rows));
}

// What a window does before it can show an opened file: read it, count the histogram, find
// the automatic stretch and fill a fresh 24-bit bitmap (rows padded to 4 bytes, as the
// window's are).
void Open_To_Picture(benchmark::State& State) {
  const TBench_File& File = Files().Files[State.range(0)];
  TQuiet_Messages Messages;
  const size_t Stride = (static_cast<size_t>(File.Columns) * 3 + 3) / 4 * 4;
  for (auto _ : State) {
    TImage_Model Model;
    Model.Open_File(File.Path, Messages);
    const TStretch Stretch = Automatic_Stretch(Build_Histogram(Model.Image_Array));
    // The bitmap as the window allocates it.
    const size_t Bytes = Stride * static_cast<size_t>(File.Rows);
    auto* Bitmap = static_cast<uint8_t*>(Allocate_Large_Block(Bytes));
    Fill_Grey(Model.Image_Array, Stretch, std::span<uint8_t>(Bitmap, Bytes), Stride);
    benchmark::DoNotOptimize(Bitmap);
    Free_Large_Block(Bitmap, Bytes);
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(State.iterations() * int64_t{2} * File.Columns * File.Rows);
  State.SetLabel(std::to_string(File.Columns) + "x" + std::to_string(File.Rows));
}

// Baseline: one read of the data bytes into a fresh array, then an in-place byte swap.
void Baseline_Read_And_Swap(benchmark::State& State) {
  const TBench_File& File = Files().Files[State.range(0)];
  const size_t Count = static_cast<size_t>(File.Columns) * static_cast<size_t>(File.Rows);
  for (auto _ : State) {
    std::unique_ptr<uint16_t[]> Pixels(new uint16_t[Count]);
    const int Fd = ::open(File.Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
      std::abort();
    auto* Bytes = reinterpret_cast<char*>(Pixels.get());
    size_t Done = 0;
    while (Done < Count * 2) {
      const ssize_t Got =
          ::pread(Fd, Bytes + Done, Count * 2 - Done, static_cast<off_t>(File.Header_Bytes + Done));
      if (Got <= 0)
        std::abort();
      Done += static_cast<size_t>(Got);
    }
    ::close(Fd);
    for (size_t i = 0; i < Count; ++i)
      Pixels[i] = static_cast<uint16_t>((Pixels[i] << 8) | (Pixels[i] >> 8));
    benchmark::DoNotOptimize(Pixels.get());
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(State.iterations() * int64_t{2} * File.Columns * File.Rows);
  State.SetLabel(std::to_string(File.Columns) + "x" + std::to_string(File.Rows));
}

BENCHMARK(Open_File)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Open_To_Picture)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Baseline_Read_And_Swap)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
