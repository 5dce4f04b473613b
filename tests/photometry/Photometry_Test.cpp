// Marking, Measure_Star and Measure_Magnitude on images built pixel by pixel, so that the
// expected numbers follow from the aperture geometry and worked examples.

#include "photometry/Photometry.h"
#include "support/Star_Field.h"
#include "text/Messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>

namespace {

TImage_Model Image_Of(int Width, int Height, const std::function<uint16_t(int, int)>& Value) {
  TImage_Model I;
  I.Image_Array.Allocate(static_cast<uint32_t>(Width), static_cast<uint32_t>(Height));
  for (int y = 0; y < Height; ++y)
    for (int x = 0; x < Width; ++x)
      I.Image_Array[static_cast<size_t>(y)][x] = Value(x, y);
  I.XSize = static_cast<uint16_t>(Width);
  I.YSize = static_cast<uint16_t>(Height);
  I.Exposure = 60.0;
  return I;
}

TImage_Model Flat_Image(int Width, int Height, uint16_t Value) {
  return Image_Of(Width, Height, [Value](int, int) { return Value; });
}

TSettings Aperture(uint32_t Radius, uint32_t Gap, uint32_t Annulus) {
  TSettings S;
  S.Radius = Radius;
  S.Gap = Gap;
  S.Annulus = Annulus;
  S.Gain = 1.0;
  S.Max_Error = 1.0;
  return S;
}

// Sky 0 everywhere, one lit pixel per star: the net signal is exactly the pixel's value.
TImage_Model Two_Point_Image(int Width, int Height, int Xt, int Yt, uint16_t Vt, int Xr, int Yr,
                             uint16_t Vr) {
  TImage_Model I = Flat_Image(Width, Height, 0);
  if (Xt >= 0 && Xt < Width && Yt >= 0 && Yt < Height)
    I.Image_Array[static_cast<size_t>(Yt)][Xt] = Vt;
  if (Xr >= 0 && Xr < Width && Yr >= 0 && Yr < Height)
    I.Image_Array[static_cast<size_t>(Yr)][Xr] = Vr;
  I.ObjectX = Xt;
  I.ObjectY = Yt;
  I.ReferenceX = Xr;
  I.ReferenceY = Yr;
  I.Reference_Mag = 12.0;
  return I;
}

TEST(Measure_Star, Aperture_Weights_Sum_To_The_Worked_Areas) {
  struct {
    uint32_t Radius;
    double Npap_real;
  } const Cases[] = {{12, 453.49}, {2, 13.32}};
  for (const auto& C : Cases) {
    TImage_Model I = Flat_Image(100, 100, 10);
    ASSERT_TRUE(Measure_Star(I, Aperture(C.Radius, 3, 3), false, 50.0, 50.0));
    EXPECT_NEAR(I.Npap_real, C.Npap_real, 0.005) << "radius " << C.Radius;
  }
}

// The aperture pass splits each row into whole, partial and empty pixels for speed; any
// centre and radius must give the sums of the plain rule, pixel by pixel over the box.
TEST(Measure_Star, Aperture_Sums_Follow_The_Weight_Rule_For_Any_Centre) {
  std::mt19937_64 Rng(5);
  std::uniform_real_distribution<double> Across(0.6, 119.4), Down(0.6, 99.4);
  std::uniform_int_distribution<int> Radii(0, 25);
  int Measured = 0;
  for (int Case = 0; Case < 60; ++Case) {
    const double X = Across(Rng), Y = Down(Rng);
    const int R = Radii(Rng);
    // Light near the star only, so that the sky from the annulus 4 pixels out is 0.
    TImage_Model I = Image_Of(120, 100, [&](int x, int y) -> uint16_t {
      return std::hypot(x - X, y - Y) < R + 2 ? static_cast<uint16_t>(1000 + (x * 7 + y * 13) % 2000)
                                              : uint16_t{0};
    });
    double S = 0, Npap = 0;
    const int xc = static_cast<int>(std::nearbyint(X)), yc = static_cast<int>(std::nearbyint(Y));
    for (int j = std::max(0, yc - R - 1); j <= std::min(99, yc + R + 1); ++j)
      for (int i = std::max(0, xc - R - 1); i <= std::min(119, xc + R + 1); ++i) {
        const double w = (R - (std::hypot(i - X, j - Y) - 0.707)) / 1.414;
        if (w > 0) {
          S += std::min(w, 1.0) * I.Image_Array[static_cast<size_t>(j)][i];
          Npap += std::min(w, 1.0);
        }
      }
    if (!Measure_Star(I, Aperture(static_cast<uint32_t>(R), 4, 3), false, X, Y))
      continue; // annulus wholly outside this small image
    ++Measured;
    ASSERT_EQ(I.Sky_Fluxpp, 0.0);
    EXPECT_NEAR(I.Npap_real, Npap, 1e-9 * (1 + Npap)) << X << ", " << Y << ", R " << R;
    EXPECT_NEAR(I.Net_Flux, std::max(S, 50.0), 1e-12 * (1 + S)) << X << ", " << Y << ", R " << R;
  }
  EXPECT_GT(Measured, 40);
}

TEST(Measure_Star, Annulus_Holds_The_Pixels_Between_The_Half_Pixel_Limits) {
  struct {
    uint32_t Radius, Gap, Annulus;
    int32_t Npan;
  } const Cases[] = {
      {12, 3, 3, 336}, // squared distances 241 to 342
      {2, 0, 1, 16},   // squared distances 7 to 12: 8, 9 and 10 occur
  };
  // Values 100 and 101 in a checkerboard: the clipping keeps them all.
  TImage_Model I = Image_Of(200, 200, [](int x, int y) { return static_cast<uint16_t>(100 + (x + y) % 2); });
  for (const auto& C : Cases) {
    ASSERT_TRUE(Measure_Star(I, Aperture(C.Radius, C.Gap, C.Annulus), false, 100.0, 100.0));
    EXPECT_EQ(I.Npan, C.Npan) << C.Radius << "/" << C.Gap << "/" << C.Annulus;
    EXPECT_GE(I.Sky_Fluxpp, 100.0);
    EXPECT_LE(I.Sky_Fluxpp, 101.0);
  }
}

// The annulus lies around the centre rounded half to even, the aperture's distances are
// taken from the exact centre. Pixels of the true annulus and of the aperture are 500;
// everything else is 5000, so an annulus around another centre takes in pixels that the
// clipping then drops (Npan falls below 336). One aperture pixel 12.5 columns and half a
// row from the exact centre holds 1000 more: its weight tells which centre the distances
// were taken from.
TEST(Measure_Star, Annulus_Around_Rounded_Centre_And_Aperture_Around_Exact_Centre) {
  struct {
    double X, Y;
    int Xc, Yc; // the centre rounded half to even
  } const Cases[] = {{100.5, 200.5, 100, 200}, {101.5, 201.5, 102, 202}};
  const TSettings S = Aperture(12, 3, 3);
  for (const auto& C : Cases) {
    const int Probe_X = static_cast<int>(C.X - 12.5), Probe_Y = static_cast<int>(C.Y - 0.5);
    TImage_Model I = Image_Of(300, 300, [&](int x, int y) -> uint16_t {
      if (x == Probe_X && y == Probe_Y)
        return 1500;
      const int q = (x - C.Xc) * (x - C.Xc) + (y - C.Yc) * (y - C.Yc);
      const bool In_Annulus = q >= 241 && q <= 342;
      const bool In_Aperture = std::hypot(x - C.X, y - C.Y) < 12.0 + 0.707;
      return In_Annulus || In_Aperture ? 500 : 5000;
    });
    ASSERT_TRUE(Measure_Star(I, S, false, C.X, C.Y));
    EXPECT_EQ(I.Npan, 336) << C.X;
    EXPECT_DOUBLE_EQ(I.Sky_Fluxpp, 500.0) << C.X;
    const double Probe_Weight = (12.0 + 0.707 - std::hypot(12.5, 0.5)) / 1.414;
    EXPECT_NEAR(I.Net_Flux, 1000.0 * Probe_Weight, 1e-6) << C.X;
    EXPECT_EQ(I.NewX, C.X);
    EXPECT_EQ(I.NewY, C.Y);
  }
}

TEST(Measure_Magnitude, Centre_Rounding_To_The_First_Column_Or_Row_Is_Not_Measurable) {
  const int W = 100, H = 80;
  struct {
    const char* Name;
    double Xt, Yt, Xr, Yr;
    int Code;
  } const Cases[] = {
      {"target rounds to column 0", 0.4, 40, 50, 40, 3},
      {"target at 0.5 rounds to even column 0", 0.5, 40, 50, 40, 3},
      {"target at row 0.5 rounds to row 0", 30, 0.5, 50, 40, 3},
      {"target at 1.5 rounds to column 2", 1.5, 40, 50, 40, 0},
      {"target on the last column", W - 1, 40, 50, 40, 0},
      {"target rounds to column XSize", W - 0.5, 40, 50, 40, 3},
      {"target on the last row", 30, H - 1, 50, 40, 0},
      {"reference rounds to column 0", 30, 40, 0.4, 40, 4},
      {"reference on the last column", 30, 40, W - 1, 40, 0},
  };
  TSettings S = Aperture(2, 1, 2);
  for (const auto& C : Cases) {
    // A sky of 100/101 and a bright pixel where each star is.
    TImage_Model I = Image_Of(W, H, [&](int x, int y) -> uint16_t {
      if ((x == std::lround(C.Xt) && y == std::lround(C.Yt)) ||
          (x == std::lround(C.Xr) && y == std::lround(C.Yr)))
        return 20000;
      return static_cast<uint16_t>(100 + (x + y) % 2);
    });
    I.ObjectX = C.Xt;
    I.ObjectY = C.Yt;
    I.ReferenceX = C.Xr;
    I.ReferenceY = C.Yr;
    I.Reference_Mag = 11.0;
    EXPECT_EQ(Measure_Magnitude(I, S), C.Code == 0) << C.Name;
    EXPECT_EQ(Code_Number(I.Last_Error), C.Code) << C.Name;
  }
}

TEST(Measure_Magnitude, Worked_Signals_Give_Magnitude_And_Error) {
  // E_t 10000 and E_r 40000 electrons: SNR about 100 and 200 (sky 0, no read noise).
  TImage_Model I = Two_Point_Image(100, 100, 30, 50, 10000, 70, 50, 40000);
  TSettings S = Aperture(2, 2, 2);
  ASSERT_TRUE(Measure_Magnitude(I, S));
  EXPECT_EQ(Code_Number(I.Last_Error), 0);
  EXPECT_NEAR(I.Magnitude, 13.505, 0.0005);
  EXPECT_EQ(I.Less_Than, 0);
  EXPECT_NEAR(I.Std_Error, 0.01214, 0.00001);
  EXPECT_NEAR(I.CMag, -2.5 * std::log10(40000.0 / 60.0), 1e-9);
  EXPECT_EQ(I.Ref_Background, 0.0);
  EXPECT_EQ(I.Star_Background, 0.0);
}

TEST(Measure_Magnitude, Unreachable_Error_Limit_Gives_Code_4_With_Results_Written) {
  // Reference of 10000 electrons: SNR_r just below 100, so with Max_Error 0.01
  // Q = 0.84836e-4 - 1/SNR_r^2 < 0.0001 and the limit signal stays at 500 electrons.
  struct {
    const char* Name;
    uint16_t Target;
    double Max_Error;
    bool Ok;
    int Code;
    int Less_Than;
    double Magnitude;
  } const Cases[] = {
      {"bright target", 40000, 0.01, false, 4, 0, 12.0 - 2.5 * std::log10(4.0)},
      {"faint target takes the limit of 500 e", 100, 0.01, false, 4, 1,
       12.0 - 2.5 * std::log10(500.0 / 10000.0)},
      {"reachable limit", 40000, 0.05, true, 0, 0, 12.0 - 2.5 * std::log10(4.0)},
  };
  for (const auto& C : Cases) {
    TImage_Model I = Two_Point_Image(100, 100, 30, 50, C.Target, 70, 50, 10000);
    TSettings S = Aperture(2, 2, 2);
    S.Max_Error = C.Max_Error;
    EXPECT_EQ(Measure_Magnitude(I, S), C.Ok) << C.Name;
    EXPECT_EQ(Code_Number(I.Last_Error), C.Code) << C.Name;
    EXPECT_EQ(I.Less_Than, C.Less_Than) << C.Name;
    EXPECT_NEAR(I.Magnitude, C.Magnitude, 1e-6) << C.Name;
    EXPECT_GT(I.Std_Error, 0.0) << C.Name;
    EXPECT_NEAR(I.CMag, -2.5 * std::log10(10000.0 / 60.0), 1e-9) << C.Name;
  }
}

// The noise of both stars and of the limit uses the target's aperture pixel count, each
// star's own annulus count and sky, and the digitisation term 0.289 G^2. The reference
// star sits on the last column, so its aperture is cut and its counts differ. The limit
// signal is the fixed point of E = N(E) / sqrt(Q), which solves E^2 Q = E + X.
TEST(Measure_Magnitude, Noise_Model_Takes_The_Targets_Aperture_Count) {
  const int W = 100, H = 100;
  auto Make = [&](uint16_t Target) {
    TImage_Model I = Image_Of(W, H, [=](int x, int y) -> uint16_t {
      if (x == 40 && y == 50)
        return static_cast<uint16_t>(200 + Target);
      if (x == W - 1 && y == 50)
        return 200 + 20000;
      return static_cast<uint16_t>(200 + (x + 2 * y) % 3); // sky 200..202
    });
    I.Exposure = 100.0;
    I.ObjectX = 40;
    I.ObjectY = 50;
    I.ReferenceX = W - 1;
    I.ReferenceY = 50;
    I.Reference_Mag = 10.0;
    return I;
  };
  TSettings S = Aperture(4, 2, 3);
  S.Gain = 2.0;
  S.Readout_Noise = 5.0;
  S.Dark_Current = 0.1;
  S.Max_Error = 0.2;

  // The two stars one at a time, for their counts and sky levels.
  TImage_Model Probe = Make(5000);
  ASSERT_TRUE(Measure_Star(Probe, S, false, 40, 50));
  const double n = std::nearbyint(Probe.Npap_real), nb_t = Probe.Npan, s_t = Probe.Sky_Fluxpp;
  const double E_t = Probe.Net_Flux * S.Gain;
  ASSERT_TRUE(Measure_Star(Probe, S, false, W - 1, 50));
  const double nb_r = Probe.Npan, s_r = Probe.Sky_Fluxpp, E_r = Probe.Net_Flux * S.Gain;
  ASSERT_NE(std::nearbyint(Probe.Npap_real), n) << "the reference's aperture should be cut";

  auto X = [&](double nb, double s) {
    return n * (1 + n / nb) * (S.Dark_Current * 100.0 + S.Gain * s + 25.0 + 0.289 * 4.0);
  };
  const double SNR_t = E_t / std::sqrt(E_t + X(nb_t, s_t)), SNR_r = E_r / std::sqrt(E_r + X(nb_r, s_r));

  TImage_Model I = Make(5000);
  ASSERT_TRUE(Measure_Magnitude(I, S));
  EXPECT_NEAR(I.Std_Error, 1.0857 * std::sqrt(1 / (SNR_t * SNR_t) + 1 / (SNR_r * SNR_r)), 1e-12);
  EXPECT_NEAR(I.Magnitude, 10.0 - 2.5 * std::log10(E_t / E_r), 1e-12);
  EXPECT_EQ(I.Less_Than, 0);
  EXPECT_EQ(I.Ref_Background, s_t);
  EXPECT_EQ(I.Star_Background, s_r);

  // A target of 20 ADU lies beyond the limit.
  const double Q = 0.84836 * 0.2 * 0.2 - 1 / (SNR_r * SNR_r);
  const double E_lim = (1 + std::sqrt(1 + 4 * Q * X(nb_r, s_r))) / (2 * Q);
  TImage_Model Faint = Make(20);
  ASSERT_TRUE(Measure_Magnitude(Faint, S));
  EXPECT_EQ(Faint.Less_Than, 1);
  EXPECT_NEAR(Faint.Magnitude, 10.0 - 2.5 * std::log10(E_lim / E_r), 1e-6);
}

TEST(Measure_Magnitude, Only_The_Reference_Star_Is_Recentred_And_Only_With_Snap) {
  TStar_Field_Description D;
  D.Width = 100;
  D.Height = 80;
  D.Sky = 100.0;
  D.Noise = false;
  D.Write_WCS = false;
  D.Stars = {{30.0, 40.0, false, 0, 0, 30000.0, 3.0}, {60.3, 40.6, false, 0, 0, 50000.0, 3.0}};
  const TImage_Model Field = Star_Field_Image(D);
  TSettings S = Aperture(3, 3, 4);

  // The target's signal measured where it is marked, 1.5 columns off the star.
  TImage_Model Probe = Field;
  ASSERT_TRUE(Measure_Star(Probe, S, false, 31.5, 40.0));
  const double E_t_At_Mark = Probe.Net_Flux * S.Gain;

  for (const bool Snap : {false, true}) {
    TImage_Model I = Field;
    I.ObjectX = 31.5;
    I.ObjectY = 40.0;
    I.ReferenceX = 61.4;
    I.ReferenceY = 39.8;
    I.Reference_Mag = 11.0;
    S.Snap_to_Centre = Snap;
    ASSERT_TRUE(Measure_Magnitude(I, S)) << Snap;
    EXPECT_EQ(I.ObjectX, 31.5);
    EXPECT_EQ(I.ObjectY, 40.0);
    if (Snap) {
      EXPECT_NEAR(I.ReferenceX, 60.3, 0.05);
      EXPECT_NEAR(I.ReferenceY, 40.6, 0.05);
    } else {
      EXPECT_EQ(I.ReferenceX, 61.4);
      EXPECT_EQ(I.ReferenceY, 39.8);
    }
    EXPECT_EQ(I.NewX, I.ReferenceX);
    // The target's signal, from the magnitude and the reference's signal.
    const double E_t = I.Net_Flux * S.Gain * std::pow(10.0, -0.4 * (I.Magnitude - 11.0));
    EXPECT_NEAR(E_t, E_t_At_Mark, 1e-6 * E_t_At_Mark) << Snap;
  }
}

// On a brightness ramp the centroid always lies ahead of the aperture's centre, so the
// centre keeps moving: by about m2 / x per pass, with m2 the second moment of the aperture
// (about R^2 / 4 + 1/12 = 2.33 for R = 3) and x near 51, some 0.046 px. Fifty passes, no
// convergence test, carry it about 2.3 px.
TEST(Measure_Star, Recentring_Makes_Fifty_Passes) {
  TImage_Model I = Image_Of(100, 80, [](int x, int) { return static_cast<uint16_t>(100 * x); });
  ASSERT_TRUE(Measure_Star(I, Aperture(3, 2, 3), true, 50.0, 40.0));
  EXPECT_GT(I.NewX - 50.0, 2.0);
  EXPECT_LT(I.NewX - 50.0, 2.5);
  EXPECT_NEAR(I.NewY, 40.0, 1e-9);
}

// Settings and images far beyond the dialog's range must not overflow the sky statistics:
// 80000 pixels of one value (a 16-bit count wraps) times 40000 (a 32-bit sum wraps), and an
// annulus width whose sum with radius and gap wraps an unsigned 32-bit integer.
TEST(Measure_Star, Sky_Statistics_Do_Not_Overflow) {
  TImage_Model I =
      Image_Of(400, 400, [](int x, int y) { return static_cast<uint16_t>(40000 + (x + y) % 2); });
  const uint32_t Annuli[] = {1000, std::numeric_limits<uint32_t>::max() - 1};
  for (const uint32_t Annulus : Annuli) {
    ASSERT_TRUE(Measure_Star(I, Aperture(2, 0, Annulus), false, 200.0, 200.0)) << Annulus;
    // Every pixel but the 21 within squared distance 6 of the centre.
    EXPECT_EQ(I.Npan, 400 * 400 - 21) << Annulus;
    EXPECT_GE(I.Sky_Fluxpp, 40000.0);
    EXPECT_LE(I.Sky_Fluxpp, 40001.0);
  }
}

TEST(Measure_Star, Clipping_Pass_Without_Pixels_Keeps_The_Previous_Pass) {
  // One value throughout: the second window holds only the value above it.
  TImage_Model I = Flat_Image(100, 100, 700);
  ASSERT_TRUE(Measure_Star(I, Aperture(12, 3, 3), false, 50.0, 50.0));
  EXPECT_EQ(I.Sky_Fluxpp, 700.0);
  EXPECT_EQ(I.Npan, 336);
  EXPECT_EQ(I.Net_Flux, 50.0); // no signal: the floor
}

TEST(Measure_Magnitude, Annulus_Wholly_Outside_The_Image_Is_Not_Measurable) {
  // Radius 2, gap 28: the annulus starts 30.5 pixels out. From (20, 20) of a 40 x 40 image
  // no pixel is that far; from (1, 1) many are.
  struct {
    double Xt, Yt, Xr, Yr;
    int Code;
  } const Cases[] = {{20, 20, 1, 1, 3}, {1, 1, 20, 20, 4}};
  for (const auto& C : Cases) {
    TImage_Model I = Image_Of(40, 40, [](int x, int y) { return static_cast<uint16_t>(300 + (x * y) % 7); });
    I.ObjectX = C.Xt;
    I.ObjectY = C.Yt;
    I.ReferenceX = C.Xr;
    I.ReferenceY = C.Yr;
    EXPECT_FALSE(Measure_Magnitude(I, Aperture(2, 28, 3)));
    EXPECT_EQ(Code_Number(I.Last_Error), C.Code);
  }
}

TEST(Measure_Magnitude, Undefined_Instrumental_Magnitude_Is_An_Error_Before_Any_Result_Is_Written) {
  struct {
    double Gain, Exposure;
    const char* Message;
  } const Cases[] = {
      {0.0, 60.0, "Gain is 0: set the camera gain"},
      {-1.5, 60.0, "set the camera gain"},
      {1.5, 0.0, "Exposure is 0: the image has no EXPOSURE keyword"},
      {1.5, -10.0, "EXPOSURE"},
  };
  for (const auto& C : Cases) {
    TImage_Model I = Two_Point_Image(100, 100, 30, 50, 10000, 70, 50, 40000);
    I.Exposure = C.Exposure;
    I.Magnitude = -99.0;
    I.CMag = -99.0;
    TSettings S = Aperture(2, 2, 2);
    S.Gain = C.Gain;
    try {
      Measure_Magnitude(I, S);
      ADD_FAILURE() << "no error for gain " << C.Gain << ", exposure " << C.Exposure;
    } catch (const TKorvane_Error& E) {
      EXPECT_NE(std::string(E.what()).find(C.Message), std::string::npos) << E.what();
    }
    EXPECT_EQ(Code_Number(I.Last_Error), 1);
    EXPECT_EQ(I.Magnitude, -99.0);
    EXPECT_EQ(I.CMag, -99.0);
  }
  // Only the reference star's magnitude needs them: a target outside the image is still
  // reported as such with a gain of 0.
  TImage_Model I = Two_Point_Image(100, 100, 0, 50, 10000, 70, 50, 40000);
  TSettings S = Aperture(2, 2, 2);
  S.Gain = 0.0;
  EXPECT_FALSE(Measure_Magnitude(I, S));
  EXPECT_EQ(Code_Number(I.Last_Error), 3);
}

// A setting that makes the numbers meaningless is an error naming it and its range, before
// anything is measured or written; the limits themselves still measure.
TEST(Measure_Magnitude, Meaningless_Settings_Are_Errors_Not_Magnitudes) {
  const struct {
    const char* Name;
    void (*Change)(TSettings&);
    const char* Message; // empty: the measurement goes ahead
  } Cases[] = {
      {"radius 0", [](TSettings& S) { S.Radius = 0; }, "Radius is 0: it must be from 1 to 10000 pixels"},
      {"radius 1", [](TSettings& S) { S.Radius = 1; }, ""},
      {"radius 10001", [](TSettings& S) { S.Radius = 10001; }, "Radius is 10001"},
      {"annulus 0", [](TSettings& S) { S.Annulus = 0; }, "Annulus is 0"},
      {"gap 0", [](TSettings& S) { S.Gap = 0; }, ""},
      {"wrapped gap", [](TSettings& S) { S.Gap = 4294967295u; },
       "Gap is 4294967295: it must be from 0 to 10000"},
      {"negative read noise", [](TSettings& S) { S.Readout_Noise = -1.0; }, "Readout_Noise is -1.000"},
      {"negative dark current", [](TSettings& S) { S.Dark_Current = -0.1; }, "Dark_Current is -0.100"},
      {"max error 0", [](TSettings& S) { S.Max_Error = 0.0; }, "Max_Error is 0.000"},
      {"negative max error", [](TSettings& S) { S.Max_Error = -0.2; }, "Max_Error is -0.200"},
      {"read noise not a number", [](TSettings& S) { S.Readout_Noise = std::nan(""); },
       "Readout_Noise is not a number"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TImage_Model I = Two_Point_Image(100, 100, 30, 50, 10000, 70, 50, 40000);
    I.Magnitude = -99.0;
    TSettings S = Aperture(3, 2, 2);
    C.Change(S);
    if (std::string(C.Message).empty()) {
      EXPECT_TRUE(Measure_Magnitude(I, S));
      continue;
    }
    try {
      Measure_Magnitude(I, S);
      ADD_FAILURE() << "measured";
    } catch (const TKorvane_Error& E) {
      EXPECT_EQ(std::string(E.what()).rfind(C.Message, 0), 0u) << E.what();
    }
    EXPECT_EQ(Code_Number(I.Last_Error), 1);
    EXPECT_EQ(I.Magnitude, -99.0);
    EXPECT_EQ(I.Net_Flux, 0.0);
  }
}

TEST(Measure_Magnitude, Blank_Apertures_Measure_Unless_Recentring_Needs_Light) {
  TImage_Model I = Flat_Image(100, 100, 0);
  I.ObjectX = 30;
  I.ObjectY = 50;
  I.ReferenceX = 70;
  I.ReferenceY = 50;
  I.Reference_Mag = 12.0;
  TSettings S = Aperture(2, 2, 2);
  // Both nets floor at 50 ADU, 25 electrons with gain 0.5; the instrumental magnitude is
  // taken from these 25 electrons, the magnitude from both signals raised to 50 electrons.
  S.Gain = 0.5;
  ASSERT_TRUE(Measure_Magnitude(I, S));
  EXPECT_EQ(I.Net_Flux, 50.0);
  EXPECT_NEAR(I.CMag, -2.5 * std::log10(25.0 / 60.0), 1e-12);
  EXPECT_EQ(I.Magnitude, 12.0);
  EXPECT_EQ(I.Less_Than, 0);

  S.Snap_to_Centre = true;
  EXPECT_THROW(Measure_Magnitude(I, S), TKorvane_Error);
}

TEST(Marking, Right_Ascension_In_Hours_Is_Looked_For_In_Degrees) {
  // The centre pixel (49.5, 59.5) looks at RA 22.5 degrees (1.5 h); 1.5" per pixel.
  TStar_Field_Description D = Centred_Field(100, 120, 22.5, 10.0);
  D.Noise = false;
  TImage_Model I = Star_Field_Image(D);
  Mark_Object(I, TSkyPosition{1.5, 10.0}, "V1");
  Mark_Reference(I, TSkyPosition{1.5, 10.0 + 20 * 1.5 / 3600}, "C1", 11.25, 'V');
  EXPECT_TRUE(I.Object_Marked);
  EXPECT_EQ(I.ObjectName, "V1");
  EXPECT_NEAR(I.ObjectX, 49.5, 1e-6);
  EXPECT_NEAR(I.ObjectY, 59.5, 1e-6);
  EXPECT_TRUE(I.Reference_Marked);
  EXPECT_EQ(I.ReferenceName, "C1");
  EXPECT_NEAR(I.ReferenceX, 49.5, 1e-6);
  EXPECT_NEAR(I.ReferenceY, 79.5, 1e-4);
  EXPECT_EQ(I.Reference_Mag, 11.25);
  EXPECT_EQ(I.Ref_Filter_Letter, 'V');
}

TEST(Marking, Nothing_Is_Marked_On_An_Image_Without_World_Coordinates) {
  TStar_Field_Description D;
  D.Write_WCS = false;
  D.Noise = false;
  TImage_Model I = Star_Field_Image(D);
  I.Reference_Mag = 7.5;
  I.Ref_Filter_Letter = 'R';
  Mark_Object(I, TSkyPosition{0.0, 0.0}, "V1");
  Mark_Reference(I, TSkyPosition{0.0, 0.0}, "C1", 11.0, 'V');
  EXPECT_FALSE(I.Object_Marked);
  EXPECT_FALSE(I.Reference_Marked);
  EXPECT_EQ(I.ObjectName, "");
  EXPECT_EQ(I.ReferenceName, "");
  EXPECT_EQ(I.Reference_Mag, 7.5);
  EXPECT_EQ(I.Ref_Filter_Letter, 'R');
}

} // namespace
