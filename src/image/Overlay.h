#pragma once
// Where a star's marks go on the display bitmap: the aperture circle, the two edges of the
// sky annulus and the label, in bitmap pixels.

#include "settings/Settings.h"

#include <cstdint>
#include <optional>

struct TMark_Geometry {
  int32_t Centre_X = 0, Centre_Y = 0; // the mark's position rounded half to even
  // Radii of the circles to draw: the aperture, then, when the annulus is shown, its inner
  // and outer edges. A circle whose square would not fit 32-bit coordinates is left out.
  int32_t Radii[3] = {};
  int Circles = 0;
  int32_t Label_X = 0, Label_Y = 0; // top-left corner of the label: 20 right of and 20 above the centre
};

// Nothing when the rounded centre does not fit a signed 32-bit integer (a sky position
// nearly 90 degrees from the image's reference point): such a mark is not drawn.
// The circles follow the settings' Radius, Gap and Annulus; the annulus shows with Show_Annulus.
std::optional<TMark_Geometry> Mark_Geometry(double X, double Y, const TSettings& Settings);
