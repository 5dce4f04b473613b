#pragma once
// The analysis of one opened image: nearest catalogue target, marks, measurement, outburst.

#include "settings/Settings.h"
#include "catalogue/Target_Data.h"
#include "image/Image_Model.h"

// Index (0-based) of the catalogue entry nearest to the reference sky position (RA0, Dec0
// in degrees), by the plain Euclidean distance in degrees of RA and Dec; the first of
// equals wins. Returns 0 when no entry is closer than 99999 (or the catalogue is empty);
// Found is then false.
int Nearest_Target(const TTarget_Catalogue& Catalogue, double RA0, double Dec0, bool& Found);

// Analyses an opened image against the catalogue. True when target and reference star were
// measured and the measurement ended with code 0.
bool Analyse_Image(TImage_Model& Image, const TTarget_Catalogue& Catalogue, const TSettings& Settings);
