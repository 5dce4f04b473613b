// The stated magnitude error checked against the scatter it claims to describe: one field
// design rendered with 40 noise seeds and measured each time. The generator's noise is
// independent of the program's error formula, so the spread of the 40 magnitudes is the
// truth the mean stated error must match.

#include "photometry/Photometry.h"
#include "support/Star_Field.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

TEST(Noise_Ensemble, Stated_Error_Matches_The_Scatter_Over_Noise_Seeds) {
  // Each design has one noise source in charge of the variable's error, and its own gain,
  // so that a term missing, doubled or taken with the gain the wrong way shows.
  struct {
    const char* Name;
    double Sky, Gain, Read_Noise, Variable_Flux;
  } const Cases[] = {
      {"sky photons", 1000.0, 1.5, 10.0, 4000.0},
      {"the star's own photons", 20.0, 3.0, 3.0, 20000.0},
      {"read noise", 400.0, 0.5, 30.0, 4000.0},
  };
  constexpr int Seeds = 40;
  constexpr double Comparison_Flux = 300000.0, Comparison_Mag = 11.0;

  for (const auto& C : Cases) {
    TStar_Field_Description D;
    D.Width = 100;
    D.Height = 80;
    D.Write_WCS = false;
    D.Sky = C.Sky;
    D.Gain = C.Gain;
    D.Read_Noise = C.Read_Noise;
    // Variable and comparison star far enough apart that neither falls in the other's annulus.
    D.Stars = {{25.3, 30.6, false, 0, 0, C.Variable_Flux, 0}, {75.7, 49.2, false, 0, 0, Comparison_Flux, 0}};
    TSettings S = Field_Measure_Settings(D, 4, 3, 6);
    // Far above the errors here, so that no magnitude is replaced by the limit.
    S.Max_Error = 0.5;

    std::vector<double> Magnitudes;
    double Stated_Sum = 0.0;
    for (int Seed = 1; Seed <= Seeds; ++Seed) {
      D.Seed = static_cast<uint64_t>(Seed);
      TImage_Model I = Star_Field_Image(D);
      I.ObjectX = D.Stars[0].X;
      I.ObjectY = D.Stars[0].Y;
      I.ReferenceX = D.Stars[1].X;
      I.ReferenceY = D.Stars[1].Y;
      I.Reference_Mag = Comparison_Mag;
      ASSERT_TRUE(Measure_Magnitude(I, S)) << C.Name << ", seed " << Seed;
      ASSERT_EQ(I.Less_Than, 0) << C.Name << ", seed " << Seed;
      Magnitudes.push_back(I.Magnitude);
      Stated_Sum += I.Std_Error;
    }

    double Mean = 0.0;
    for (const double M : Magnitudes)
      Mean += M / Seeds;
    double Squares = 0.0;
    for (const double M : Magnitudes)
      Squares += (M - Mean) * (M - Mean);
    const double Scatter = std::sqrt(Squares / (Seeds - 1));
    const double Stated = Stated_Sum / Seeds;

    // The scatter of 40 values is itself uncertain by about 11 %.
    EXPECT_NEAR(Scatter / Stated, 1.0, 0.2) << C.Name << ": scatter " << Scatter << ", stated " << Stated;
    // Both stars lose the same share of their light outside the aperture, so the mean
    // magnitude is the true one, made fainter by the logarithm's bias on a noisy flux
    // (sigma^2 / (2 * 1.0857)), within the mean's own error and a few millimagnitudes.
    const double Truth = Comparison_Mag - 2.5 * std::log10(C.Variable_Flux / Comparison_Flux);
    const double Log_Bias = Stated * Stated / (2.0 * 1.0857);
    EXPECT_NEAR(Mean, Truth + Log_Bias, 3.0 * Stated / std::sqrt(Seeds) + 0.003) << C.Name;
  }
}

} // namespace
