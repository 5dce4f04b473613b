#include "image/Overlay.h"

#include "text/Number_Format.h"

#include <limits>

namespace {

constexpr int64_t Label_Offset = 20;

bool Fits_32(int64_t Value) {
  return Value >= std::numeric_limits<int32_t>::min() && Value <= std::numeric_limits<int32_t>::max();
}

} // namespace

std::optional<TMark_Geometry> Mark_Geometry(double X, double Y, const TSettings& Settings) {
  const std::optional<long long> cx = Round_Half_Even(X), cy = Round_Half_Even(Y);
  if (!cx || !cy || !Fits_32(*cx) || !Fits_32(*cy) || !Fits_32(*cx + Label_Offset) ||
      !Fits_32(*cy - Label_Offset))
    return std::nullopt;
  TMark_Geometry G;
  G.Centre_X = static_cast<int32_t>(*cx);
  G.Centre_Y = static_cast<int32_t>(*cy);
  G.Label_X = static_cast<int32_t>(*cx + Label_Offset);
  G.Label_Y = static_cast<int32_t>(*cy - Label_Offset);
  const int64_t R = Settings.Radius;
  const int64_t R2 = R + Settings.Gap;
  const int64_t R3 = R2 + Settings.Annulus;
  const int64_t All[3] = {R, R2, R3};
  for (int k = 0; k < (Settings.Show_Annulus ? 3 : 1); ++k) {
    // The circle's square runs from centre - r to centre + r in both directions.
    if (Fits_32(*cx - All[k]) && Fits_32(*cx + All[k]) && Fits_32(*cy - All[k]) && Fits_32(*cy + All[k]))
      G.Radii[G.Circles++] = static_cast<int32_t>(All[k]);
  }
  return G;
}
