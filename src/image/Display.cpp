#include "image/Display.h"

#include "text/Messages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr size_t Grey_Levels = 65536;
constexpr double Grey_Steps = 256.0;
constexpr unsigned Most_Threads = 8;
// Below this many pixels starting threads costs more than it saves.
constexpr uint64_t Parallel_Pixels = 1u << 18;
constexpr size_t Streamed_Bitmap_Bytes = size_t{32} << 20;
// From this many pixels on, checking the computed greys against the table (a pass over
// 65536 values) costs less than it saves.
constexpr size_t Computed_Pixels = size_t{1} << 20;

unsigned Thread_Count(unsigned Requested, const TImageArray& Image) {
  unsigned Count = Requested;
  if (Count == 0) {
    const uint64_t Pixels = uint64_t{Image.Columns()} * Image.Rows();
    const unsigned Cores = std::thread::hardware_concurrency();
    Count = Pixels < Parallel_Pixels ? 1 : std::clamp(Cores == 0 ? 2u : Cores, 1u, Most_Threads);
  }
  return std::max(1u, std::min<unsigned>(Count, std::max<uint32_t>(Image.Rows(), 1)));
}

// Runs Work(Part, First_Row, End_Row) for Count consecutive bands of rows, band 0 on the
// calling thread. A thread that cannot be started has its band done here instead. Work
// must not throw: every started thread is joined before returning.
template <class TWork> void For_Row_Bands(uint32_t Rows, unsigned Count, const TWork& Work) {
  auto Bound = [&](unsigned Part) { return static_cast<uint32_t>(uint64_t{Rows} * Part / Count); };
  std::vector<std::thread> Workers;
  Workers.reserve(Count);
  for (unsigned Part = 1; Part < Count; ++Part) {
    try {
      Workers.emplace_back(
          [&Work, Part, First = Bound(Part), End = Bound(Part + 1)] { Work(Part, First, End); });
    } catch (const std::system_error&) {
      Work(Part, Bound(Part), Bound(Part + 1));
    }
  }
  Work(0u, Bound(0), Bound(1));
  for (std::thread& Worker : Workers)
    Worker.join();
}

void Count_Rows(const TImageArray& Image, uint32_t* Counts, uint32_t First, uint32_t End) {
  const size_t Columns = Image.Columns();
  if (Image.Holds_Float()) {
    const TDisplay_Codes Codes = Display_Codes(Image);
    for (uint32_t y = First; y < End; ++y) {
      const float* Row = Image.Float_Row(y);
      for (size_t x = 0; x < Columns; ++x)
        ++Counts[Codes.Code_Of(Row[x])];
    }
    return;
  }
  for (uint32_t y = First; y < End; ++y) {
    const uint16_t* Row = Image[y];
    for (size_t x = 0; x < Columns; ++x)
      ++Counts[Row[x]];
  }
}

// The width of the grey ramp: from black to white, or 10 when white is not above black.
int32_t Grey_Range(int32_t Black, int32_t White) {
  return White > Black ? White - Black : 10;
}

uint8_t Grey_Of(int32_t Value, int32_t Black, int32_t White) {
  const int32_t Range = Grey_Range(Black, White);
  const double g = static_cast<double>((Value - Black) * 256) / Range;
  if (!(g >= 0.0))
    return 0;
  if (g > 255.0)
    return 255;
  return static_cast<uint8_t>(g + 0.5);
}

#if defined(__x86_64__)
// Sixteen greys spread by three byte shuffles into the 48 bytes of sixteen blue-green-red
// pixels at Out. Streamed: the stores bypass the caches (Out must be 16-byte aligned).
template <bool Streamed>
__attribute__((target("ssse3"), always_inline)) inline void Store_Spread(uint8_t* Out, __m128i Greys) {
  // Output byte i of each 16-byte store takes grey i / 3 of its group.
  const __m128i Spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i Spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m128i Spread2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  if constexpr (Streamed) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(Out), _mm_shuffle_epi8(Greys, Spread0));
    _mm_stream_si128(reinterpret_cast<__m128i*>(Out + 16), _mm_shuffle_epi8(Greys, Spread1));
    _mm_stream_si128(reinterpret_cast<__m128i*>(Out + 32), _mm_shuffle_epi8(Greys, Spread2));
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Out), _mm_shuffle_epi8(Greys, Spread0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + 16), _mm_shuffle_epi8(Greys, Spread1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + 32), _mm_shuffle_epi8(Greys, Spread2));
  }
}

