#pragma once
// Synthetic star fields with known truth: Gaussian stars integrated over each pixel (so the
// flux each star puts into the image is exactly known), sky, Poisson noise in electrons
// and Gaussian read noise from a fixed seed, clamped to 0..65535. Tests assert statistics
// (a magnitude within its error), never exact pixel values: the standard library's random
// distributions differ between implementations.

#include "image/Image_Model.h"
#include "settings/Settings.h"
#include "support/Fits_Writer.h"

#include <cstdint>
#include <string>
#include <vector>

struct TField_Star {
  // Pixel position, zero-based column X and row Y (the reader's convention); used unless
  // On_Sky, in which case RA_Hours/Dec are projected through the field's TAN system.
  double X = 0.0;
  double Y = 0.0;
  bool On_Sky = false;
  double RA_Hours = 0.0;
  double Dec = 0.0;  // degrees
  double Flux = 0.0; // total ADU of the star
  double FWHM = 0.0; // pixels; 0 takes the field's FWHM
};

struct TStar_Field_Description {
  int Width = 400;
  int Height = 300;
  // TAN world coordinates. CRPIX is in the reader's zero-based convention, written as is.
  bool Write_WCS = true;
  double Crval1 = 0.0; // degrees
  double Crval2 = 0.0; // degrees
  double Crpix1 = 199.5;
  double Crpix2 = 149.5;
  double CD[4] = {-1.5 / 3600.0, 0.0, 0.0, 1.5 / 3600.0}; // CD1_1, CD1_2, CD2_1, CD2_2
  // Written as CDELT1/2 and CROTA2 instead of the CD matrix, which then follows from them (CD
  // above is not used): the layout of a telescope's nominal pointing.
  bool Cdelt_Layout = false;
  double Cdelt[2] = {-1.5 / 3600.0, 1.5 / 3600.0}; // degrees per pixel
  double Crota2 = 0.0;                             // degrees
  // Added to CRVAL1/2 as written, not where the stars are placed: a solution that is off.
  double Written_Offset[2] = {0.0, 0.0}; // degrees
  // SIP distortion when Sip_Order >= 0: the stars are placed through the forward terms
  // (pixel offsets u + A(u, v), v + B(u, v) before the CD matrix), which are written with
  // CTYPE "-SIP", A_ORDER and B_ORDER. Each term: p, q, coefficient.
  struct TSip_Term {
    int P = 0, Q = 0;
    double Value = 0.0;
  };
  int Sip_Order = -1;
  std::vector<TSip_Term> Sip_A, Sip_B;
  double Sky = 1000.0;       // ADU per pixel
  double Gain = 1.5;         // electrons per ADU
  double Read_Noise = 10.0;  // electrons
  double Dark_Current = 0.0; // electrons per pixel per second
  double Exposure = 60.0;    // seconds; 0 writes no EXPOSURE card
  double JD = 2460000.5;
  double Airmass = 1.2;
  std::string Date_Obs = "2023-02-24T00:00:00";
  std::string Filter = "V";
  double FWHM = 3.0; // pixels
  bool Noise = true;
  uint64_t Seed = 1;
  std::vector<TField_Star> Stars;
};

struct TStar_Field {
  int Width = 0;
  int Height = 0;
  std::vector<uint16_t> Pixels;             // row-major, row 0 first: the image
  std::vector<double> Expected;             // noise-free mean value of each pixel, ADU
  std::vector<TCCDPosition> Star_Positions; // pixel centre of each star, in description order
  std::vector<double> Star_Flux_In_Image;   // flux of each star that falls on the image, ADU
  TFits_Writer Header;
};

// A plate-solved Width x Height field whose centre, CRPIX ((Width - 1) / 2, (Height - 1) / 2),
// looks at RA_Degrees, Dec; the rest as TStar_Field_Description has it.
TStar_Field_Description Centred_Field(int Width, int Height, double RA_Degrees, double Dec);

// A star placed by its sky position (RA in hours, Dec in degrees), with the field's FWHM.
TField_Star Sky_Star(double RA_Hours, double Dec, double Flux);

// Sky (RA in hours, Dec in degrees) to pixel by the standard gnomonic projection, the
// inverse CD matrix and, with SIP terms, the forward distortion inverted by fixed-point
// iteration, independently of the program's transform.
TCCDPosition Field_Sky_To_Pixel(const TStar_Field_Description& D, double RA_Hours, double Dec);

// Renders the field. Throws std::invalid_argument for a description that makes no image.
TStar_Field Make_Star_Field(const TStar_Field_Description& D);

// Adds Count stars at uniform random positions (at least Margin pixels from the edges) with
// fluxes spread evenly in magnitude between Min_Flux and Max_Flux.
void Add_Random_Stars(TStar_Field_Description& D, int Count, double Min_Flux, double Max_Flux, double Margin,
                      uint64_t Seed);

// Writes the field as a 16-bit FITS file (BZERO 32768).
void Write_Star_Field(const TStar_Field& Field, const std::string& Path);

// Fills a fresh image model with the field as the FITS reader would: pixels, sizes,
// observation values and, when the description has world coordinates, the plate-solved
// TAN record with its inverse CD matrix. Throws std::invalid_argument for a CDELT layout,
// an offset or SIP terms: such fields are read from their file.
void Load_Star_Field(const TStar_Field& Field, const TStar_Field_Description& D, TImage_Model& Image);

// The field rendered and loaded into a fresh image model.
TImage_Model Star_Field_Image(const TStar_Field_Description& D);

// Settings that measure the field with its camera's gain, read noise and dark current: the
// given aperture, annulus and gap, Max_Error 0.1, the reference star recentred.
TSettings Field_Measure_Settings(const TStar_Field_Description& D, uint32_t Radius, uint32_t Gap,
                                 uint32_t Annulus);

// Total flux a Gaussian of the given FWHM centred at (X, Y) puts into the pixels of a
// Width x Height image.
double Gaussian_Flux_In_Image(double X, double Y, double Flux, double FWHM, int Width, int Height);
