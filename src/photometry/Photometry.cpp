#include "photometry/Photometry.h"

#include "text/Messages.h"
#include "text/Number_Format.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// A pixel counts fully when its centre lies within R - 0.707 of the star's centre and not
// at all from R + 0.707 on; in between its weight falls linearly over the pixel diagonal.
constexpr double Half_Diagonal = 0.707;
constexpr double Diagonal = 1.414;

constexpr int Recentring_Passes = 50;
constexpr int Max_Clipping_Passes = 10;
constexpr int32_t No_Previous_Count = 99999;
constexpr double Minimum_Net_Flux = 50.0; // ADU
constexpr double Minimum_Signal = 50.0;   // electrons
constexpr double Error_Factor = 1.0857;   // 2.5 / ln 10
constexpr double Limit_Factor = 0.84836;  // 1 / 1.0857^2
constexpr double Digitisation = 0.289;
constexpr double Start_Limit_Signal = 500.0; // electrons
constexpr int Max_Limit_Rounds = 10;
constexpr double Limit_Tolerance = 0.001;
constexpr double Smallest_Q = 0.0001;
constexpr int64_t Max_Value = 65535;

// A centre coordinate rounded half to even; none when it does not fit a signed 32-bit
// integer (such a centre is outside the measurable area).
std::optional<int64_t> Round_Centre(double V) {
  const auto R = Round_Half_Even(V);
  if (!R || *R < std::numeric_limits<int32_t>::min() || *R > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int64_t>(*R);
}

// Column 0 and row 0 lie outside the measurable area; the last column and row inside it.
bool Measurable(const TImage_Model& Image, std::optional<int64_t> xc, std::optional<int64_t> yc) {
  return xc && yc && 0 < *xc && *xc < Image.XSize && 0 < *yc && *yc < Image.YSize;
}

struct TAperture_Sums {
  double S = 0.0, Sx = 0.0, Sy = 0.0, Npap = 0.0;
  double Peak = 0.0; // the highest pixel with a weight above 0
};

// Pixel values of either kind of image array: 16-bit values are summed exactly in integers,
// floating-point ones in double, which is as exact for whole values below 2^53. A blank
// (not finite) floating-point pixel counts as no pixel.
template <class T> bool Usable(T) {
  return true;
}
template <> bool Usable<float>(float p) {
  return std::isfinite(p);
}

// One pass of the weighted aperture: distances from the exact centre (X, Y), the box
// around the rounded centre (xc, yc), cut at the image's edges.
// With Peak, also the highest pixel with a weight: only the last pass of a star needs it.
template <bool Peak, class T>
TAperture_Sums Aperture_Pass(const TImage_Model& Image, int64_t R, double X, double Y, int64_t xc,
                             int64_t yc) {
  const int64_t XSize = Image.XSize, YSize = Image.YSize;
  const int64_t i0 = xc < R + 1 ? 0 : xc - R - 1;
  const int64_t i1 = std::min(xc + R + 1, XSize - 1);
  const int64_t j0 = yc < R + 1 ? 0 : yc - R - 1;
  const int64_t j1 = std::min(yc + R + 1, YSize - 1);
  const double Rd = static_cast<double>(R);
  // Per row, the columns clearly within R - 0.707 of the centre are whole pixels and are
  // summed exactly in integers; those clearly beyond R + 0.707 are skipped. A relative
  // margin of 1e-9 leaves every pixel near either edge to the weight formula, so the split
  // changes no weight. The square roots only find the columns; each end is checked.
  const double Outer = Rd + Half_Diagonal;
  const double Outer2 = Outer * Outer * (1.0 + 1e-9);
  const double Inner = Rd - Half_Diagonal;
  const double Inner2 = Inner > 0.0 ? Inner * Inner * (1.0 - 1e-9) : -1.0;

  TAperture_Sums Sums;
  // The peak, kept apart from Sums while the loops run.
  T Highest = std::is_same_v<T, float> ? -std::numeric_limits<float>::infinity() : T{0};
  for (int64_t j = j0; j <= j1; ++j) {
    const double dy = static_cast<double>(j) - Y;
    // Columns outside e0..e1 lie beyond R + 0.707; columns f0..f1 within R - 0.707.
    const double Reach = Outer2 - dy * dy;
    if (Reach < 0.0)
      continue;
    auto r2 = [&](int64_t i) {
      const double dx = static_cast<double>(i) - X;
      return dx * dx + dy * dy;
    };
    const double Reach_h = std::sqrt(Reach);
    int64_t e0 = std::max(i0, static_cast<int64_t>(std::floor(X - Reach_h)) - 1);
    int64_t e1 = std::min(i1, static_cast<int64_t>(std::ceil(X + Reach_h)) + 1);
    while (e0 <= e1 && r2(e0) > Outer2)
      ++e0;
    while (e1 >= e0 && r2(e1) > Outer2)
      --e1;
    // Only columns e0..e1 of the row are read (none when the row misses the aperture).
    if (e0 > e1)
      continue;
    const T* Row = Image.Image_Array.Span_Of<T>(static_cast<size_t>(j), static_cast<size_t>(e0),
                                                static_cast<size_t>(e1));
    int64_t f0 = e1 + 1, f1 = e1;
    const double Room = Inner2 - dy * dy;
    if (Room > 0.0) {
      const double h = std::sqrt(Room);
      f0 = std::max(e0, static_cast<int64_t>(std::ceil(X - h)) - 1);
      f1 = std::min(e1, static_cast<int64_t>(std::floor(X + h)) + 1);
      while (f0 <= f1 && !(r2(f0) < Inner2))
        ++f0;
      while (f1 >= f0 && !(r2(f1) < Inner2))
        --f1;
    }
    for (int64_t i = e0; i <= e1; ++i) {
      if (i == f0 && f0 <= f1) {
        if constexpr (std::is_same_v<T, float>) {
          double Sum_p = 0.0, Sum_ip = 0.0, Whole = 0.0;
          for (int64_t k = f0; k <= f1; ++k) {
            const float p = Row[k];
            if (!Usable(p))
              continue;
            Sum_p += p;
            Sum_ip += static_cast<double>(k - xc) * p;
            Whole += 1.0;
            if constexpr (Peak)
              Highest = std::max(Highest, p);
          }
          Sums.S += Sum_p;
          Sums.Sx += Sum_ip + (static_cast<double>(xc) - X) * Sum_p;
          Sums.Sy += dy * Sum_p;
          Sums.Npap += Whole;
        } else {
          uint64_t Sum_p = 0;
          int64_t Sum_ip = 0;
          for (int64_t k = f0; k <= f1; ++k) {
            const int64_t p = Row[k];
            Sum_p += static_cast<uint64_t>(p);
            Sum_ip += (k - xc) * p;
          }
          if constexpr (Peak)
            for (int64_t k = f0; k <= f1; ++k)
              Highest = std::max(Highest, Row[k]);
          const double P = static_cast<double>(Sum_p);
          Sums.S += P;
          Sums.Sx += static_cast<double>(Sum_ip) + (static_cast<double>(xc) - X) * P;
          Sums.Sy += dy * P;
          Sums.Npap += static_cast<double>(f1 - f0 + 1);
        }
        i = f1;
        continue;
      }
      // w clamped to 0..1 gives each pixel its due: a weight of 1 adds p itself,
      // a weight of 0 adds nothing.
      const double dx = static_cast<double>(i) - X;
      const double d = std::sqrt(dx * dx + dy * dy) - Half_Diagonal;
      double Weight = std::clamp((Rd - d) / Diagonal, 0.0, 1.0);
      if constexpr (std::is_same_v<T, float>)
        if (!Usable(Row[i]))
          Weight = 0.0;
      const double v = std::is_same_v<T, float> && Weight == 0.0 ? 0.0 : Weight * Row[i];
      if (Peak && Weight > 0.0)
        Highest = std::max(Highest, Row[i]);
      Sums.S += v;
      Sums.Sx += dx * v;
      Sums.Sy += dy * v;
      Sums.Npap += Weight;
    }
  }
  Sums.Peak = std::max(Sums.Peak, static_cast<double>(Highest));
  return Sums;
}

// The sky annulus around the rounded centre (xc, yc): the squared radii that bound it and
// the box of image pixels that holds it.
struct TAnnulus_Box {
  double lim_in, lim_out;
  int64_t i0, i1, j0, j1;
};
TAnnulus_Box Annulus_Box(const TImage_Model& Image, const TAperture& Aperture, int64_t xc, int64_t yc) {
  const int64_t XSize = Image.XSize, YSize = Image.YSize;
  const int64_t r_in = static_cast<int64_t>(Aperture.Radius) + static_cast<int64_t>(Aperture.Gap);
  const int64_t r_out = r_in + static_cast<int64_t>(Aperture.Annulus);
  const double lim_in = (static_cast<double>(r_in) + 0.5) * (static_cast<double>(r_in) + 0.5);
  const double lim_out = (static_cast<double>(r_out) + 0.5) * (static_cast<double>(r_out) + 0.5);
  const int64_t i0 = xc < r_out ? 0 : xc - r_out;
  const int64_t i1 = std::min(xc + r_out, XSize - 1);
  const int64_t j0 = yc < r_out ? 0 : yc - r_out;
  const int64_t j1 = std::min(yc + r_out, YSize - 1);
  return {lim_in, lim_out, i0, i1, j0, j1};
}

// The sky level from the annulus around the rounded centre (xc, yc), by iterative clipping
// of the histogram of its pixel values. Returns false when the annulus holds no pixel of
// the image. Counts are 32-bit and sums 64-bit, so no annulus size can overflow them.
bool Sky_Level_16(const TImage_Model& Image, const TAperture& Aperture, int64_t xc, int64_t yc, double& Sky,
                  int64_t& Count) {
  const auto [lim_in, lim_out, i0, i1, j0, j1] = Annulus_Box(Image, Aperture, xc, yc);

  std::vector<uint32_t> H(Max_Value + 1, 0);
  int64_t Lowest = Max_Value + 1, Highest = -1; // range of the values present
  for (int64_t j = j0; j <= j1; ++j) {
    const uint16_t* Row =
        Image.Image_Array.Span(static_cast<size_t>(j), static_cast<size_t>(i0), static_cast<size_t>(i1));
    const int64_t dy = j - yc;
    for (int64_t i = i0; i <= i1; ++i) {
      const int64_t dx = i - xc;
      const double q = static_cast<double>(dx * dx + dy * dy);
      if (lim_in <= q && q <= lim_out) {
        const uint16_t p = Row[i];
        ++H[p];
        Lowest = std::min<int64_t>(Lowest, p);
        Highest = std::max<int64_t>(Highest, p);
      }
    }
  }
  if (Highest < 0)
    return false;

  // Bins outside Lowest..Highest are empty, so the passes skip them without changing a sum.
  int64_t lo = 0, hi = Max_Value;
  int64_t Npan = No_Previous_Count;
  double Mean = 0.0;
  for (int Pass = 1;; ++Pass) {
    const int64_t Previous = Npan;
    int64_t Kept = 0, Sum = 0;
    double Sum2 = 0.0;
    for (int64_t v = std::max(lo, Lowest); v <= std::min(hi, Highest); ++v) {
      const int64_t h = H[static_cast<size_t>(v)];
      if (h == 0)
        continue;
      Kept += h;
      Sum += v * h;
      Sum2 += static_cast<double>(v) * static_cast<double>(v) * static_cast<double>(h);
    }
    // The first window holds every value, so only a later one can miss every pixel (all
    // of one value, say): then the previous pass stands, its Npan included.
    if (Kept == 0)
      break;
    Npan = Kept;
    Mean = static_cast<double>(Sum) / static_cast<double>(Kept);
    const double Variance = Sum2 / static_cast<double>(Kept) - Mean * Mean;
    const double Sigma = std::sqrt(std::max(Variance, 0.0));

    // The next window is centred on one more than the value at which the running count,
    // from value 0, reaches half the pixels kept. Bins below Lowest add nothing, so the
    // count may start there, unless half is 0 (the count then stops at once, at value 1).
    const int64_t Half = Kept / 2;
    int64_t m = Half > 0 ? Lowest : 0, Cumulative = 0;
    do {
      Cumulative += H[static_cast<size_t>(m)];
      ++m;
    } while (Half > Cumulative);
    const int64_t k = Round_Half_Even(3.0 * Sigma).value_or(0);
    lo = std::max<int64_t>(m - k, 0);
    hi = std::min<int64_t>(m + k, Max_Value);

    if (Pass == Max_Clipping_Passes || Npan == Previous)
      break;
  }
  Sky = Mean;
  Count = Npan;
  return true;
}

// The same clipping for floating-point pixels, on the same grid of whole values: the window
// bounds and the median step are whole numbers as for 16-bit pixels, while the means and
// variances use the values themselves, so that a frame of whole values gives exactly the
// 16-bit result. The values are sorted instead of counted in a histogram; blank pixels are
// left out.
bool Sky_Level_Float(const TImage_Model& Image, const TAperture& Aperture, int64_t xc, int64_t yc,
                     double& Sky, int64_t& Count) {
  const auto [lim_in, lim_out, i0, i1, j0, j1] = Annulus_Box(Image, Aperture, xc, yc);

  std::vector<double> Values;
  for (int64_t j = j0; j <= j1; ++j) {
    const float* Row = Image.Image_Array.Float_Span(static_cast<size_t>(j), static_cast<size_t>(i0),
                                                    static_cast<size_t>(i1));
    const int64_t dy = j - yc;
    for (int64_t i = i0; i <= i1; ++i) {
      const int64_t dx = i - xc;
      const double q = static_cast<double>(dx * dx + dy * dy);
      if (lim_in <= q && q <= lim_out && std::isfinite(Row[i]))
        Values.push_back(Row[i]);
    }
  }
  if (Values.empty())
    return false;
  std::sort(Values.begin(), Values.end());

  // The window: values from lo to hi, both included; the first one holds every value.
  double lo = -std::numeric_limits<double>::infinity(), hi = std::numeric_limits<double>::infinity();
  int64_t Npan = No_Previous_Count;
  double Mean = 0.0;
  for (int Pass = 1;; ++Pass) {
    const int64_t Previous = Npan;
    const auto Begin = std::lower_bound(Values.begin(), Values.end(), lo);
    const auto End = std::upper_bound(Begin, Values.end(), hi);
    const int64_t Kept = End - Begin;
    if (Kept == 0)
      break;
    double Sum = 0.0, Sum2 = 0.0;
    for (auto v = Begin; v != End; ++v) {
      Sum += *v;
      Sum2 += *v * *v;
    }
    Npan = Kept;
    Mean = Sum / static_cast<double>(Kept);
    const double Variance = Sum2 / static_cast<double>(Kept) - Mean * Mean;
    const double Sigma = std::sqrt(std::max(Variance, 0.0));

    // One more than the value at which the count of all values reaches half those kept;
    // 1 when half is 0, as on the 16-bit grid.
    const int64_t Half = Kept / 2;
    const double m = Half > 0 ? Values[static_cast<size_t>(Half - 1)] + 1.0 : 1.0;
    const double k = static_cast<double>(Round_Half_Even(3.0 * Sigma).value_or(0));
    lo = m - k;
    hi = m + k;

    if (Pass == Max_Clipping_Passes || Npan == Previous)
      break;
  }
  Sky = Mean;
  Count = Npan;
  return true;
}

bool Sky_Level(const TImage_Model& Image, const TAperture& Aperture, int64_t xc, int64_t yc, double& Sky,
               int64_t& Count) {
  return Image.Image_Array.Holds_Float() ? Sky_Level_Float(Image, Aperture, xc, yc, Sky, Count)
                                         : Sky_Level_16(Image, Aperture, xc, yc, Sky, Count);
}

struct TNoise_Model {
  double n = 0.0;         // aperture pixels, the target's Npap_real rounded
  double Per_Pixel = 0.0; // DC * Exposure + RN^2 + 0.289 * G^2, without the sky term
  double Gain = 0.0;
};

// The noise model of a measurement whose aperture is Star's.
TNoise_Model Noise_Model_Of(const TStar_Measurement& Star, const TCamera& Camera, double Exposure) {
  TNoise_Model Model;
  Model.n = static_cast<double>(Round_Half_Even(Star.Npap_real).value_or(0));
  Model.Gain = Camera.Gain;
  Model.Per_Pixel = Camera.Dark_Current * Exposure + Camera.Readout_Noise * Camera.Readout_Noise +
                    Digitisation * Camera.Gain * Camera.Gain;
  return Model;
}

// N(E) for a star with nb annulus pixels and sky level s (ADU per pixel).
double Noise(const TNoise_Model& M, double E, double nb, double s) {
  const double Radicand = E + M.n * (1.0 + M.n / nb) * (M.Per_Pixel + M.Gain * s);
  if (!(Radicand >= 0.0) || !std::isfinite(Radicand)) {
    // With sound camera values only a sky below 0 (a frame whose sky was subtracted) takes
    // the radicand below 0: its photon noise is not in the frame any more.
    if (M.Per_Pixel >= 0.0 && std::isfinite(M.Per_Pixel) && M.Gain > 0.0 && std::isfinite(M.Gain) && s < 0.0)
      throw TKorvane_Error("The noise estimate has no value: the sky level is below 0 (" +
                           Format_Fixed(s, 1, 2) +
                           " ADU a pixel), as in a frame whose sky was subtracted; the noise model needs the "
                           "sky's own counts: measure the frame before its sky is subtracted");
    throw TKorvane_Error("The noise estimate has no value: Dark_Current must not be negative and "
                         "Readout_Noise and Gain must be ordinary numbers");
  }
  return std::sqrt(Radicand);
}

void Require_Finite(double Value, const char* Name) {
  if (!std::isfinite(Value))
    throw TKorvane_Error(std::string(Name) + " is not a number: set it again");
}

// Where a sky position (RA in hours) falls on the image; nothing when the image has no
// world coordinates.
std::optional<TCCDPosition> Pixel_Of(const TImage_Model& Image, const TSkyPosition& Pos) {
  if (!Image.Plate_Solved)
    return std::nullopt;
  TCCDPosition P;
  Image.WCS_Calculator.tnxpix(Image.WCS1, P, Pos.RA * 15.0, Pos.Dec);
  return P;
}

} // namespace

