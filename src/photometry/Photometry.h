#pragma once
// Marking the target and its reference star, and measuring both by aperture photometry.

#include "settings/Settings.h"
#include "image/Image_Model.h"
#include "wcs/Unit_WCS.h"

#include <string>

// Pos.RA in hours, Pos.Dec in degrees. Nothing happens on an image that is not plate-solved.
void Mark_Object(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name);
void Mark_Reference(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name, double Mag,
                    char Filter);

// Measures one star centred at (X, Y), recentring when Snap. Returns false when the centre
// lies outside the measurable area (column 0 and row 0 excluded, the last column and row
// included) or when the sky annulus holds no pixel of the image; then nothing but Npap_real
// has changed. Otherwise writes Npap_real, Npan, Net_Flux, Sky_Fluxpp, NewX, NewY. Throws
// TKorvane_Error when recentring meets an aperture whose pixels are all 0.
bool Measure_Star(TImage_Model& Image, const TSettings& Settings, bool Snap, double X, double Y);

// Measures target and reference star with the given settings and writes the result fields.
// True exactly when Last_Error ends at 0; otherwise Last_Error is 3 or 4. Throws
// TKorvane_Error when a setting or the image makes the result undefined: Gain or Exposure 0
// or negative (checked before anything is written), an aperture whose weighted sum is 0
// while recentring, a noise estimate without value (a negative Dark_Current). The marks
// are not painted here; the image window repaints after the call.
bool Measure_Magnitude(TImage_Model& Image, const TSettings& Settings);
