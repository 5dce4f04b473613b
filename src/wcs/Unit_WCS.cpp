#include "wcs/Unit_WCS.h"

#include "text/Messages.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

namespace {

constexpr double Pi = std::numbers::pi;
constexpr double Deg_To_Rad = Pi / 180.0;
constexpr double Rad_To_Deg = 180.0 / Pi;

// Below this the first spherical term is recomputed in a form that keeps its precision
// when it nearly cancels.
constexpr double Small_X = 0.00001;
// Above this |sin| the latitude comes from arccos of the projected radius instead of
// arcsin, which is flat near the poles.
constexpr double Max_Arcsin = 0.99;

// Axis order of the reference point: with coorflip the world axes are exchanged.
struct TAxes {
  int Lng;
  int Lat;
};

TAxes Axes_Of(const TWCSRecord& W) {
  return W.coorflip ? TAxes{1, 0} : TAxes{0, 1};
}

}  // namespace

double TWCS::floor_mod(double a, double b) {
  // The quotient is floored to a 32-bit integer. Converting a double outside that range
  // (or NaN) to an integer is undefined, so out-of-range quotients are clamped and NaN is
  // passed through. Either way the result is non-zero, which is what the callers need: an
  // angle that large (or NaN) is not treated as an exact multiple of b.
  const double q = std::floor(a / b);
  if (std::isnan(q)) {
    return q;
  }
  constexpr double Lo = static_cast<double>(std::numeric_limits<std::int32_t>::min());
  constexpr double Hi = static_cast<double>(std::numeric_limits<std::int32_t>::max());
  const std::int32_t n = q < Lo ? std::numeric_limits<std::int32_t>::min()
                         : q > Hi ? std::numeric_limits<std::int32_t>::max()
                                  : static_cast<std::int32_t>(q);
  return a - b * static_cast<double>(n);
}

void TWCS::tnxpos(const TWCSRecord& W, TSkyPosition& P, double xpix, double ypix) const {
  const double u = xpix - W.crpix[0];
  const double v = ypix - W.crpix[1];

  // Standard coordinates (degrees).
  double x;
  double y;
  if (W.rotmat) {
    x = W.cd[0] * u + W.cd[1] * v;
    y = W.cd[2] * u + W.cd[3] * v;
  } else {
    if (W.cdelt[0] == 0.0 || W.cdelt[1] == 0.0) {
      P.RA = 0.0;
      P.Dec = 0.0;
      return;
    }
    const double xs = u * W.cdelt[0];
    const double ys = v * W.cdelt[1];
    if (W.rot != 0.0) {
      const double cr = std::cos(W.rot * Deg_To_Rad);
      const double sr = std::sin(W.rot * Deg_To_Rad);
      x = xs * cr - ys * sr;
      y = xs * sr + ys * cr;
    } else {
      x = xs;
      y = ys;
    }
  }

  const TAxes A = Axes_Of(W);
  const double colat = (90.0 - W.crval[A.Lat]) * Deg_To_Rad;
  const double longp = W.longpole * Deg_To_Rad;

  // Native spherical coordinates of the gnomonic projection.
  const double r = std::sqrt(x * x + y * y);
  const double phi = r == 0.0 ? 0.0 : std::atan2(x, -y);
  const double theta = std::atan2(W.rodeg, r);

  // Rotate the native pole onto the reference point.
  const double dphi = phi - longp;
  const double sin_t = std::sin(theta);
  const double cos_t = std::cos(theta);
  const double sin_c = std::sin(colat);
  const double cos_c = std::cos(colat);
  const double cos_dphi = std::cos(dphi);
  double X = sin_t * sin_c - cos_t * cos_c * cos_dphi;
  if (std::fabs(X) < Small_X) {
    X = -std::cos(theta + colat) + cos_t * cos_c * (1.0 - cos_dphi);
  }
  const double Y = -cos_t * std::sin(dphi);

  const double dl = (X != 0.0 || Y != 0.0) ? std::atan2(Y, X) : dphi + Pi;

  // Keep RA on the side of zero that the reference point is on, and within one turn.
  const double ra0 = W.crval[A.Lng];
  double ra = ra0 + dl * Rad_To_Deg;
  if (ra0 >= 0.0 && ra < 0.0) {
    ra += 360.0;
  }
  if (ra0 < 0.0 && ra > 0.0) {
    ra -= 360.0;
  }
  if (ra > 360.0) {
    ra -= 360.0;
  } else if (ra < -360.0) {
    ra += 360.0;
  }

  double dec;
  if (floor_mod(dphi, Pi) == 0.0) {
    // On the reference meridian the latitude is a plain sum, folded back over the pole.
    dec = (theta + cos_dphi * colat) * Rad_To_Deg;
    if (dec > 90.0) {
      dec = 180.0 - dec;
    }
    if (dec < -90.0) {
      dec = -180.0 - dec;
    }
  } else {
    const double z = sin_t * cos_c + cos_t * sin_c * cos_dphi;
    if (std::fabs(z) <= Max_Arcsin) {
      dec = std::asin(z) * Rad_To_Deg;
    } else {
      dec = std::acos(std::sqrt(X * X + Y * Y)) * Rad_To_Deg;
      if (z < 0.0) {
        dec = -dec;
      }
    }
  }

  P.RA = ra;
  P.Dec = dec;
}