void Mark_Object(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name) {
  const std::optional<TCCDPosition> P = Pixel_Of(Image, Pos);
  if (!P)
    return;
  Image.ObjectX = P->x;
  Image.ObjectY = P->y;
  Image.ObjectName = Name;
  Image.Object_Marked = true;
}

void Mark_Reference(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name, double Mag,
                    char Filter) {
  const std::optional<TCCDPosition> P = Pixel_Of(Image, Pos);
  if (!P)
    return;
  Image.ReferenceX = P->x;
  Image.ReferenceY = P->y;
  Image.ReferenceName = Name;
  Image.Reference_Marked = true;
  Image.Reference_Mag = Mag;
  Image.Ref_Filter_Letter = Filter;
}

void Mark_Check(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name, double Mag) {
  const std::optional<TCCDPosition> P = Pixel_Of(Image, Pos);
  if (!P)
    return;
  Image.CheckX = P->x;
  Image.CheckY = P->y;
  Image.CheckName = Name;
  Image.Check_Marked = true;
  Image.Check_Catalogue_Mag = Mag;
}

TMeasure_Settings Measure_Settings_Of(const TSettings& S) {
  TMeasure_Settings M;
  M.Aperture = TAperture{S.Radius, S.Gap, S.Annulus};
  M.Camera = TCamera{S.Gain, S.Readout_Noise, S.Dark_Current};
  M.Max_Error = S.Max_Error;
  M.Snap_to_Centre = S.Snap_to_Centre;
  M.Saturation_Level = S.Saturation_Level;
  return M;
}