// Sixteen pixels at a time: their greys are gathered into two 64-bit words, which three byte
// shuffles spread into the 48 bytes of the sixteen blue-green-red pixels. Returns the number
// of pixels done; the caller does the rest one by one.
template <bool Streamed>
__attribute__((target("ssse3"))) size_t Fill_Row_Shuffled(const uint16_t* In, const uint8_t* Table,
                                                          uint8_t* Out, size_t Columns) {
  size_t x = 0;
  for (; x + 16 <= Columns; x += 16, Out += 48) {
    uint64_t Low = 0, High = 0;
    for (int k = 7; k >= 0; --k) {
      Low = Low << 8 | Table[In[x + static_cast<size_t>(k)]];
      High = High << 8 | Table[In[x + 8 + static_cast<size_t>(k)]];
    }
    const __m128i Greys = _mm_set_epi64x(static_cast<long long>(High), static_cast<long long>(Low));
    Store_Spread<Streamed>(Out, Greys);
  }
  if constexpr (Streamed)
    _mm_sfence();
  return x;
}

// The grey of sixteen values computed instead of looked up: trunc((v - Black) * Scale + 0.5)
// in single precision, Scale = 256 / Range; the two packs give 0 below black and 255 above
// white. Single precision can miss Grey_Of by one where the exact value lies within about
// 1e-5 of a rounding boundary, so a stretch takes this path only after all 65536 values
// were checked against the table (Computes_Table).
struct TComputed_Grey {
  int32_t Black;
  float Scale;
};

// Eight greys in 32-bit lanes: 0 and 255 are not yet held to.
__attribute__((target("avx2,fma"), always_inline)) inline __m256i Eight_Greys(__m128i Values,
                                                                              const TComputed_Grey& Rule) {
  const __m256i n = _mm256_sub_epi32(_mm256_cvtepu16_epi32(Values), _mm256_set1_epi32(Rule.Black));
  return _mm256_cvttps_epi32(
      _mm256_fmadd_ps(_mm256_cvtepi32_ps(n), _mm256_set1_ps(Rule.Scale), _mm256_set1_ps(0.5f)));
}

__attribute__((target("avx2,fma"), always_inline)) inline __m128i Computed_Greys(__m256i Values,
                                                                                 const TComputed_Grey& Rule) {
  // The packs saturate: negative greys become 0, those above 255 become 255.
  const __m256i Words =
      _mm256_permute4x64_epi64(_mm256_packus_epi32(Eight_Greys(_mm256_castsi256_si128(Values), Rule),
                                                   Eight_Greys(_mm256_extracti128_si256(Values, 1), Rule)),
                               0xD8);
  return _mm_packus_epi16(_mm256_castsi256_si128(Words), _mm256_extracti128_si256(Words, 1));
}

template <bool Streamed>
__attribute__((target("avx2,fma"))) size_t Fill_Row_Computed(const uint16_t* In, const TComputed_Grey& Rule,
                                                             uint8_t* Out, size_t Columns) {
  size_t x = 0;
  for (; x + 16 <= Columns; x += 16, Out += 48)
    Store_Spread<Streamed>(
        Out, Computed_Greys(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(In + x)), Rule));
  if constexpr (Streamed)
    _mm_sfence();
  return x;
}

bool Has_Wide_Vectors() {
  static const bool Has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return Has;
}

// Whether Computed_Greys gives the table's grey for every 16-bit value.
__attribute__((target("avx2,fma"))) bool Computes_Table(const TComputed_Grey& Rule, const uint8_t* Table) {
  alignas(32) uint16_t Values[16];
  for (uint32_t First = 0; First < Grey_Levels; First += 16) {
    for (uint32_t k = 0; k < 16; ++k)
      Values[k] = static_cast<uint16_t>(First + k);
    alignas(16) uint8_t Greys[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(Greys),
                    Computed_Greys(_mm256_load_si256(reinterpret_cast<const __m256i*>(Values)), Rule));
    if (std::memcmp(Greys, Table + First, 16) != 0)
      return false;
  }
  return true;
}

bool Has_Byte_Shuffle() {
  static const bool Has = __builtin_cpu_supports("ssse3");
  return Has;
}
#endif

// How the fill finds a grey: always the table; on processors with wide vectors, for a
// stretch whose computed greys were found equal to the table's, the computation.
struct TGrey_Source {
  const uint8_t* Table;
  bool Computed = false;
#if defined(__x86_64__)
  TComputed_Grey Rule{};
#endif
};

