#pragma once
// The analysis of one opened image: nearest catalogue target, marks, measurement, outburst.

#include "catalogue/Target_Data.h"
#include "image/Image_Model.h"
#include "photometry/Photometry.h"
#include "settings/Settings.h"
#include "text/Messages.h"

#include <functional>
#include <string>

// Index (0-based) of the catalogue entry nearest to the reference sky position (RA0, Dec0
// in degrees), by the plain Euclidean distance in degrees of RA and Dec; the first of
// equals wins. Returns 0 when no entry is closer than 99999 (or the catalogue is empty);
// Found is then false.
int Nearest_Target(const TTarget_Catalogue& Catalogue, double RA0, double Dec0, bool& Found);

// The air mass of a star (J2000 right ascension in hours, declination in degrees) at
// mid-exposure, from the site and time the header gives, unless it gave AIRMASS: sets
// AirMass and AirMass_From "site". Without a site or a time, or with the star lower than
// Lowest_Air_Mass_Altitude, AirMass_From is left empty: the image has no air mass.
void Air_Mass_From_Site(TImage_Model& Image, double RA_Hours, double Dec);

// Analyses an opened image against the catalogue. True when target and reference star were
// measured and the measurement ended with Measured. An image that is not plate-solved gets
// Not_Plate_Solved; with an empty catalogue nothing changes. A solution that may be only the
// telescope's pointing (TImage_Model::Pointing_WCS) is first checked against the comparison
// star, recentred from its mark, and so is a plate solution Korvane made (Solved_Here):
// unless a clear star lies within 3 pixels of the mark, the image becomes not plate-solved (Plate_Solved
// false, marks cleared, Not_Plate_Solved) and WCS_Note says why.
bool Analyse_Image(TImage_Model& Image, const TTarget_Catalogue& Catalogue,
                   const TMeasure_Settings& Settings);
bool Analyse_Image(TImage_Model& Image, const TTarget_Catalogue& Catalogue, const TSettings& Settings);

// The step every caller takes for one file: Open_File on a fresh model, then, when the
// image is plate-solved, Analyse_Image. Reader findings go to Messages; an error that stops
// the reading or the measurement is thrown (TKorvane_Error) and leaves Image as far as it
// got. A pointing solution the analysis refused is shown through Messages (WCS_Note). True
// when the analysis ended with Measured. Opened, when given, runs once the file is
// read and before the analysis (a window shows its picture there, so that the picture stands
// even when the analysis fails); false from it ends the step there. Solve, when given, is
// asked to plate-solve an image that is not plate-solved, or whose pointing solution the
// analysis refused (TImage_Model::Apply_Solution); when it returns true the image is
// analysed with the solution.
bool Open_And_Analyse(TImage_Model& Image, const std::string& Path, const TTarget_Catalogue& Catalogue,
                      const TMeasure_Settings& Settings, TMessages& Messages,
                      const TOpen_Options& Options = {}, const std::function<bool()>& Opened = {},
                      const std::function<bool(TImage_Model&)>& Solve = {});
