#include "support/Index_Field.h"

#include "support/Run_Program.h"
#include "support/Test_Files.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

const char* const Test_Index_File = "/usr/share/astrometry/index-tycho2-10.littleendian.fits";

std::vector<TIndex_Star> Index_Stars(double RA, double Dec, double Radius) {
  if (!std::filesystem::exists(Test_Index_File))
    throw std::runtime_error(std::string(Test_Index_File) +
                             " is missing: apt install astrometry-data-tycho2-10-19 (scripts/install-deps)");
  const TScratch_Folder Scratch("korvane-index");
  const auto Text = [](double V) {
    char B[32];
    std::snprintf(B, sizeof B, "%.6f", V);
    return std::string(B);
  };
  const TProgram_Run Run = Run_Program(
      {"query-starkd", "-r", Text(RA), "-d", Text(Dec), "-R", Text(Radius), "-T", Test_Index_File},
      {"PATH=/usr/bin:/bin"}, Scratch.Folder, Scratch.Folder, 60);
  if (Run.Status != 0)
    throw std::runtime_error("query-starkd failed (apt install astrometry.net): " + Run.Err);
  // Lines "RA, Dec, MAG_VT" after a "#" title.
  std::vector<TIndex_Star> Stars;
  for (const std::string& Line : Run.Out_Lines()) {
    TIndex_Star S;
    if (std::sscanf(Line.c_str(), "%lf, %lf, %lf", &S.RA, &S.Dec, &S.Mag) == 3)
      Stars.push_back(S);
  }
  return Stars;
}

TStar_Field_Description Index_Field(const std::vector<TIndex_Star>& Stars, int Size, double RA, double Dec,
                                    double Scale) {
  TStar_Field_Description D = Centred_Field(Size, Size, RA, Dec);
  D.CD[0] = -Scale / 3600.0;
  D.CD[3] = Scale / 3600.0;
  D.Cdelt[0] = -Scale / 3600.0;
  D.Cdelt[1] = Scale / 3600.0;
  D.Write_WCS = false;
  for (const TIndex_Star& S : Stars)
    D.Stars.push_back(Sky_Star(S.RA / 15.0, S.Dec, 200000.0 * std::pow(10.0, -0.4 * (S.Mag - 8.0))));
  return D;
}

namespace {
// Degrees (of hours for RA) as "D,M,S" columns.
std::string Sexagesimal(double Value) {
  const double A = std::abs(Value);
  const int D = static_cast<int>(A);
  const int M = static_cast<int>((A - D) * 60.0);
  const double S = (A - D - M / 60.0) * 3600.0;
  char B[64];
  std::snprintf(B, sizeof B, "%s%d,%d,%.5f", Value < 0.0 ? "-" : "", D, M, S);
  return B;
}
} // namespace

std::string Target_Row(const std::string& Name, const TIndex_Star& Variable, const TIndex_Star& Comparison,
                       double Threshold) {
  std::ostringstream Row;
  Row << Name << ',' << Sexagesimal(Variable.RA / 15.0) << ',' << Sexagesimal(Variable.Dec) << ',' << Name
      << " C1," << Sexagesimal(Comparison.RA / 15.0) << ',' << Sexagesimal(Comparison.Dec) << ",V,"
      << Comparison.Mag << ',' << Threshold << ",X0001SV";
  return Row.str();
}
