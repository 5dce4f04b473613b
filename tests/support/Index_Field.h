#pragma once
// Star fields of real stars, for tests and benchmarks that run the plate solver: the
// Tycho-2 stars of the installed astrometry.net index around a position, read with the
// index's own query tool, rendered by the star-field generator so that the solver really
// solves the field.

#include "support/Star_Field.h"

#include <string>
#include <vector>

struct TIndex_Star {
  double RA = 0.0;  // degrees
  double Dec = 0.0; // degrees
  double Mag = 0.0; // Tycho VT
};

// The index file the tests read their stars from (astrometry-data-tycho2-10-19).
extern const char* const Test_Index_File;

// The stars of Test_Index_File within Radius degrees of (RA, Dec), by query-starkd.
// Throws std::runtime_error naming the package to install when the tool or the file is missing.
std::vector<TIndex_Star> Index_Stars(double RA, double Dec, double Radius);

// A Size x Size field centred on (RA, Dec) at Scale arc seconds per pixel, north up, holding
// Stars (a star of VT 8 has 200000 ADU), without world coordinates.
TStar_Field_Description Index_Field(const std::vector<TIndex_Star>& Stars, int Size, double RA, double Dec,
                                    double Scale);

// A row of a target file for a variable and its comparison star, positions as degrees.
std::string Target_Row(const std::string& Name, const TIndex_Star& Variable, const TIndex_Star& Comparison,
                       double Threshold);
