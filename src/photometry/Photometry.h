#pragma once
// Marking the target and its reference star, and measuring both by aperture photometry.

#include "app/Settings.h"
#include "image/Image_Model.h"
#include "wcs/Unit_WCS.h"

#include <string>

// Pos.RA in hours, Pos.Dec in degrees. Nothing happens on an image that is not plate-solved.
void Mark_Object(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name);
void Mark_Reference(TImage_Model& Image, const TSkyPosition& Pos, const std::string& Name, double Mag,
                    char Filter);

// Measures one star centred at (X, Y), recentring when Snap. Returns false when the centre
// lies outside the measurable area. Writes Npap_real, Npan, Net_Flux, Sky_Fluxpp, NewX, NewY.
bool Measure_Star(TImage_Model& Image, const TSettings& Settings, bool Snap, double X, double Y);

// Measures target and reference star with the given settings and writes the result fields.
// True exactly when Last_Error ends at 0; otherwise Last_Error is 3 or 4. Throws
// TKorvane_Error when a setting or the image makes the result undefined (Gain or Exposure 0,
// an aperture whose weighted sum is 0 while recentring).
bool Measure_Magnitude(TImage_Model& Image, const TSettings& Settings);