#if defined(__x86_64__)
template <bool Streamed>
size_t Fill_Fast(const uint16_t* In, const TGrey_Source& Source, uint8_t* Out, size_t Count) {
  return Source.Computed ? Fill_Row_Computed<Streamed>(In, Source.Rule, Out, Count)
                         : Fill_Row_Shuffled<Streamed>(In, Source.Table, Out, Count);
}
#endif

void Fill_Span(const uint16_t* In, const TGrey_Source& Source, uint8_t* Out, size_t Count, bool Stream) {
  const uint8_t* Table = Source.Table;
  size_t x = 0;
#if defined(__x86_64__)
  if (Has_Byte_Shuffle()) {
    // Streamed: single pixels up to a 16-byte boundary of the output, then sixteen at a time.
    if (Stream)
      for (; x < Count && reinterpret_cast<uintptr_t>(Out) % 16 != 0; ++x, Out += 3)
        Out[0] = Out[1] = Out[2] = Table[In[x]];
    const size_t Done = Stream ? Fill_Fast<true>(In + x, Source, Out, Count - x)
                               : Fill_Fast<false>(In + x, Source, Out, Count - x);
    x += Done;
    Out += 3 * Done;
  }
#else
  (void)Stream;
#endif
  for (; x < Count; ++x, Out += 3)
    Out[0] = Out[1] = Out[2] = Table[In[x]];
}

void Fill_Rows(const TImageArray& Image, const TGrey_Source& Source, uint8_t* Bitmap, size_t Row_Stride,
               uint32_t First, uint32_t End) {
  const size_t Columns = Image.Columns();
  // A bitmap larger than the caches is streamed past them, as a plain memset of such a
  // block is; a small one stays cached for the paint that follows.
  const bool Stream = Row_Stride * Image.Rows() >= Streamed_Bitmap_Bytes;
  if (Image.Holds_Float()) {
    // Row by row through the display codes, which then take the 16-bit path.
    const TDisplay_Codes Codes = Display_Codes(Image);
    std::vector<uint16_t> Row_Codes(Columns);
    for (uint32_t y = First; y < End; ++y) {
      const float* Row = Image.Float_Row(y);
      for (size_t x = 0; x < Columns; ++x)
        Row_Codes[x] = Codes.Code_Of(Row[x]);
      Fill_Span(Row_Codes.data(), Source, Bitmap + y * Row_Stride, Columns, Stream);
    }
    return;
  }
  // Rows without padding in both arrays: the band is one run of pixels.
  if (Row_Stride == 3 * Columns && !Image.Empty()) {
    Fill_Span(Image[First], Source, Bitmap + First * Row_Stride, size_t{End - First} * Columns, Stream);
    return;
  }
  for (uint32_t y = First; y < End; ++y)
    Fill_Span(Image[y], Source, Bitmap + y * Row_Stride, Columns, Stream);
}

// The integer part of Value limited to Low..High; NaN gives Low.
int32_t Whole_Within(double Value, int32_t Low, int32_t High) {
  if (!(Value >= Low))
    return Low;
  if (Value >= static_cast<double>(High) + 1.0)
    return High;
  return static_cast<int32_t>(Value);
}

int32_t Valid_Scale_Index(int32_t Scale_Index) {
  return std::clamp(Scale_Index, Smallest_Scale_Index, Largest_Scale_Index);
}

} // namespace

TDisplay_Codes Display_Codes(const TImageArray& Image) {
  const double Low = Image.Lowest(), High = Image.Highest();
  if (!Image.Holds_Float())
    return {};
  // Whole steps only while they give at least as many levels as there are greys.
  const double Whole_Low = std::floor(Low);
  if (High - Whole_Low >= Grey_Steps && High - Whole_Low <= 65535.0)
    return Low >= 0.0 && High <= 65535.0 ? TDisplay_Codes{} : TDisplay_Codes{Whole_Low, 1.0};
  return {Low, High > Low ? (High - Low) / 65535.0 : 1.0};
}

std::vector<uint32_t> Build_Histogram(const TImageArray& Image, unsigned Threads) {
  // Refused here, on the calling thread: the bands below must not throw.
  Image.Require_Any_Block();
  std::vector<uint32_t> Histogram(Grey_Levels, 0);
  const unsigned Count = Thread_Count(Threads, Image);
  // Each band counts into its own table; the tables are added up afterwards.
  std::vector<std::vector<uint32_t>> Band_Counts(Count - 1, std::vector<uint32_t>(Grey_Levels, 0));
  For_Row_Bands(Image.Rows(), Count, [&](unsigned Part, uint32_t First, uint32_t End) {
    Count_Rows(Image, Part == 0 ? Histogram.data() : Band_Counts[Part - 1].data(), First, End);
  });
  for (const std::vector<uint32_t>& Counts : Band_Counts)
    for (size_t v = 0; v < Grey_Levels; ++v)
      Histogram[v] += Counts[v];
  return Histogram;
}

