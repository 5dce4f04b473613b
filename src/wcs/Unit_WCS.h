#pragma once
// Pixel <-> sky through the gnomonic (TAN) projection with a CD matrix.
// Pixel positions are zero-based (column x, row y); CRPIX is used as it stands.
// Arrays that the FITS convention numbers from 1 are 0-based here: crval[0] is CRVAL1.

struct TSkyPosition {
  double RA = 0.0;
  double Dec = 0.0;
};

struct TCCDPosition {
  double x = 0.0;
  double y = 0.0;
};

// Correction surfaces are never supplied; the record keeps the slots for them.
struct TWCS_Correction;

struct TWCSRecord {
  bool coorflip = false;
  double crval[10] = {};
  double crpix[10] = {};
  double cdelt[10] = {};
  double longpole = 0.0;
  bool rotmat = false;
  double cd[4] = {};
  double dc[4] = {};
  double rot = 0.0;
  const TWCS_Correction* lngcor = nullptr;
  const TWCS_Correction* latcor = nullptr;
  double rodeg = 0.0;
  double xrefpix = 0.0;
  double yrefpix = 0.0;
  double xinc = 0.0;
  double yinc = 0.0;
};

class TWCS {
public:
  TWCSRecord WCSRecord; // unused by the operations

  // Pixel to sky; RA and Dec in degrees.
  void tnxpos(const TWCSRecord& W, TSkyPosition& P, double xpix, double ypix) const;
  // Sky (degrees) to pixel.
  void tnxpix(const TWCSRecord& W, TCCDPosition& C, double ra, double dec) const;

private:
  static double floor_mod(double a, double b);
};

// Fills W.dc with the inverse of W.cd. Throws TKorvane_Error("singular CD matrix ...") and
// leaves W.dc alone when the determinant is 0 or the matrix or its inverse is not finite.
void Invert_CD_Matrix(TWCSRecord& W);