void TWCS::tnxpix(const TWCSRecord& W, TCCDPosition& C, double ra, double dec) const {
  const TAxes A = Axes_Of(W);
  const double a = (ra - W.crval[A.Lng]) * Deg_To_Rad;
  const double d = dec * Deg_To_Rad;
  const double colat = (90.0 - W.crval[A.Lat]) * Deg_To_Rad;
  // 999 marks a pole longitude left to the default.
  const double longp = W.longpole == 999.0 ? Pi : W.longpole * Deg_To_Rad;

  // Native spherical coordinates of the sky point.
  const double sin_d = std::sin(d);
  const double cos_d = std::cos(d);
  const double sin_c = std::sin(colat);
  const double cos_c = std::cos(colat);
  const double cos_a = std::cos(a);
  double X = sin_d * sin_c - cos_d * cos_c * cos_a;
  if (std::fabs(X) < Small_X) {
    X = -std::cos(d + colat) + cos_d * cos_c * (1.0 - cos_a);
  }
  const double Y = -cos_d * std::sin(a);

  const double dphi = (X != 0.0 || Y != 0.0) ? std::atan2(Y, X) : a - Pi;
  double phi = longp + dphi;
  if (phi > Pi) {
    phi -= 2.0 * Pi;
  } else if (phi < -Pi) {
    phi += 2.0 * Pi;
  }

  double theta;
  if (floor_mod(a, Pi) == 0.0) {
    theta = d + cos_a * colat;
    if (theta > Pi / 2.0) {
      theta = Pi - theta;
    }
    if (theta < -Pi / 2.0) {
      theta = -Pi - theta;
    }
  } else {
    const double z = sin_d * cos_c + cos_d * sin_c * cos_a;
    if (std::fabs(z) <= Max_Arcsin) {
      theta = std::asin(z);
    } else {
      theta = std::acos(std::sqrt(X * X + Y * Y));
      if (z < 0.0) {
        theta = -theta;
      }
    }
  }

  // Gnomonic projection onto the plane; a point 90 degrees away lands on the reference.
  double x = 0.0;
  double y = 0.0;
  const double s = std::sin(theta);
  if (s != 0.0) {
    const double r = W.rodeg * std::cos(theta) / s;
    if (W.coorflip) {
      x = -r * std::cos(phi);
      y = r * std::sin(phi);
    } else {
      x = r * std::sin(phi);
      y = -r * std::cos(phi);
    }
  }

  double px;
  double py;
  if (W.rotmat) {
    px = W.dc[0] * x + W.dc[1] * y;
    py = W.dc[2] * x + W.dc[3] * y;
  } else {
    if (W.rot != 0.0) {
      const double cr = std::cos(W.rot * Deg_To_Rad);
      const double sr = std::sin(W.rot * Deg_To_Rad);
      px = x * cr + y * sr;
      py = y * cr - x * sr;
    } else {
      px = x;
      py = y;
    }
    if (W.xinc != 0.0) {
      px /= W.xinc;
    }
    if (W.yinc != 0.0) {
      py /= W.yinc;
    }
  }

  C.x = px + W.xrefpix;
  C.y = py + W.yrefpix;
}

void Invert_CD_Matrix(TWCSRecord& W) {
  static const char* const Singular =
      "singular CD matrix: the image's CD1_1..CD2_2 cannot be inverted";
  const double det = W.cd[0] * W.cd[3] - W.cd[1] * W.cd[2];
  if (det == 0.0 || !std::isfinite(det)) {
    throw TKorvane_Error(Singular);
  }
  const double dc[4] = {W.cd[3] / det, -W.cd[1] / det, -W.cd[2] / det, W.cd[0] / det};
  // A determinant so small that the inverse overflows is as useless as 0: refuse it rather
  // than let infinities reach the pixel positions.
  for (const double e : dc) {
    if (!std::isfinite(e)) {
      throw TKorvane_Error(Singular);
    }
  }
  for (int i = 0; i < 4; ++i) {
    W.dc[i] = dc[i];
  }
}
