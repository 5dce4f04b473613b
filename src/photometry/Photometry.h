#pragma once
// Marking the target and its reference star, and measuring both by aperture photometry.

#include "image/Image_Model.h"
#include "settings/Settings.h"
#include "wcs/Unit_WCS.h"

#include <cstdint>
#include <string>

// The measuring aperture and the sky annulus around it, pixels.
struct TAperture {
  uint32_t Radius = 0;  // aperture radius
  uint32_t Gap = 0;     // from the aperture's edge to the annulus's inner edge
  uint32_t Annulus = 0; // width of the annulus
};

// The camera's noise figures.
struct TCamera {
  double Gain = 0.0;          // electrons per ADU
  double Readout_Noise = 0.0; // electrons per pixel
  double Dark_Current = 0.0;  // electrons per pixel per second
};

// What a measurement takes of the settings.
struct TMeasure_Settings {
  TAperture Aperture;
  TCamera Camera;
  double Max_Error = 0.0;        // largest acceptable magnitude error, for the limit
  bool Snap_to_Centre = false;   // recentre the comparison star's aperture
  double Saturation_Level = 0.0; // without a SATURATE or DATAMAX card, ADU; 0: the stored type's largest
};

TMeasure_Settings Measure_Settings_Of(const TSettings& Settings);

// Largest aperture radius, gap or annulus width a measurement accepts, pixels.
constexpr uint32_t Max_Aperture_Pixels = 10000;

// Throws TKorvane_Error naming the setting and the accepted range when a setting makes a
// measurement meaningless: Radius or Annulus outside 1..10000, Gap above 10000,
// Readout_Noise or Dark_Current negative, Max_Error not above 0, a number that is not
// finite. Gain is checked where it is used (it may be 0 until a star is measured).
void Check_Measure_Settings(const TMeasure_Settings& Settings);

// Pos.RA in hours, Pos.Dec in degrees. Nothing happens on an image that is not plate-solved.
void Mark_Object(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name);
void Mark_Reference(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name, double Mag,
                    char Filter);
// The check star; Mag is its catalogue magnitude in the comparison star's filter.
void Mark_Check(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name, double Mag);

// One star's measurement, as a value.
struct TStar_Measurement {
  bool Measured = false;     // the centre stayed measurable and the annulus holds pixels
  int Passes = 0;            // aperture passes completed
  double Npap_real = 0.0;    // sum of the pixel weights of the last complete pass, pixels
  double X = 0.0, Y = 0.0;   // centre after recentring (the given one without), 0-based pixels
  double Net_Flux = 0.0;     // aperture sum less sky, at least 50 ADU
  double Sky_Fluxpp = 0.0;   // sky level, ADU per pixel
  int64_t Annulus_Count = 0; // annulus pixels kept by the last clipping pass
  double Peak = 0.0;         // highest pixel of the last aperture pass that has a weight, ADU
};

// Measures one star centred at (X, Y), recentring when Snap. Not Measured when the centre
// lies outside the measurable area (column 0 and row 0 excluded, the last column and row
// included) or when the sky annulus holds no pixel of the image. Throws TKorvane_Error
// when recentring meets an aperture whose pixels are all 0. The image is only read.
TStar_Measurement Measure_One_Star(const TImage_Model& Image, const TAperture& Aperture, bool Snap, double X,
                                   double Y);

// The signal-to-noise ratio of a measured star by the CCD noise model of the camera (its
// own annulus as the sky). Throws TKorvane_Error when Gain is not a positive number.
double Signal_To_Noise(const TStar_Measurement& Star, const TCamera& Camera, double Exposure);

// Measure_One_Star, written into the image: false when not measured, and then nothing but
// Npap_real has changed; otherwise Npap_real, Npan, Net_Flux, Sky_Fluxpp, NewX, NewY.
bool Measure_Star(TImage_Model& Image, const TAperture& Aperture, bool Snap, double X, double Y);
bool Measure_Star(TImage_Model& Image, const TSettings& Settings, bool Snap, double X, double Y);

// Measures target and reference star and writes the result fields. True exactly when
// Last_Error ends at Measured; otherwise Last_Error is No_Star or No_Reference. Throws
// TKorvane_Error, with no field of the image changed, when a setting is meaningless
// (Check_Measure_Settings), when Gain or Exposure is 0 or negative (found once both stars
// are measured, so a variable outside the image is still reported as No_Star), when
// recentring meets an aperture whose pixels are all 0, or when the noise estimate has no
// value. The marks are not painted here; the image window repaints after the call.
// A marked check star is measured too, like the comparison star (Snap_to_Centre), once both
// stars are: Has_Check, Check_Mag, Check_Error, Check_Offset and Check_CMag, the variable's
// fields untouched. Saturated lists the measured stars whose aperture reaches
// Saturation_Level(); the magnitudes stay as computed.
bool Measure_Magnitude(TImage_Model& Image, const TMeasure_Settings& Settings);
bool Measure_Magnitude(TImage_Model& Image, const TSettings& Settings);

// A check star whose offset exceeds three times its error and this many magnitudes is off.
constexpr double Check_Offset_Floor = 0.1;
bool Check_Star_Off(const TImage_Model& Image);

// The warning for an off check star, naming it and the offset; empty when it agrees.
std::string Check_Star_Warning(const TImage_Model& Image);
// The warning naming the saturated stars; empty when none.
std::string Saturation_Warning(const TImage_Model& Image);
// The saturated stars blank-separated, as Saturated lists them ("Reference Check").
std::string Saturated_Names(const TImage_Model& Image);

// What the window shows of the check star and of saturation.
struct TWarning_Texts {
  std::string Check;      // "Check: +0.012" with the user's separator; empty without a check star
  bool Check_Off = false; // then shown red
  std::string Short;      // the error panel: "Saturated: Reference", else "Check star off!", else empty
  std::string Whole;      // both warnings whole, a line each, for the panel's tool tip
};
TWarning_Texts Warning_Texts(const TImage_Model& Image, char Decimal_Separator);