void Check_Measure_Settings(const TMeasure_Settings& S) {
  Require_Finite(S.Camera.Readout_Noise, "Readout_Noise");
  Require_Finite(S.Camera.Dark_Current, "Dark_Current");
  Require_Finite(S.Max_Error, "Max_Error");
  const std::string Range = " to " + std::to_string(Max_Aperture_Pixels) + " pixels";
  const auto Pixels = [&](uint32_t Value, const char* Name, uint32_t Min) {
    if (Value < Min || Value > Max_Aperture_Pixels)
      throw TKorvane_Error(std::string(Name) + " is " + std::to_string(Value) + ": it must be from " +
                           std::to_string(Min) + Range);
  };
  Pixels(S.Aperture.Radius, "Radius", 1);
  Pixels(S.Aperture.Annulus, "Annulus", 1);
  Pixels(S.Aperture.Gap, "Gap", 0);
  // The ranges are the settings' own (Setting_Value_Problem); the messages say the units.
  const auto Not_Negative = [](double Value, const char* Name, const char* Unit) {
    if (!Setting_Value_Problem(Name, Value).empty())
      throw TKorvane_Error(std::string(Name) + " is " + Format_Fixed(Value, 0, 3, '.') +
                           ": it must be 0 or more " + Unit);
  };
  Not_Negative(S.Camera.Readout_Noise, "Readout_Noise", "electrons");
  Not_Negative(S.Camera.Dark_Current, "Dark_Current", "electrons per pixel per second");
  if (!Setting_Value_Problem("Max_Error", S.Max_Error).empty())
    throw TKorvane_Error("Max_Error is " + Format_Fixed(S.Max_Error, 0, 3, '.') +
                         ": the largest acceptable error must be more than 0 magnitudes");
}

