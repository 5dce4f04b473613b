#include "image/Display.h"
#include "text/Messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

TImageArray Random_Image(uint32_t Columns, uint32_t Rows, uint16_t Low, uint16_t High, unsigned Seed) {
  TImageArray Image;
  Image.Allocate(Columns, Rows);
  std::mt19937 Random(Seed);
  std::uniform_int_distribution<int> Value(Low, High);
  for (size_t i = 0; i < size_t{Columns} * Rows; ++i)
    Image.Data()[i] = static_cast<uint16_t>(Value(Random));
  return Image;
}

// Grey of one value, worked out here the long way: the fraction of the range, in steps of 1/256.
int Reference_Grey(int v, int Black, int White) {
  const double Range = White > Black ? White - Black : 10;
  const double g = std::clamp((v - Black) * 256.0 / Range, 0.0, 255.0);
  return static_cast<int>(std::floor(g + 0.5));
}

// Bitmap rows padded to 4 bytes, padding set to a sentinel so that a stray write shows.
constexpr uint8_t Sentinel = 0xA5;
size_t Padded_Stride(uint32_t Columns) {
  return (3 * size_t{Columns} + 3) / 4 * 4;
}

std::vector<uint8_t> Fill(const TImageArray& Image, TStretch Stretch, unsigned Threads) {
  const size_t Stride = Padded_Stride(Image.Columns());
  std::vector<uint8_t> Bitmap(Stride * Image.Rows(), Sentinel);
  Fill_Grey(Image, Stretch, Bitmap, Stride, Threads);
  return Bitmap;
}

} // namespace

TEST(Display, Uniform_Images_Get_A_Stretch_Of_100_Either_Side_And_One_Grey) {
  struct Case {
    uint16_t Value, Black, White;
    uint8_t Grey;
  };
  const Case Cases[] = {{1000, 900, 1100, 128}, {50, 0, 150, 85}, {65500, 65400, 65535, 190}, {0, 0, 100, 0}};
  for (const Case& C : Cases) {
    TImageArray Image;
    Image.Allocate(23, 17);
    std::fill_n(Image.Data(), 23 * 17, C.Value);
    const TStretch Stretch = Automatic_Stretch(Build_Histogram(Image));
    EXPECT_EQ(Stretch, (TStretch{C.Black, C.White})) << C.Value;
    const std::vector<uint8_t> Bitmap = Fill(Image, Stretch, 0);
    for (size_t y = 0; y < 17; ++y)
      for (size_t i = 0; i < 3 * 23; ++i)
        ASSERT_EQ(Bitmap[y * Padded_Stride(23) + i], C.Grey) << C.Value;
  }
  EXPECT_THROW(Automatic_Stretch(Build_Histogram(TImageArray{})), TKorvane_Error);
}

TEST(Display, Histogram_And_Stretch_Follow_The_Ranks_Of_The_Pixels_With_Any_Thread_Count) {
  struct Case {
    uint32_t Columns, Rows;
  };
  // 28 pixels: darkest and brightest; 100: the 3rd darkest and the brightest; then larger.
  const Case Cases[] = {{7, 4}, {10, 10}, {37, 29}, {640, 481}};
  for (const Case& C : Cases) {
    const TImageArray Image = Random_Image(C.Columns, C.Rows, 100, 60000, C.Columns);
    std::vector<uint16_t> Sorted(Image.Data(), Image.Data() + size_t{C.Columns} * C.Rows);
    std::vector<uint32_t> Counts(65536, 0);
    for (uint16_t v : Sorted)
      ++Counts[v];
    std::sort(Sorted.begin(), Sorted.end());
    const size_t N = Sorted.size();
    for (unsigned Threads : {1u, 2u, 3u, 0u}) {
      const std::vector<uint32_t> Histogram = Build_Histogram(Image, Threads);
      EXPECT_EQ(Histogram, Counts) << C.Columns << "x" << C.Rows << ", threads " << Threads;
      EXPECT_EQ(Automatic_Stretch(Histogram), (TStretch{Sorted[N / 50], Sorted[N - 1 - N / 400]}))
          << C.Columns << "x" << C.Rows;
    }
  }
}