TStretch Automatic_Stretch(const std::vector<uint32_t>& Histogram) {
  if (Histogram.size() != Grey_Levels)
    throw TKorvane_Error("The histogram must have 65536 entries, not " + std::to_string(Histogram.size()));
  uint64_t N = 0;
  for (uint32_t Count : Histogram)
    N += Count;
  if (N == 0)
    throw TKorvane_Error("The image has no pixels to display");

  // The running sums reach N, which exceeds both limits, so both walks stop inside the table.
  const uint64_t Dark_Limit = N / 50, Bright_Limit = N / 400;
  int32_t Black = 0;
  for (uint64_t Sum = Histogram[0]; Sum <= Dark_Limit && Black < 65535;)
    Sum += Histogram[static_cast<size_t>(++Black)];
  int32_t White = 65535;
  for (uint64_t Sum = Histogram[65535]; Sum <= Bright_Limit && White > 0;)
    Sum += Histogram[static_cast<size_t>(--White)];

  if (Black >= White) {
    const int32_t Middle = (Black + White) / 2;
    Black = Middle < 100 ? 0 : Middle - 100;
    White = Middle > 65435 ? 65535 : Middle + 100;
  }
  return {static_cast<uint16_t>(Black), static_cast<uint16_t>(White)};
}

std::vector<uint8_t> Grey_Table(TStretch Stretch) {
  std::vector<uint8_t> Table(Grey_Levels);
  for (size_t v = 0; v < Grey_Levels; ++v)
    Table[v] = Grey_Of(static_cast<int32_t>(v), Stretch.BlackPoint, Stretch.WhitePoint);
  return Table;
}

void Fill_Grey(const TImageArray& Image, TStretch Stretch, std::span<uint8_t> Bitmap, size_t Row_Stride,
               unsigned Threads) {
  Image.Require_Any_Block();
  const size_t Columns = Image.Columns(), Rows = Image.Rows();
  if (Columns == 0 || Rows == 0)
    return;
  const size_t Row_Bytes = 3 * Columns;
  if (Row_Stride < Row_Bytes)
    throw TKorvane_Error("The display bitmap's rows hold " + std::to_string(Row_Stride) + " bytes, " +
                         std::to_string(Row_Bytes) + " are needed");
  if (Bitmap.size() / Row_Stride < Rows - 1 || Bitmap.size() - (Rows - 1) * Row_Stride < Row_Bytes)
    throw TKorvane_Error("The display bitmap is too small for an image of " + std::to_string(Columns) +
                         " x " + std::to_string(Rows) + " pixels");
  const std::vector<uint8_t> Table = Grey_Table(Stretch);
  TGrey_Source Source{Table.data()};
#if defined(__x86_64__)
  if (Has_Wide_Vectors() && Has_Byte_Shuffle() && Columns * Rows >= Computed_Pixels) {
    const int32_t Black = Stretch.BlackPoint, White = Stretch.WhitePoint;
    Source.Rule = {Black, 256.0f / static_cast<float>(Grey_Range(Black, White))};
    Source.Computed = Computes_Table(Source.Rule, Source.Table);
  }
#endif
  For_Row_Bands(Image.Rows(), Thread_Count(Threads, Image), [&](unsigned, uint32_t First, uint32_t End) {
    Fill_Rows(Image, Source, Bitmap.data(), Row_Stride, First, End);
  });
}

int64_t Scaled_Length(int32_t Scale_Index, uint32_t Size) {
  const int64_t i = Valid_Scale_Index(Scale_Index);
  return i <= 6 ? int64_t{Size} / (8 - i) : int64_t{Size} * (i - 6);
}

int32_t Window_Side(int32_t Scale_Index, uint32_t Size) {
  constexpr int64_t Largest_Side = 32767;
  return static_cast<int32_t>(std::clamp<int64_t>(Scaled_Length(Scale_Index, Size), 1, Largest_Side));
}

uint32_t Client_To_Pixel(int32_t Scale_Index, int32_t Client, uint32_t Size) {
  if (Size == 0)
    return 0;
  const int64_t i = Valid_Scale_Index(Scale_Index);
  const int64_t Position = i < 7 ? int64_t{Client} * (8 - i) : int64_t{Client} / (i - 6);
  return static_cast<uint32_t>(std::clamp<int64_t>(Position, 0, int64_t{Size} - 1));
}

