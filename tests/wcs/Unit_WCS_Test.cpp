// Pixel <-> sky transform: worked examples from geometry, and grids cross-checked against
// wcslib as an independent implementation of the same gnomonic projection.

#include "text/Messages.h"
#include "wcs/Unit_WCS.h"

#include <gtest/gtest.h>
#include <wcslib/wcs.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr double Rodeg = 57.295779; // the radius the reader presets
constexpr double Rad_To_Deg = 180.0 / std::numbers::pi;
constexpr double Scale = 0.0005; // degrees per pixel

using TCD = std::array<double, 4>;

TCD Rotated_CD(double sx, double sy, double angle_deg) {
  const double c = std::cos(angle_deg / Rad_To_Deg);
  const double s = std::sin(angle_deg / Rad_To_Deg);
  return {sx * c, -sy * s, sx * s, sy * c};
}

TWCSRecord Make_Record(double crval1, double crval2, double crpix1, double crpix2, TCD cd) {
  TWCSRecord W;
  W.crval[0] = crval1;
  W.crval[1] = crval2;
  W.crpix[0] = W.xrefpix = crpix1;
  W.crpix[1] = W.yrefpix = crpix2;
  W.longpole = 180.0;
  W.rodeg = Rodeg;
  W.rotmat = true;
  for (int i = 0; i < 4; ++i) {
    W.cd[i] = cd[i];
  }
  Invert_CD_Matrix(W);
  return W;
}

// wcslib set up with the same reference pixel, reference point and CD matrix. Our pixel
// coordinates go in as its pixel coordinates unchanged: both subtract CRPIX as it stands.
class TReference {
public:
  TReference(const TWCSRecord& W, TCD cd, double lonpole) {
    Wcs.flag = -1;
    if (wcsini(1, 2, &Wcs) != 0) {
      throw std::runtime_error("wcsini failed");
    }
    std::strcpy(Wcs.ctype[0], "RA---TAN");
    std::strcpy(Wcs.ctype[1], "DEC--TAN");
    Wcs.altlin = 2;
    for (int i = 0; i < 2; ++i) {
      Wcs.crval[i] = W.crval[i];
      Wcs.crpix[i] = W.crpix[i];
    }
    std::copy(cd.begin(), cd.end(), Wcs.cd);
    Wcs.lonpole = lonpole;
    if (wcsset(&Wcs) != 0) {
      wcsfree(&Wcs);
      throw std::runtime_error("wcsset failed");
    }
  }
  TReference(const TReference&) = delete;
  TReference& operator=(const TReference&) = delete;
  ~TReference() { wcsfree(&Wcs); }

  TSkyPosition Sky(double x, double y) {
    const double pix[2] = {x, y};
    double img[2], phi, theta, world[2];
    int stat;
    EXPECT_EQ(wcsp2s(&Wcs, 1, 2, pix, img, &phi, &theta, world, &stat), 0);
    return {world[0], world[1]};
  }
  TCCDPosition Pixel(double ra, double dec, double* img = nullptr) {
    const double world[2] = {ra, dec};
    double phi, theta, im[2], pix[2];
    int stat;
    EXPECT_EQ(wcss2p(&Wcs, 1, 2, world, &phi, &theta, im, pix, &stat), 0);
    if (img != nullptr) {
      img[0] = im[0];
      img[1] = im[1];
    }
    return {pix[0], pix[1]};
  }

private:
  wcsprm Wcs{};
};

double Pixel_Error(const TCCDPosition& a, double x, double y) {
  return std::hypot(a.x - x, a.y - y);
}

struct THeader {
  const char* Name;
  TWCSRecord W;
  TCD Ref_CD;         // the CD matrix wcslib is given
  double Lonpole_Pos; // wcslib's LONPOLE matching tnxpos
  double Lonpole_Pix; // wcslib's LONPOLE matching tnxpix
  bool Closes;        // tnxpos and tnxpix are inverse for this record
};

THeader Header(const char* name, double crval1, double crval2, TCD cd) {
  return {name, Make_Record(crval1, crval2, 1000.0, 750.0, cd), cd, 180.0, 180.0, true};
}

