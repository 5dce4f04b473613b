#pragma once
// Pixel <-> sky through the gnomonic (TAN) projection with a CD matrix.
//
// Pixel convention. A pixel position is the 0-based column x and 0-based row y of the
// image's pixel array: the centre of the first pixel stored in the file is (0, 0). The
// header's CRPIX1/CRPIX2 are used as they stand, as positions in this same convention. A
// header written by a solver that follows the FITS standard counts pixels from 1, so read
// as it stands it places every star one pixel too far right and down (+1 in x and y); the
// FITS reader can subtract 1 from CRPIX as it reads it (TOpen_Options::Fits_Crpix), after
// which every step here stays in the one convention above.
//
// Arrays that FITS numbers from 1 are 0-based here: crval[0] is CRVAL1.

// A sky position. Dec in degrees; RA in degrees for the transform below, and in hours in
// the catalogue and at the marking operations.
struct TSkyPosition {
  double RA = 0.0;
  double Dec = 0.0;
};

// A pixel position [px], 0-based column x and row y.
struct TCCDPosition {
  double x = 0.0;
  double y = 0.0;
};

// SIP distortion: polynomials in the pixel offsets (u, v) from the reference pixel, added
// to them before the CD matrix. Coefficient of u^p v^q at index p * (Max_Sip_Order + 1) + q.
constexpr int Max_Sip_Order = 9;
constexpr int Sip_Terms = (Max_Sip_Order + 1) * (Max_Sip_Order + 1);

struct TSip_Polynomial {
  int order = -1; // -1: absent
  double c[Sip_Terms] = {};
};

// The world-coordinate parameters of one image. The defaults describe no projection yet;
// the FITS reader fills the rest from the header.
struct TWCSRecord {
  bool coorflip = false;    // world axes exchanged: CRVAL1 is the declination
  double crval[10] = {};    // reference point [deg]: crval[0] RA, crval[1] Dec
  double crpix[10] = {};    // reference pixel [px], used by tnxpos
  double cdelt[10] = {};    // increments [deg/px]; the reader makes the CD matrix of them when the
                            // header has none, and tnxpos uses them only without one
  double longpole = 180.0;  // native longitude of the celestial pole [deg]; 999 = default
  bool rotmat = false;      // the CD matrix (read, or made from CDELT) is used
  double cd[4] = {};        // CD1_1, CD1_2, CD2_1, CD2_2 [deg/px]
  double dc[4] = {};        // inverse of cd [px/deg], filled by Invert_CD_Matrix
  double rot = 0.0;         // rotation [deg], used only without a CD matrix
  double rodeg = 57.295779; // radius of the projection sphere [deg per radian]
  double xrefpix = 0.0;     // reference pixel [px], used by tnxpix (the reader sets it to crpix[0])
  double yrefpix = 0.0;     // likewise crpix[1]
  double xinc = 0.0;        // increments [deg/px] for tnxpix without a CD matrix; 0 = none
  double yinc = 0.0;
  // Distortion, applied only with the CD matrix when sip is set: a and b (pixel to sky, both
  // present), ap and bp (sky to pixel; when either is absent the forward terms are inverted
  // by iteration).
  bool sip = false;
  TSip_Polynomial sip_a, sip_b, sip_ap, sip_bp;
};

class TWCS {
public:
  // Pixel to sky.
  //   given:    W, the image's record; xpix, ypix [px]
  //   returned: P.RA, P.Dec [deg]; RA kept on the side of 0 the reference point is on
  void tnxpos(const TWCSRecord& W, TSkyPosition& P, double xpix, double ypix) const;
  // Sky to pixel.
  //   given:    W, the image's record with W.dc filled; ra, dec [deg]
  //   returned: C.x, C.y [px]
  void tnxpix(const TWCSRecord& W, TCCDPosition& C, double ra, double dec) const;

private:
  static double floor_mod(double a, double b);
};

// Fills W.dc [px/deg] with the inverse of W.cd [deg/px]. Throws TKorvane_Error("singular
// CD matrix ...") and leaves W.dc alone when the determinant is 0 or the matrix or its
// inverse is not finite.
void Invert_CD_Matrix(TWCSRecord& W);