TStar_Measurement Measure_One_Star(const TImage_Model& Image, const TAperture& Aperture, bool Snap, double X,
                                   double Y) {
  if (Image.Image_Array.Columns() != Image.XSize || Image.Image_Array.Rows() != Image.YSize)
    throw TKorvane_Error("The image holds no pixel data: open the FITS file before measuring");
  const int64_t R = Aperture.Radius;
  TStar_Measurement M;
  auto xc = Round_Centre(X), yc = Round_Centre(Y);
  TAperture_Sums Sums;
  for (;;) {
    if (!Measurable(Image, xc, yc))
      return M;
    // The last pass gives the measurement, and with it the peak.
    const bool Last = !Snap || M.Passes + 1 >= Recentring_Passes;
    Sums = Image.Image_Array.Holds_Float()
               ? (Last ? Aperture_Pass<true, float>(Image, R, X, Y, *xc, *yc)
                       : Aperture_Pass<false, float>(Image, R, X, Y, *xc, *yc))
               : (Last ? Aperture_Pass<true, uint16_t>(Image, R, X, Y, *xc, *yc)
                       : Aperture_Pass<false, uint16_t>(Image, R, X, Y, *xc, *yc));
    M.Npap_real = Sums.Npap;
    ++M.Passes;
    if (!Snap)
      break;
    if (Sums.S <= 0.0)
      throw TKorvane_Error("The aperture holds no light (all its pixels are 0), so the star cannot be "
                           "centred: check the reference star's position or turn off Snap_to_Centre");
    X += Sums.Sx / Sums.S;
    Y += Sums.Sy / Sums.S;
    xc = Round_Centre(X);
    yc = Round_Centre(Y);
    if (M.Passes >= Recentring_Passes)
      break;
  }
  // After the last shift the centroid lies within the image, so its rounding exists.
  if (!xc || !yc)
    return M;

  double Sky = 0.0;
  int64_t Count = 0;
  if (!Sky_Level(Image, Aperture, *xc, *yc, Sky, Count))
    return M;
  M.Measured = true;
  M.X = X;
  M.Y = Y;
  M.Sky_Fluxpp = Sky;
  M.Annulus_Count = Count;
  M.Net_Flux = std::max(Sums.S - Sky * Sums.Npap, Minimum_Net_Flux);
  M.Peak = Sums.Peak;
  return M;
}