std::vector<THeader> Headers() {
  std::vector<THeader> h = {
      Header("rotated", 150.3, 22.4, Rotated_CD(Scale, Scale, 30.0)),
      Header("flipped", 210.7, -35.2, Rotated_CD(-Scale, Scale, 20.0)),
      Header("unequal axes, skewed", 83.8, 5.0, {-0.0003, 0.00002, 0.000015, 0.00028}),
      // The pole lies inside these fields; with a diagonal matrix the reference column
      // runs across it.
      Header("near north pole", 45.0, 89.8, {-Scale, 0.0, 0.0, Scale}),
      Header("near south pole", 300.0, -89.8, {-Scale, 0.0, 0.0, Scale}),
      Header("near south pole, rotated", 200.0, -89.7, Rotated_CD(-Scale, Scale, -65.0)),
      Header("RA just above 0h", 0.05, 10.0, {-Scale, 0.0, 0.0, Scale}),
      Header("RA just below 24h", 359.95, -5.0, Rotated_CD(-Scale, Scale, 3.0)),
      Header("reference point on the pole", 120.0, 90.0, Rotated_CD(-Scale, Scale, 10.0)),
  };

  // LONPOLE 999: tnxpos takes it as 999 degrees (279), tnxpix as the default 180.
  THeader l = Header("LONPOLE 999", 150.3, 22.4, Rotated_CD(-Scale, Scale, 12.0));
  l.W.longpole = 999.0;
  l.Lonpole_Pos = 279.0;
  l.Closes = false;
  h.push_back(l);

  // No CD matrix: axis increments and a rotation, equivalent to the CD matrix below.
  const double c1 = -0.0004, c2 = 0.0005, rot = 25.0;
  THeader n = Header("cdelt and rotation", 33.3, 44.4, Rotated_CD(c1, c2, rot));
  n.W.rotmat = false;
  n.W.cdelt[0] = n.W.xinc = c1;
  n.W.cdelt[1] = n.W.yinc = c2;
  n.W.rot = rot;
  std::fill(std::begin(n.W.cd), std::end(n.W.cd), 0.0);
  std::fill(std::begin(n.W.dc), std::end(n.W.dc), 0.0);
  h.push_back(n);
  return h;
}

// Pixels over a 2000 x 1500 image, the reference row and column included, and a close
// grid around the celestial pole when it lies in the field: there the latitude comes from
// the projected radius and RA turns fast.
std::vector<TCCDPosition> Field_Pixels(const THeader& h) {
  std::vector<TCCDPosition> g;
  for (double y = 0.0; y <= 1500.0; y += 125.0) {
    for (double x = 0.0; x <= 2000.0; x += 100.0) {
      g.push_back({x, y});
      g.push_back({x + 0.37, y - 0.81});
    }
  }
  TReference ref(h.W, h.Ref_CD, h.Lonpole_Pix);
  const TCCDPosition pole = ref.Pixel(0.0, h.W.crval[1] >= 0.0 ? 90.0 : -90.0);
  if (pole.x >= 0.0 && pole.x <= 2000.0 && pole.y >= 0.0 && pole.y <= 1500.0) {
    for (double dy = -2.0; dy <= 2.0; dy += 0.5) {
      for (double dx = -2.0; dx <= 2.0; dx += 0.5) {
        g.push_back({pole.x + dx, pole.y + dy});
      }
    }
  }
  return g;
}

TEST(Unit_WCS, AgreesWithWcslibBothWays) {
  const TWCS T;
  for (const THeader& h : Headers()) {
    SCOPED_TRACE(h.Name);
    const auto& W = h.W;
    TReference pos_ref(W, h.Ref_CD, h.Lonpole_Pos);
    TReference pix_ref(W, h.Ref_CD, h.Lonpole_Pix);

    const std::vector<TCCDPosition> pixels = Field_Pixels(h);
    for (const TCCDPosition& p : pixels) {
      SCOPED_TRACE(testing::Message() << "pixel " << p.x << ", " << p.y);
      TSkyPosition s;
      T.tnxpos(W, s, p.x, p.y);
      EXPECT_GE(s.RA, 0.0);
      EXPECT_LE(s.RA, 360.0);
      EXPECT_LE(Pixel_Error(pos_ref.Pixel(s.RA, s.Dec), p.x, p.y), 1e-4);

      const TSkyPosition r = pix_ref.Sky(p.x, p.y);
      TCCDPosition c;
      T.tnxpix(W, c, r.RA, r.Dec);
      EXPECT_LE(Pixel_Error(c, p.x, p.y), 1e-4);

      // The projection is central: the antipode lies on the same line through the centre
      // of the sphere and lands on the same pixel.
      T.tnxpix(W, c, r.RA + 180.0, -r.Dec);
      EXPECT_LE(Pixel_Error(c, p.x, p.y), 1e-4) << "antipode";
    }

    // Sky points on the reference meridian, where the latitude is a plain sum.
    for (int k = -6; k <= 6; ++k) {
      const double dec = W.crval[1] + 0.1 * k;
      if (std::fabs(dec) > 90.0) {
        continue;
      }
      SCOPED_TRACE(testing::Message() << "meridian dec " << dec);
      TCCDPosition c;
      T.tnxpix(W, c, W.crval[0], dec);
      const TCCDPosition e = pix_ref.Pixel(W.crval[0], dec);
      EXPECT_LE(Pixel_Error(c, e.x, e.y), 1e-4);
    }
  }
}