TEST(Display, Grey_Is_Linear_From_Black_To_White_With_Half_Steps_Rounded_Up) {
  struct Case {
    uint16_t Black, White, Value;
    uint8_t Grey;
  };
  const Case Cases[] = {
      {0, 512, 1, 1},       {0, 512, 256, 128},     {0, 512, 0, 0},          {0, 512, 512, 255},
      {0, 512, 5, 3},       {0, 512, 508, 254},     {0, 512, 509, 255},      {100, 612, 50, 0},
      {100, 612, 100, 0},   {100, 612, 65535, 255}, {1000, 1000, 1005, 128}, {1000, 1000, 1010, 255},
      {1000, 1000, 999, 0}, {2000, 1000, 2003, 77},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(Grey_Table({C.Black, C.White})[C.Value], C.Grey)
        << C.Black << "/" << C.White << ": " << C.Value;
}

TEST(Display, Threaded_Fill_Equals_The_Single_Threaded_One_And_Leaves_The_Padding) {
  struct Case {
    uint32_t Columns, Rows;
    TStretch Stretch;
  };
  // Bitmaps of 32 MiB and more are written past the caches: one without row padding whose
  // thread bands start off a 16-byte boundary, one with padding, streamed row by row. Images
  // that large compute their greys where the processor can and the computation matches the
  // table: a range of 39800 does, one of 20992 misses by one at 287 above black and must
  // fall back to the table.
  const TStretch Usual{1200, 41000}, Missed{1000, 21992};
  const Case Cases[] = {{1001, 777, Usual}, {12003, 5, Usual},    {5, 1, Usual},
                        {3, 3, Usual},      {4004, 2797, Missed}, {4001, 2800, Usual}};
  for (const Case& C : Cases) {
    const TImageArray Image = Random_Image(C.Columns, C.Rows, 0, 65535, C.Rows);
    const std::vector<uint8_t> Single = Fill(Image, C.Stretch, 1);
    const size_t Stride = Padded_Stride(C.Columns);
    std::vector<uint8_t> Expected(Single.size());
    for (size_t y = 0; y < C.Rows; ++y)
      for (size_t x = 0; x < Stride; ++x)
        Expected[y * Stride + x] = static_cast<uint8_t>(
            x < 3 * size_t{C.Columns}
                ? Reference_Grey(Image[y][x / 3], C.Stretch.BlackPoint, C.Stretch.WhitePoint)
                : Sentinel);
    const auto Wrong = std::mismatch(Single.begin(), Single.end(), Expected.begin()).first - Single.begin();
    EXPECT_EQ(Wrong, std::ssize(Single))
        << C.Columns << "x" << C.Rows << " at byte " << Wrong % Stride << " of row " << Wrong / Stride;
    for (unsigned Threads : {2u, 3u, 0u, 64u})
      EXPECT_TRUE(Fill(Image, C.Stretch, Threads) == Single)
          << C.Columns << "x" << C.Rows << ", threads " << Threads;
  }
  const TStretch Stretch = Usual;
  const TImageArray Image = Random_Image(10, 4, 0, 65535, 1);
  std::vector<uint8_t> Bitmap(32 * 4);
  EXPECT_THROW(Fill_Grey(Image, Stretch, Bitmap, 29, 1), TKorvane_Error); // row too short
  EXPECT_THROW(Fill_Grey(Image, Stretch, std::span(Bitmap).first(32 * 3 + 29), 32, 1), TKorvane_Error);
  EXPECT_NO_THROW(Fill_Grey(Image, Stretch, std::span(Bitmap).first(32 * 3 + 30), 32, 1));
}

TEST(Display, Scale_Table_And_Its_Inverse_For_The_Read_Out) {
  struct Size_Case {
    int32_t Index;
    int64_t Length;
  };
  // Indices out of range are taken as the nearest end of the list.
  const Size_Case Sizes[] = {{0, 12}, {6, 50}, {7, 100}, {14, 800}, {-1, 12}, {15, 800}};
  for (const Size_Case& C : Sizes)
    EXPECT_EQ(Scaled_Length(C.Index, 100), C.Length) << C.Index;
  EXPECT_EQ(Scaled_Length(14, UINT32_MAX), int64_t{UINT32_MAX} * 8);
  // A window side is at least 1 and at most 32767 pixels.
  EXPECT_EQ(Window_Side(0, 7), 1);
  EXPECT_EQ(Window_Side(7, 100), 100);
  EXPECT_EQ(Window_Side(14, 65535), 32767);

  struct Pixel_Case {
    int32_t Index, Client;
    uint32_t Size, Pixel;
  };
  const Pixel_Case Pixels[] = {
      {5, 10, 100, 30},  {7, 10, 100, 10}, {9, 10, 100, 3},
      {7, 150, 100, 99}, {0, 20, 100, 99}, {14, 1000, 100, 99},
      {7, -5, 100, 0},   {-1, 3, 100, 24}, {0, INT32_MAX, 4000000000u, 4000000000u - 1},
      {3, 7, 0, 0},
  };
  for (const Pixel_Case& C : Pixels)
    EXPECT_EQ(Client_To_Pixel(C.Index, C.Client, C.Size), C.Pixel) << C.Index << ", " << C.Client;
}

TEST(Display, Stretch_Drag_Scales_Level_And_Width_Within_Limits) {
  struct Case {
    uint16_t B0, W0;
    int64_t Dx, Dy;
    bool Changed;
    uint16_t Black, White;
  };
  const int64_t Far = 1'000'000'000'000'000'000;
  const Case Cases[] = {
      {1000, 3000, 0, 200, true, 3000, 5000}, // level doubled
      {1000, 3000, 200, 0, true, 1500, 2500}, // width halved
      {1000, 3000, 0, 0, true, 1000, 3000},
      {1000, 3000, 3, 4, false, 0, 0},
      {1000, 3000, 5, 4, true, 1064, 3016},
      {1000, 3000, -7, -10, true, 870, 2940},     // on a vertical grid line only
      {20, 200, -200, 0, true, 10, 290},          // black held at 10
      {30000, 60000, 0, 100, true, 52500, 65000}, // white held at 65000
      {60000, 65000, 0, 400, true, 65535, 65000}, // black beyond 16 bits
      {5000, 1000, -1000, 0, true, 15000, 0},     // white below 0
      {1000, 3000, 0, -Far, true, 10, 1000},
      {1000, 3000, 0, Far, true, 65535, 65000},
      {1000, 3000, Far, 0, true, 2000, 2000},
      {1000, 3000, -Far, 0, true, 10, 65000},
  };
  for (const Case& C : Cases) {
    const std::optional<TStretch> Result = Drag_Stretch({C.B0, C.W0}, C.Dx, C.Dy);
    ASSERT_EQ(Result.has_value(), C.Changed) << C.Dx << ", " << C.Dy;
    if (Result) {
      EXPECT_EQ(*Result, (TStretch{C.Black, C.White}))
          << C.B0 << "/" << C.W0 << " by " << C.Dx << ", " << C.Dy;
    }
  }
}

TEST(Display, Read_Out_Texts) {
  struct Case {
    double Ra, Dec;
    char Separator;
    const char* Expected;
  };
  const double Nan = std::numeric_limits<double>::quiet_NaN();
  const Case Cases[] = {
      {0.0, -0.5, '.', "RA =  0: 0:0.00, Dec = -0:30:0.00"},
      {0.0, 0.5, '.', "RA =  0: 0:0.00, Dec = 0:30:0.00"},
      {15.0, 0.0, '.', "RA =  1: 0:0.00, Dec = 0:0:0.00"},
      {15.749983333333335, 10 + 20 / 60.0 + 59.996 / 3600, '.', "RA =  1: 2:60.00, Dec = 10:20:60.00"},
      {202.5, -45.25, ',', "RA = 13:30:0,00, Dec = -45:15:0,00"},
      {83.8, -5.4, '.', "RA =  5:35:12.00, Dec = -5:24:0.00"},
      {Nan, 10.0, '.', ""},
      {10.0, std::numeric_limits<double>::infinity(), '.', ""},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(Sky_Position_Text(C.Ra, C.Dec, {C.Separator}), C.Expected) << C.Ra << ", " << C.Dec;

  EXPECT_EQ(Background_Text(3.14, {'.'}), "  3.1 ADUs");
  EXPECT_EQ(Background_Text(1234.56, {','}), "1234,6 ADUs");
  EXPECT_EQ(Location_Text(12, 3456), "(12,3456)");
  EXPECT_EQ(Pixel_Text(65535), "I=65535");
  EXPECT_EQ(Black_Point_Text(900) + " " + White_Point_Text(1100), "BP=900 WP=1100");
}

namespace {

TImageArray Float_Image(const std::vector<float>& Values, uint32_t Columns) {
  TImageArray Image;
  const uint32_t Rows = static_cast<uint32_t>(Values.size() / Columns);
  Image.Allocate_Float_For_Overwrite(Columns, Rows);
  for (uint32_t y = 0; y < Rows; ++y)
    std::copy_n(Values.begin() + y * Columns, Columns, Image.Float_Row(y));
  Image.Finish_Float();
  return Image;
}

} // namespace

// Floating-point frames are shown through display codes: whole values 0..65535 exactly as
// their 16-bit frame, other ranges spread over the codes, with the read-out in values.
TEST(Display, Floating_Point_Frames_Through_Display_Codes) {
  const TImageArray Sixteen = Random_Image(301, 67, 900, 4000, 3);
  std::vector<float> Same(Sixteen.Data(), Sixteen.Data() + size_t{301} * 67);
  const TImageArray Whole = Float_Image(Same, 301);
  EXPECT_EQ(Build_Histogram(Whole, 3), Build_Histogram(Sixteen, 1));
  const TStretch Stretch = Automatic_Stretch(Build_Histogram(Sixteen));
  EXPECT_EQ(Fill(Whole, Stretch, 2), Fill(Sixteen, Stretch, 1));
  EXPECT_EQ(White_Point_Text(Whole, Stretch.WhitePoint), White_Point_Text(Stretch.WhitePoint));

  struct TCase {
    const char* Name;
    std::vector<float> Values; // 4 columns
    double Low, Step;          // the codes expected
    uint32_t Column;           // read out in row 0
    const char *Pixel, *Black;
  } const Cases[] = {
      {"a dark-subtracted frame, negative and fractional",
       {-12.75f, -3.5f, 0.25f, 980.5f, 7.0f, 2.0f, -1.0f, 3.0f},
       -13.0,
       1.0,
       1,
       "I=-3.5",
       "BP=-13"},
      {"a flat-fielded frame of a narrow range",
       {0.96f, 1.0f, 1.02f, 0.98f, 1.01f, 0.99f, 1.0f, 1.03f},
       0.96f,
       (1.03f - 0.96f) / 65535.0,
       2,
       "I=1.02",
       "BP=0.96"},
      {"a range wider than the codes",
       {0.0f, 1e6f, 5e5f, 131070.0f, 1.0f, 2.0f, 3.0f, 4.0f},
       0.0,
       1e6 / 65535.0,
       3,
       "I=131070",
       "BP=0"},
      {"blank pixels",
       {std::nanf(""), 5.0f, -5.0f, 900.0f, 1.0f, 2.0f, 3.0f, std::numeric_limits<float>::infinity()},
       -5.0,
       1.0,
       0,
       "I=NaN",
       "BP=-5"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const TImageArray Image = Float_Image(Case.Values, 4);
    const TDisplay_Codes Codes = Display_Codes(Image);
    EXPECT_EQ(Codes.Low, Case.Low);
    EXPECT_NEAR(Codes.Step, Case.Step, 1e-12);
    const std::vector<uint32_t> Histogram = Build_Histogram(Image);
    for (const float v : Case.Values)
      EXPECT_GT(Histogram[Codes.Code_Of(v)], 0u) << v;
    EXPECT_EQ(Pixel_Text(Image, Case.Column, 0), Case.Pixel);
    EXPECT_EQ(Black_Point_Text(Image, 0), Case.Black);
  }
}