double Signal_To_Noise(const TStar_Measurement& Star, const TCamera& Camera, double Exposure) {
  const double G = Camera.Gain;
  if (!(G > 0.0) || !std::isfinite(G))
    throw TKorvane_Error("Gain must be a positive number of electrons per ADU: set the camera gain");
  const TNoise_Model Model = Noise_Model_Of(Star, Camera, Exposure);
  const double E = Star.Net_Flux * G;
  return E / Noise(Model, E, static_cast<double>(Star.Annulus_Count), Star.Sky_Fluxpp);
}

namespace {

// The one place a star's measurement reaches the image's fields. Npan saturates at the
// largest signed 32-bit value.
void Write_Star(TImage_Model& Image, const TStar_Measurement& M) {
  if (M.Passes > 0)
    Image.Npap_real = M.Npap_real;
  if (!M.Measured)
    return;
  Image.NewX = M.X;
  Image.NewY = M.Y;
  Image.Sky_Fluxpp = M.Sky_Fluxpp;
  Image.Npan = static_cast<int32_t>(std::min<int64_t>(M.Annulus_Count, std::numeric_limits<int32_t>::max()));
  Image.Net_Flux = M.Net_Flux;
}

} // namespace

bool Measure_Star(TImage_Model& Image, const TAperture& Aperture, bool Snap, double X, double Y) {
  const TStar_Measurement M = Measure_One_Star(Image, Aperture, Snap, X, Y);
  Write_Star(Image, M);
  return M.Measured;
}