TEST(Unit_WCS, PixelSkyPixelClosesOnTheStartingPixel) {
  const TWCS T;
  for (const THeader& h : Headers()) {
    if (!h.Closes) {
      continue;
    }
    SCOPED_TRACE(h.Name);
    for (const TCCDPosition& p : Field_Pixels(h)) {
      TSkyPosition s;
      TCCDPosition c;
      T.tnxpos(h.W, s, p.x, p.y);
      T.tnxpix(h.W, c, s.RA, s.Dec);
      EXPECT_LE(Pixel_Error(c, p.x, p.y), 1e-6) << "pixel " << p.x << ", " << p.y;
    }
  }
}

TEST(Unit_WCS, ReferencePixelAndReferencePointMapOntoEachOther) {
  const TWCS T;
  std::vector<THeader> headers = Headers();
  // tnxpix takes the reference pixel from xrefpix/yrefpix, tnxpos from crpix.
  THeader apart = Header("reference pixel stored apart", 12.0, 34.0, Rotated_CD(-Scale, Scale, 7));
  apart.W.xrefpix = 1234.5;
  apart.W.yrefpix = 321.0;
  headers.push_back(apart);
  for (const THeader& h : headers) {
    SCOPED_TRACE(h.Name);
    TSkyPosition s;
    T.tnxpos(h.W, s, h.W.crpix[0], h.W.crpix[1]);
    if (h.W.crval[1] < 90.0) { // RA is undefined on the pole
      EXPECT_NEAR(s.RA, h.W.crval[0], 1e-9);
    }
    EXPECT_NEAR(s.Dec, h.W.crval[1], 1e-9);
    TCCDPosition c;
    T.tnxpix(h.W, c, h.W.crval[0], h.W.crval[1]);
    EXPECT_NEAR(c.x, h.W.xrefpix, 1e-9);
    EXPECT_NEAR(c.y, h.W.yrefpix, 1e-9);
  }
}

// On the equator a standard-coordinate offset xi along x moves RA by atan(xi / rodeg).
TEST(Unit_WCS, EquatorialOffsetsAndRAWrap) {
  const double A = std::atan(0.05 / Rodeg) * Rad_To_Deg; // 100 pixels at 0.0005 deg
  const double B = std::atan(0.2 / Rodeg) * Rad_To_Deg;  // 400 pixels
  struct TCase {
    const char* Name;
    bool Rotmat;
    double Rot;
    double Crval1;
    double Du, Dv;
    double Expected_RA;
  };
  const TCase cases[] = {
      {"CD, 100 columns right", true, 0, 150.0, 100, 0, 150.0 - A},
      {"CD, 100 columns left", true, 0, 150.0, -100, 0, 150.0 + A},
      {"cdelt, 100 columns right", false, 0, 150.0, 100, 0, 150.0 - A},
      {"cdelt rotated 90, 100 rows down", false, 90, 150.0, 0, 100, 150.0 - A},
      {"cdelt rotated -90, 100 rows down", false, -90, 150.0, 0, 100, 150.0 + A},
      {"359.9, east past 0h", true, 0, 359.9, -400, 0, 359.9 + B - 360.0},
      {"0.1, west past 0h", true, 0, 0.1, 400, 0, 0.1 - B + 360.0},
      {"-0.1, east past 0h", true, 0, -0.1, -400, 0, -0.1 + B - 360.0},
      {"-359.9, west past -360", true, 0, -359.9, 400, 0, -359.9 - B + 360.0},
  };
  const TWCS T;
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TWCSRecord W = Make_Record(k.Crval1, 0.0, 512.0, 384.0, {-Scale, 0.0, 0.0, Scale});
    if (!k.Rotmat) {
      W.rotmat = false;
      W.cd[0] = W.cd[3] = 0.0;
      W.cdelt[0] = -Scale;
      W.cdelt[1] = Scale;
      W.rot = k.Rot;
    }
    TSkyPosition s;
    T.tnxpos(W, s, 512.0 + k.Du, 384.0 + k.Dv);
    EXPECT_NEAR(s.RA, k.Expected_RA, 1e-10);
    EXPECT_NEAR(s.Dec, 0.0, 1e-10);
  }
}

