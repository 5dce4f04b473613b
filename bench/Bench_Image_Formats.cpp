// Open_File on the same 2048 x 2048 frame in every format the reader takes, written by
// cfitsio, each reported beside the 16-bit read of the same run: Ratio_To_16 is its time
// over that of the 16-bit file (the first benchmark). Open_On_Demand does the same for the
// on-demand read of korvane-measure.

#include "Bench_Support.h"
#include "image/Image_Model.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <fitsio.h>
#include <zlib.h>

namespace {

constexpr long Side = 2048;

struct TFormat {
  const char* Name;
  int Bitpix;      // as cfitsio's image types: 8, 16 (USHORT_IMG), 32, -32, -64
  bool Extension;  // after a primary HDU without data
  int Compression; // a cfitsio compression type, 0: none
  bool Gzipped;
};

const TFormat Formats[] = {
    {"16-bit", USHORT_IMG, false, 0, false},
    {"8-bit", BYTE_IMG, false, 0, false},
    {"32-bit", LONG_IMG, false, 0, false},
    {"float32", FLOAT_IMG, false, 0, false},
    {"float64", DOUBLE_IMG, false, 0, false},
    {"extension float32", FLOAT_IMG, true, 0, false},
    {"RICE_1 .fz", USHORT_IMG, false, RICE_1, false},
    {"16-bit .gz", USHORT_IMG, false, 0, true},
};

std::string Write(const TScratch_Folder& Scratch, const TFormat& F, size_t Index) {
  // A smooth ramp with some texture, within 8 bits for the 8-bit file.
  std::vector<unsigned short> Values(static_cast<size_t>(Side * Side));
  for (long y = 0; y < Side; ++y)
    for (long x = 0; x < Side; ++x)
      Values[static_cast<size_t>(y * Side + x)] = static_cast<unsigned short>(
          (F.Bitpix == BYTE_IMG ? 255 : 65535) & (x * 7 + y * 13 + (x * y) % 251));
  const std::string Path = Scratch.Path("format" + std::to_string(Index) + ".fits");
  int Status = 0;
  fitsfile* File = nullptr;
  long Axes[2] = {Side, Side};
  fits_create_file(&File, ("!" + Path).c_str(), &Status);
  if (F.Extension)
    fits_create_img(File, BYTE_IMG, 0, nullptr, &Status);
  if (F.Compression != 0)
    fits_set_compression_type(File, F.Compression, &Status);
  fits_create_img(File, F.Bitpix, 2, Axes, &Status);
  fits_write_img(File, TUSHORT, 1, Side * Side, Values.data(), &Status);
  fits_close_file(File, &Status);
  if (Status != 0)
    std::abort();
  if (!F.Gzipped)
    return Path;
  const std::string Bytes = Get(Path);
  gzFile Out = gzopen((Path + ".gz").c_str(), "wb6");
  if (Out == nullptr || gzwrite(Out, Bytes.data(), static_cast<unsigned>(Bytes.size())) <= 0)
    std::abort();
  gzclose(Out);
  return Path + ".gz";
}

class TFormat_Files {
public:
  TFormat_Files() {
    for (size_t i = 0; i < std::size(Formats); ++i)
      Paths.push_back(Write(Scratch, Formats[i], i));
  }
  TScratch_Folder Scratch{"korvane-bench-formats"};
  std::vector<std::string> Paths;
};

const TFormat_Files& Files() {
  static const TFormat_Files Instance;
  return Instance;
}

std::map<int64_t, double> Seconds; // per format, of this run

void Open_Format(benchmark::State& State) {
  const int64_t Index = State.range(0);
  const std::string& Path = Files().Paths[static_cast<size_t>(Index)];
  TQuiet_Messages Messages;
  const TPass_Time Pass = Timed(State, [&] {
    TImage_Model Model;
    Model.Open_File(Path, Messages);
    benchmark::DoNotOptimize(Model.Image_Array.Columns());
    benchmark::ClobberMemory();
  });
  Seconds[Index] = Pass.Wall;
  State.SetLabel(Formats[Index].Name);
  State.counters["ms"] = Pass.Wall * 1e3;
  if (Seconds.count(0) > 0)
    State.counters["Ratio_To_16"] = Pass.Wall / Seconds[0];
}

std::map<int64_t, double> Demand_Seconds; // per format, of this run

// What korvane-measure reads of an uncompressed file: the header, then two 31 x 31 squares
// of rows, as two apertures with their sky annuli.
void Open_On_Demand(benchmark::State& State) {
  const int64_t Index = State.range(0);
  const std::string& Path = Files().Paths[static_cast<size_t>(Index)];
  TQuiet_Messages Messages;
  TOpen_Options Options;
  Options.Pixels_On_Demand = true;
  const TPass_Time Pass = Timed(State, [&] {
    TImage_Model Model;
    Model.Open_File(Path, Messages, Options);
    const TImageArray& A = Model.Image_Array;
    for (const size_t Centre : {size_t{600}, size_t{1400}})
      for (size_t Row = Centre - 15; Row <= Centre + 15; ++Row)
        benchmark::DoNotOptimize(A.Holds_Float()
                                     ? static_cast<const void*>(A.Float_Span(Row, Centre - 15, Centre + 15))
                                     : static_cast<const void*>(A.Span(Row, Centre - 15, Centre + 15)));
  });
  Demand_Seconds[Index] = Pass.Wall;
  State.SetLabel(std::string(Formats[Index].Name) + " on demand");
  State.counters["ms"] = Pass.Wall * 1e3;
  if (Demand_Seconds.count(0) > 0)
    State.counters["Ratio_To_16"] = Pass.Wall / Demand_Seconds[0];
}

BENCHMARK(Open_Format)
    ->DenseRange(0, std::size(Formats) - 1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->UseRealTime();
// The uncompressed files only: compressed and gzip'ed ones are always read whole.
BENCHMARK(Open_On_Demand)->DenseRange(0, 5)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

} // namespace