bool Measure_Star(TImage_Model& Image, const TSettings& Settings, bool Snap, double X, double Y) {
  return Measure_Star(Image, Measure_Settings_Of(Settings).Aperture, Snap, X, Y);
}

bool Measure_Magnitude(TImage_Model& Image, const TSettings& Settings) {
  return Measure_Magnitude(Image, Measure_Settings_Of(Settings));
}

bool Measure_Magnitude(TImage_Model& Image, const TMeasure_Settings& Settings) {
  Check_Measure_Settings(Settings);
  Require_Finite(Image.Reference_Mag, "The reference star's magnitude");
  const double G = Settings.Camera.Gain;

  // The target is never recentred.
  const TStar_Measurement Target =
      Measure_One_Star(Image, Settings.Aperture, false, Image.ObjectX, Image.ObjectY);
  const double Saturation = Image.Saturation_Level(Settings.Saturation_Level);
  Image.Saturation_Used = Saturation;
  std::vector<std::string> Saturated;
  const auto Note_Saturated = [&](const TStar_Measurement& Star, const char* Which) {
    if (Star.Measured && Star.Peak >= Saturation)
      Saturated.push_back(Which);
  };
  Note_Saturated(Target, "Object");
  if (!Target.Measured) {
    Write_Star(Image, Target);
    Image.Saturated = Saturated;
    Image.Has_Check = false;
    Image.Last_Error = TResult_Code::No_Star;
    return false;
  }
  const double E_t = std::max(Target.Net_Flux * G, Minimum_Signal);
  const TNoise_Model Model = Noise_Model_Of(Target, Settings.Camera, Image.Exposure);
  const double N_t = Noise(Model, E_t, static_cast<double>(Target.Annulus_Count), Target.Sky_Fluxpp);

  const TStar_Measurement Reference =
      Measure_One_Star(Image, Settings.Aperture, Settings.Snap_to_Centre, Image.ReferenceX, Image.ReferenceY);
  if (!Reference.Measured) {
    Write_Star(Image, Target);
    Image.Ref_Background = Target.Sky_Fluxpp;
    Write_Star(Image, Reference);
    Image.Saturated = Saturated;
    Image.Has_Check = false;
    Image.Last_Error = TResult_Code::No_Reference;
    return false;
  }
  // The reference star's instrumental magnitude is electrons per second: it has no value
  // without a gain or an exposure time. Stop here with what to fix, before any result is
  // written; Last_Error keeps its earlier value.
  if (G == 0.0)
    throw TKorvane_Error("Gain is 0: set the camera gain");
  if (!(G > 0.0) || !std::isfinite(G))
    throw TKorvane_Error("Gain must be a positive number of electrons per ADU: set the camera gain");
  if (Image.Exposure == 0.0)
    throw TKorvane_Error("Exposure is 0: the image has no EXPOSURE keyword");
  if (!(Image.Exposure > 0.0) || !std::isfinite(Image.Exposure))
    throw TKorvane_Error("Exposure must be a positive number of seconds: check the image's EXPOSURE keyword");
  double E_r = Reference.Net_Flux * G;
  const double CMag = -2.5 * std::log10(E_r / Image.Exposure);
  E_r = std::max(E_r, Minimum_Signal);
  const double nb_r = static_cast<double>(Reference.Annulus_Count);
  const double s_r = Reference.Sky_Fluxpp;
  const double N_r = Noise(Model, E_r, nb_r, s_r);

  double Magnitude = Image.Reference_Mag - 2.5 * std::log10(E_t / E_r);
  // With N 0 (no noise at all) the ratio is infinite and its share of the error 0.
  const double Inv_SNR_t2 = (N_t / E_t) * (N_t / E_t);
  const double Inv_SNR_r2 = (N_r / E_r) * (N_r / E_r);
  const double Std_Error = Error_Factor * std::sqrt(Inv_SNR_t2 + Inv_SNR_r2);

  // The signal at which the target's error would reach Max_Error, by fixed-point iteration.
  bool Limit_Reached = true;
  const double Q = Limit_Factor * Settings.Max_Error * Settings.Max_Error - Inv_SNR_r2;
  double B = Start_Limit_Signal;
  for (int Round = 1;; ++Round) {
    const double A = B;
    if (Q < Smallest_Q) {
      // The reference star's own noise already exceeds the acceptable error.
      B = Start_Limit_Signal;
      Limit_Reached = false;
    } else {
      B = Noise(Model, A, nb_r, s_r) * std::sqrt(1.0 / Q);
    }
    if (std::fabs(B - A) < Limit_Tolerance || Round == Max_Limit_Rounds)
      break;
  }
  const double E_lim = B;
  // E_lim 0 (an enormous Max_Error) puts the limit at infinity: nothing is fainter.
  int32_t Less_Than = 0;
  if (E_lim > 0.0 && Magnitude > Image.Reference_Mag - 2.5 * std::log10(E_lim / E_r)) {
    Magnitude = Image.Reference_Mag - 2.5 * std::log10(E_lim / E_r);
    Less_Than = 1;
  }

  // The check star, measured like the comparison star and derived from it as the variable
  // is. It changes nothing of the variable's result: one that cannot be measured (outside
  // the image, or an aperture without light to centre on) is simply left out.
  Note_Saturated(Reference, "Reference");
  std::optional<TStar_Measurement> Check;
  if (Image.Check_Marked) {
    try {
      Check = Measure_One_Star(Image, Settings.Aperture, Settings.Snap_to_Centre, Image.CheckX, Image.CheckY);
    } catch (const TKorvane_Error&) {
      Check.reset();
    }
    if (Check && !Check->Measured)
      Check.reset();
  }
  Image.Has_Check = false;
  if (Check) {
    Note_Saturated(*Check, "Check");
    const double E_k_raw = Check->Net_Flux * G;
    const double E_k = std::max(E_k_raw, Minimum_Signal);
    const double N_k = Noise(Model, E_k, static_cast<double>(Check->Annulus_Count), Check->Sky_Fluxpp);
    Image.Check_CMag = -2.5 * std::log10(E_k_raw / Image.Exposure);
    Image.Check_Mag = Image.Reference_Mag - 2.5 * std::log10(E_k / E_r);
    Image.Check_Error = Error_Factor * std::sqrt((N_k / E_k) * (N_k / E_k) + Inv_SNR_r2);
    Image.Check_Offset = Image.Check_Mag - Image.Check_Catalogue_Mag;
    Image.CheckX = Check->X;
    Image.CheckY = Check->Y;
    Image.Has_Check = true;
  }
  Image.Saturated = Saturated;

  // Every number is known: the results are written together.
  Write_Star(Image, Target);
  Image.Ref_Background = Target.Sky_Fluxpp;
  Write_Star(Image, Reference);
  // The mark follows the recentred position.
  Image.ReferenceX = Reference.X;
  Image.ReferenceY = Reference.Y;
  Image.Star_Background = Reference.Sky_Fluxpp;
  Image.CMag = CMag;
  Image.Magnitude = Magnitude;
  Image.Std_Error = Std_Error;
  Image.Less_Than = Less_Than;
  // The marks are not painted here: the image window repaints both after this call.
  Image.Last_Error = Limit_Reached ? TResult_Code::Measured : TResult_Code::No_Reference;
  return Limit_Reached;
}