TEST(Unit_WCS, SpecialPathsWithoutCDMatrix) {
  const TWCS T;
  // A zero axis increment gives RA = Dec = 0.
  for (int axis = 0; axis < 2; ++axis) {
    TWCSRecord W = Make_Record(150.0, 20.0, 100.0, 100.0, {-Scale, 0.0, 0.0, Scale});
    W.rotmat = false;
    W.cdelt[0] = W.cdelt[1] = Scale;
    W.cdelt[axis] = 0.0;
    TSkyPosition s{99.0, 99.0};
    T.tnxpos(W, s, 130.0, 170.0);
    EXPECT_EQ(s.RA, 0.0);
    EXPECT_EQ(s.Dec, 0.0);
  }

  // With xinc = yinc = 0 tnxpix returns the standard coordinates (degrees) as offsets.
  TWCSRecord W = Make_Record(150.0, 20.0, 100.0, 200.0, {-Scale, 0.0, 0.0, Scale});
  W.rotmat = false;
  TReference ref(W, {1.0, 0.0, 0.0, 1.0}, 180.0);
  for (const auto& sky : {std::array{150.3, 20.2}, std::array{149.6, 19.5}}) {
    double img[2];
    ref.Pixel(sky[0], sky[1], img);
    TCCDPosition c;
    T.tnxpix(W, c, sky[0], sky[1]);
    EXPECT_NEAR(c.x - 100.0, img[0], 1e-7);
    EXPECT_NEAR(c.y - 200.0, img[1], 1e-7);
  }
}

TEST(Unit_WCS, SkyPointNinetyDegreesAwayGivesTheReferencePixel) {
  const TWCS T;
  const TWCSRecord W = Make_Record(10.0, 0.0, 300.0, 400.0, {-Scale, 0.0, 0.0, Scale});
  TCCDPosition c;
  T.tnxpix(W, c, 10.0, -90.0);
  EXPECT_EQ(c.x, 300.0);
  EXPECT_EQ(c.y, 400.0);
}

// With coorflip the reference point is stored (Dec, RA); tnxpix exchanges the projected axes.
TEST(Unit_WCS, CoorflipExchangesTheWorldAxes) {
  const TWCS T;
  const TWCSRecord plain = Make_Record(150.3, 22.4, 1000.0, 750.0, {1.0, 0.0, 0.0, 1.0});
  TReference ref(plain, {1.0, 0.0, 0.0, 1.0}, 180.0);
  TWCSRecord W = plain;
  W.coorflip = true;
  std::swap(W.crval[0], W.crval[1]);

  TSkyPosition s;
  T.tnxpos(W, s, 1000.0, 750.0);
  EXPECT_NEAR(s.RA, 150.3, 1e-9);
  EXPECT_NEAR(s.Dec, 22.4, 1e-9);
  T.tnxpos(W, s, 1000.2, 749.7);
  EXPECT_LE(Pixel_Error(ref.Pixel(s.RA, s.Dec), 1000.2, 749.7), 1e-6);

  double img[2];
  ref.Pixel(150.6, 22.1, img);
  TCCDPosition c;
  T.tnxpix(W, c, 150.6, 22.1);
  EXPECT_NEAR(c.x - 1000.0, img[1], 1e-7);
  EXPECT_NEAR(c.y - 750.0, img[0], 1e-7);
}

TEST(Unit_WCS, SingularCDMatrixIsRefused) {
  const double nan = std::nan("");
  const TCD singular[] = {
      {0.0, 0.0, 0.0, 0.0},        // the eight keywords present, all CD values 0
      {0.0, 0.0, 0.0005, 0.0004},  // a zero row
      {0.0005, 0.0, -0.0003, 0.0}, // a zero column
      {0.5, 0.25, 0.5, 0.25},      // equal rows
      {1e200, 0.0, 0.0, 1e200},    // determinant overflows
      {1.0, 0.0, 0.0, 1e-310},     // inverse overflows
      {nan, 0.0, 0.0, 0.0005},
  };
  for (const TCD& cd : singular) {
    TWCSRecord W;
    for (int i = 0; i < 4; ++i) {
      W.cd[i] = cd[i];
    }
    try {
      Invert_CD_Matrix(W);
      ADD_FAILURE() << "accepted " << cd[0] << " " << cd[1] << " " << cd[2] << " " << cd[3];
    } catch (const TKorvane_Error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("singular CD matrix", 0), 0u) << e.what();
    }
  }
}

} // namespace