std::optional<TStretch> Drag_Stretch(TStretch Start, int64_t Dx, int64_t Dy) {
  if (Dx % 5 != 0 && Dy % 5 != 0)
    return std::nullopt;
  const double B0 = Start.BlackPoint, W0 = Start.WhitePoint;
  const double dx = static_cast<double>(Dx), dy = static_cast<double>(Dy);
  // Level sum and width; the divisors are at least 200 and 201, the values finite.
  const double Sum = Dy <= 0 ? (B0 + W0) * 200.0 / (200.0 - dy) : (B0 + W0) * (200.0 + dy) / 200.0;
  const double Width = Dx <= 0 ? (W0 - B0) * (200.0 - dx) / 200.0 : (W0 - B0) * 200.0 / (200.0 + dx);
  // Black at least 10, white at most 65000; beyond that, both held within 16 bits.
  return TStretch{static_cast<uint16_t>(Whole_Within((Sum - Width) / 2.0 + 0.5, 10, 65535)),
                  static_cast<uint16_t>(Whole_Within((Sum + Width) / 2.0 + 0.5, 0, 65000))};
}

// Texts are built by appending: "literal" + std::string&& draws a false -Wrestrict warning at -O3.
std::string Location_Text(uint32_t Column, uint32_t Row) {
  std::string Text = "(";
  Text += std::to_string(Column);
  Text += ',';
  Text += std::to_string(Row);
  Text += ')';
  return Text;
}

std::string Pixel_Text(uint16_t Value) {
  return std::string("I=").append(std::to_string(Value));
}

std::string Black_Point_Text(uint16_t BlackPoint) {
  return std::string("BP=").append(std::to_string(BlackPoint));
}

std::string White_Point_Text(uint16_t WhitePoint) {
  return std::string("WP=").append(std::to_string(WhitePoint));
}

namespace {

// Up to seven significant digits, without trailing zeros: what a float holds.
std::string Value_Text(double Value) {
  if (std::isnan(Value))
    return "NaN";
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.7g", Value);
  return Text;
}

} // namespace

std::string Pixel_Text(const TImageArray& Image, uint32_t Column, uint32_t Row) {
  if (!Image.Holds_Float())
    return Pixel_Text(Image[Row][Column]);
  return std::string("I=").append(Value_Text(Image.Float_Row(Row)[Column]));
}

std::string Black_Point_Text(const TImageArray& Image, uint16_t BlackPoint) {
  if (!Image.Holds_Float())
    return Black_Point_Text(BlackPoint);
  return std::string("BP=").append(Value_Text(Display_Codes(Image).Value_Of(BlackPoint)));
}

std::string White_Point_Text(const TImageArray& Image, uint16_t WhitePoint) {
  if (!Image.Holds_Float())
    return White_Point_Text(WhitePoint);
  return std::string("WP=").append(Value_Text(Display_Codes(Image).Value_Of(WhitePoint)));
}

std::string Background_Text(double Adu, const TNumber_Format& Format) {
  return Format_Fixed(Adu, 5, 1, Format.Decimal_Separator).append(" ADUs");
}

std::string Sky_Position_Text(double Ra_Degrees, double Dec_Degrees, const TNumber_Format& Format) {
  // Beyond 1e15 degrees a whole number of hours still fits 64 bits, but no fraction is left.
  constexpr double Largest_Angle = 1e15;
  if (!(std::fabs(Ra_Degrees) <= Largest_Angle) || !(std::fabs(Dec_Degrees) <= Largest_Angle))
    return {};
  const char Separator = Format.Decimal_Separator;
  const double Hours = Ra_Degrees / 15.0;
  const double h = std::floor(Hours);
  const double rm = (Hours - h) * 60.0;
  const double m = std::floor(rm);
  const double s = (rm - m) * 60.0;
  const bool Negative = Dec_Degrees < 0.0;
  const double a = std::fabs(Dec_Degrees);
  const double d = std::trunc(a);
  const double dm = (a - d) * 60.0;
  const double m2 = std::floor(dm);
  const double s2 = (dm - m2) * 60.0;
  std::string Text = "RA = ";
  Text += Format_Integer(static_cast<long long>(h), 2);
  Text += ':';
  Text += Format_Integer(static_cast<long long>(m), 2);
  Text += ':';
  Text += Format_Fixed(s, 2, 2, Separator);
  Text += Negative ? ", Dec = -" : ", Dec = ";
  Text += Format_Integer(static_cast<long long>(d));
  Text += ':';
  Text += Format_Integer(static_cast<long long>(m2));
  Text += ':';
  Text += Format_Fixed(s2, 2, 2, Separator);
  return Text;
}