bool Check_Star_Off(const TImage_Model& Image) {
  if (!Image.Has_Check)
    return false;
  const double Off = std::fabs(Image.Check_Offset);
  return Off > 3.0 * Image.Check_Error && Off > Check_Offset_Floor;
}

std::string Check_Star_Warning(const TImage_Model& Image) {
  if (!Check_Star_Off(Image))
    return {};
  const double Offset = Image.Check_Offset;
  return "The check star " + Image.CheckName + " measures " + (Offset > 0.0 ? "+" : "-") +
         Format_Fixed(std::fabs(Offset), 0, 3, '.') + " mag from its catalogue magnitude (error " +
         Format_Fixed(Image.Check_Error, 0, 3, '.') +
         "): check the comparison star, its magnitude and the identification";
}

std::string Saturated_Names(const TImage_Model& Image) {
  std::string Names;
  for (const std::string& Star : Image.Saturated)
    Names += (Names.empty() ? "" : " ") + Star;
  return Names;
}

TWarning_Texts Warning_Texts(const TImage_Model& Image, char Decimal_Separator) {
  TWarning_Texts T;
  if (Image.Has_Check) {
    T.Check = std::string("Check: ") + (Image.Check_Offset >= 0.0 ? "+" : "") +
              Format_Fixed(Image.Check_Offset, 0, 3, Decimal_Separator);
    T.Check_Off = Check_Star_Off(Image);
  }
  const std::string Saturation = Saturation_Warning(Image), Check = Check_Star_Warning(Image);
  if (!Saturation.empty())
    T.Short = "Saturated: " + Saturated_Names(Image);
  else if (!Check.empty())
    T.Short = "Check star off!";
  T.Whole = Saturation + (Saturation.empty() || Check.empty() ? "" : "\n") + Check;
  return T;
}

std::string Saturation_Warning(const TImage_Model& Image) {
  if (Image.Saturated.empty())
    return {};
  const auto Name = [&](const std::string& Which) {
    if (Which == "Object")
      return "the variable " + Image.ObjectName;
    if (Which == "Reference")
      return "the comparison star " + Image.ReferenceName;
    return "the check star " + Image.CheckName;
  };
  std::string Text = "Saturated: ";
  for (size_t i = 0; i < Image.Saturated.size(); ++i)
    Text += (i > 0 ? (i + 1 == Image.Saturated.size() ? " and " : ", ") : "") + Name(Image.Saturated[i]);
  return Text + " (a pixel at or above " + Format_Fixed(Image.Saturation_Used, 0, 0, '.') +
         " ADU): the magnitudes are not to be trusted";
}
