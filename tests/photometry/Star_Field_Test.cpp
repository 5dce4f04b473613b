// The star-field generator is the truth the photometry tests measure against: its fluxes,
// noise and positions must be what it claims.

#include "support/Star_Field.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <numeric>

namespace {

TEST(Star_Field, Rendered_Flux_Is_The_Stars_Flux_In_The_Image) {
  struct {
    const char* Name;
    double X, Y, Flux, FWHM, In_Image;
  } const Cases[] = {
      {"inside", 50.3, 40.7, 12345.0, 2.5, 12345.0},
      {"centred on the first column", 0.0, 40.0, 10000.0, 3.0,
       5000.0 * (1 + std::erf(0.5 / (3.0 / 2.3548200450309493) / std::numbers::sqrt2))},
      {"wide star", 49.5, 39.5, 5000.0, 8.0, 5000.0},
  };
  for (const auto& C : Cases) {
    TStar_Field_Description D;
    D.Width = 100;
    D.Height = 80;
    D.Sky = 0.0;
    D.Noise = false;
    D.Stars = {{C.X, C.Y, false, 0, 0, C.Flux, C.FWHM}};
    const TStar_Field F = Make_Star_Field(D);
    const double Total = std::accumulate(F.Expected.begin(), F.Expected.end(), 0.0);
    EXPECT_NEAR(Total, C.In_Image, 1e-6 * C.Flux) << C.Name;
    EXPECT_NEAR(F.Star_Flux_In_Image[0], C.In_Image, 1e-6 * C.Flux) << C.Name;
    EXPECT_EQ(F.Star_Positions[0].x, C.X);
  }
}

TEST(Star_Field, Sky_Noise_Has_Poisson_Read_And_Digitisation_Variance) {
  struct {
    double Sky, Gain, Read_Noise;
  } const Cases[] = {{1000.0, 2.0, 8.0}, {300.0, 0.5, 12.0}};
  for (const auto& C : Cases) {
    TStar_Field_Description D;
    D.Width = 200;
    D.Height = 200;
    D.Sky = C.Sky;
    D.Gain = C.Gain;
    D.Read_Noise = C.Read_Noise;
    const TStar_Field F = Make_Star_Field(D);
    double Sum = 0, Sum2 = 0;
    for (uint16_t v : F.Pixels) {
      Sum += v;
      Sum2 += double(v) * v;
    }
    const double N = double(F.Pixels.size());
    const double Mean = Sum / N, Variance = Sum2 / N - Mean * Mean;
    const double Expected_Variance = C.Sky / C.Gain + std::pow(C.Read_Noise / C.Gain, 2) + 1.0 / 12;
    EXPECT_NEAR(Mean, C.Sky, 5 * std::sqrt(Expected_Variance / N)) << C.Sky;
    EXPECT_NEAR(Variance / Expected_Variance, 1.0, 0.03) << C.Sky;
  }
}

TEST(Star_Field, Sky_Positions_Agree_With_The_Programs_Transform) {
  TStar_Field_Description D;
  D.Crval1 = 359.9;
  D.Crval2 = 52.0;
  D.CD[0] = -0.0004;
  D.CD[1] = 0.0001;
  D.CD[2] = 0.00012;
  D.CD[3] = 0.00038;
  D.Noise = false;
  TImage_Model I;
  Load_Star_Field(Make_Star_Field(D), D, I);
  const double Places[][2] = {{0.0, 52.0}, {23.99, 52.05}, {0.01, 51.95}, {23.995, 51.9}};
  for (const auto& P : Places) {
    const TCCDPosition Mine = Field_Sky_To_Pixel(D, P[0], P[1]);
    TCCDPosition Program;
    I.WCS_Calculator.tnxpix(I.WCS1, Program, P[0] * 15, P[1]);
    EXPECT_NEAR(Mine.x, Program.x, 1e-4) << P[0] << " " << P[1];
    EXPECT_NEAR(Mine.y, Program.y, 1e-4) << P[0] << " " << P[1];
  }
  // A point on the equator atan(0.05 deg) east of the reference point lies 100 columns
  // west of it with CD1_1 = -0.0005.
  TStar_Field_Description E;
  E.Crval1 = 40.0;
  E.CD[0] = -0.0005;
  E.CD[3] = 0.0005;
  const double East = std::atan(0.05 * std::numbers::pi / 180) * 180 / std::numbers::pi;
  const TCCDPosition Q = Field_Sky_To_Pixel(E, (40.0 + East) / 15, 0.0);
  EXPECT_NEAR(Q.x, E.Crpix1 - 100.0, 1e-9);
  EXPECT_NEAR(Q.y, E.Crpix2, 1e-9);
}

} // namespace
