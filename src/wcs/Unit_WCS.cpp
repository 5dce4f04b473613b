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

struct TRotated {
  double Lng;
  double Lat;
};

// Turns the sphere about a pole at colatitude Colat (radians throughout): the point at
// latitude Lat, Dlng from the pole's meridian, comes out at longitude Lng and latitude Lat.
// Both directions of the projection use it. Fallback is the longitude of a point on the
// axis, where atan2 has no answer. On_Meridian says Dlng is a multiple of pi: there the
// latitude is a plain sum, folded back over the pole.
TRotated Rotate(double Lat, double Dlng, double Colat, double Fallback, bool On_Meridian) {
  const double sin_l = std::sin(Lat);
  const double cos_l = std::cos(Lat);
  const double sin_c = std::sin(Colat);
  const double cos_c = std::cos(Colat);
  const double cos_d = std::cos(Dlng);
  double X = sin_l * sin_c - cos_l * cos_c * cos_d;
  if (std::fabs(X) < Small_X) {
    X = -std::cos(Lat + Colat) + cos_l * cos_c * (1.0 - cos_d);
  }
  const double Y = -cos_l * std::sin(Dlng);

  TRotated R{};
  R.Lng = (X != 0.0 || Y != 0.0) ? std::atan2(Y, X) : Fallback;
  if (On_Meridian) {
    R.Lat = Lat + cos_d * Colat;
    if (R.Lat > Pi / 2.0) {
      R.Lat = Pi - R.Lat;
    }
    if (R.Lat < -Pi / 2.0) {
      R.Lat = -Pi - R.Lat;
    }
  } else {
    const double z = sin_l * cos_c + cos_l * sin_c * cos_d;
    if (std::fabs(z) <= Max_Arcsin) {
      R.Lat = std::asin(z);
    } else {
      R.Lat = std::acos(std::sqrt(X * X + Y * Y));
      if (z < 0.0) {
        R.Lat = -R.Lat;
      }
    }
  }
  return R;
}

// Sum of c[p][q] u^p v^q over p + q <= order.
double Sip_Value(const TSip_Polynomial& P, double u, double v) {
  double Sum = 0.0;
  double up = 1.0;
  for (int p = 0; p <= P.order; ++p) {
    double vq = 1.0;
    for (int q = 0; p + q <= P.order; ++q) {
      Sum += P.c[p * (Max_Sip_Order + 1) + q] * up * vq;
      vq *= v;
    }
    up *= u;
  }
  return Sum;
}

// The partial derivatives of the polynomial by u and by v.
void Sip_Slopes(const TSip_Polynomial& P, double u, double v, double& du, double& dv) {
  du = dv = 0.0;
  for (int p = 0; p <= P.order; ++p) {
    for (int q = 0; p + q <= P.order; ++q) {
      const double c = P.c[p * (Max_Sip_Order + 1) + q];
      if (c == 0.0)
        continue;
      if (p > 0)
        du += c * p * std::pow(u, p - 1) * std::pow(v, q);
      if (q > 0)
        dv += c * q * std::pow(u, p) * std::pow(v, q - 1);
    }
  }
}

constexpr int Max_Inverse_Steps = 50;
constexpr double Inverse_Tolerance = 1e-9; // pixels

// The offsets (u, v) whose distorted offsets are (U, V): with the inverse terms when both
// are given, otherwise Newton's method on the forward terms, started at (U, V). Should it
// fail to converge, the undistorted offsets stand rather than a wild or undefined value.
void Sip_Undistort(const TWCSRecord& W, double& U, double& V) {
  if (W.sip_ap.order >= 0 && W.sip_bp.order >= 0) {
    const double u = U + Sip_Value(W.sip_ap, U, V);
    const double v = V + Sip_Value(W.sip_bp, U, V);
    if (std::isfinite(u) && std::isfinite(v)) {
      U = u;
      V = v;
    }
    return;
  }
  double u = U, v = V;
  for (int Step = 0; Step < Max_Inverse_Steps; ++Step) {
    const double fu = u + Sip_Value(W.sip_a, u, v) - U;
    const double fv = v + Sip_Value(W.sip_b, u, v) - V;
    double au, av, bu, bv;
    Sip_Slopes(W.sip_a, u, v, au, av);
    Sip_Slopes(W.sip_b, u, v, bu, bv);
    const double j11 = 1.0 + au, j12 = av, j21 = bu, j22 = 1.0 + bv;
    const double det = j11 * j22 - j12 * j21;
    if (det == 0.0 || !std::isfinite(det))
      return;
    const double du = (j22 * fu - j12 * fv) / det;
    const double dv = (j11 * fv - j21 * fu) / det;
    u -= du;
    v -= dv;
    if (!std::isfinite(u) || !std::isfinite(v))
      return;
    if (std::hypot(du, dv) < Inverse_Tolerance) {
      U = u;
      V = v;
      return;
    }
  }
}

} // namespace

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
  const std::int32_t n = q < Lo   ? std::numeric_limits<std::int32_t>::min()
                         : q > Hi ? std::numeric_limits<std::int32_t>::max()
                                  : static_cast<std::int32_t>(q);
  return a - b * static_cast<double>(n);
}

void TWCS::tnxpos(const TWCSRecord& W, TSkyPosition& P, double xpix, double ypix) const {
  double u = xpix - W.crpix[0];
  double v = ypix - W.crpix[1];
  if (W.rotmat && W.sip) {
    const double du = Sip_Value(W.sip_a, u, v);
    const double dv = Sip_Value(W.sip_b, u, v);
    u += du;
    v += dv;
  }

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
  const TRotated Sky = Rotate(theta, dphi, colat, dphi + Pi, floor_mod(dphi, Pi) == 0.0);

  // Keep RA on the side of zero that the reference point is on, and within one turn.
  const double ra0 = W.crval[A.Lng];
  double ra = ra0 + Sky.Lng * Rad_To_Deg;
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

  P.RA = ra;
  P.Dec = Sky.Lat * Rad_To_Deg;
}

void TWCS::tnxpix(const TWCSRecord& W, TCCDPosition& C, double ra, double dec) const {
  const TAxes A = Axes_Of(W);
  const double a = (ra - W.crval[A.Lng]) * Deg_To_Rad;
  const double d = dec * Deg_To_Rad;
  const double colat = (90.0 - W.crval[A.Lat]) * Deg_To_Rad;
  // 999 marks a pole longitude left to the default.
  const double longp = W.longpole == 999.0 ? Pi : W.longpole * Deg_To_Rad;

  // Native spherical coordinates of the sky point.
  const TRotated Native = Rotate(d, a, colat, a - Pi, floor_mod(a, Pi) == 0.0);
  double phi = longp + Native.Lng;
  if (phi > Pi) {
    phi -= 2.0 * Pi;
  } else if (phi < -Pi) {
    phi += 2.0 * Pi;
  }
  const double theta = Native.Lat;

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
    if (W.sip)
      Sip_Undistort(W, px, py);
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
  static const char* const Singular = "singular CD matrix: the image's CD1_1..CD2_2 cannot be inverted";
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
