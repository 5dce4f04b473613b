#include "photometry/Analysis.h"

#include "image/Fits_Data.h"
#include "photometry/Photometry.h"
#include "sky/Sky.h"
#include "text/Number_Format.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {
constexpr double No_Distance = 99999.0;

// A solution that may be only the mount's pointing is trusted when the comparison star is
// found where it says: a clear star, its centroid this close to the predicted position.
constexpr double Pointing_Tolerance = 3.0; // pixels
constexpr double Clear_Star_SNR = 10.0;

// Why the comparison star, recentred from where the marks put it, does not confirm the
// image's world coordinates; empty when it does.
std::string Pointing_Check(const TImage_Model& Image, const TMeasure_Settings& Settings) {
  Check_Measure_Settings(Settings);
  const double X = Image.ReferenceX, Y = Image.ReferenceY;
  const TStar_Measurement Star = Measure_One_Star(Image, Settings.Aperture, true, X, Y);
  const std::string Where = "the comparison star " + Image.ReferenceName + " at column " +
                            Format_Fixed(X, 0, 1, '.') + ", row " + Format_Fixed(Y, 0, 1, '.');
  const std::string Layout = Image.Solved_Here
                                 ? "the plate solution may be wrong: "
                                 : "the world coordinates are given as CDELT with CROTA2 or PC, "
                                   "which may be only the telescope's pointing, and ";
  if (!Star.Measured)
    return Layout + Where + " cannot be measured: the image is taken as not plate-solved";
  const double Off = std::hypot(Star.X - X, Star.Y - Y);
  const double SNR = Signal_To_Noise(Star, Settings.Camera, Image.Exposure);
  if (SNR >= Clear_Star_SNR && Off <= Pointing_Tolerance)
    return {};
  if (SNR < Clear_Star_SNR)
    return Layout + "no clear star was found at " + Where + " (signal-to-noise " +
           Format_Fixed(SNR, 0, 1, '.') + "): the image is taken as not plate-solved";
  return Layout + "the nearest clear star to " + Where + " lies " + Format_Fixed(Off, 0, 1, '.') +
         " pixels away: the image is taken as not plate-solved";
}
} // namespace

int Nearest_Target(const TTarget_Catalogue& Catalogue, double RA0, double Dec0, bool& Found) {
  // A plain Euclidean distance in degrees of RA and Dec: no cos(Dec), no wrap at 0 h.
  double Best_Distance = No_Distance;
  int Best = 0;
  Found = false;
  const int Count = std::min(Catalogue.NTargets, Max_Targets);
  for (int i = 0; i < Count; ++i) {
    const TTargetData& T = Catalogue.Targets[static_cast<size_t>(i)];
    const double dRA = 15.0 * T.RA - RA0;
    const double dDec = T.Dec - Dec0;
    const double Distance = std::sqrt(dRA * dRA + dDec * dDec);
    if (Distance < Best_Distance) { // strict: the first of equals wins
      Best_Distance = Distance;
      Best = i;
      Found = true;
    }
  }
  return Best;
}

void Air_Mass_From_Site(TImage_Model& Image, double RA_Hours, double Dec) {
  if (Image.AirMass_From == "AIRMASS")
    return;
  Image.AirMass_From.clear();
  if (!Image.Site || Image.Time_From.empty())
    return;
  const double Altitude =
      Altitude_Degrees(Image.JD, 15.0 * RA_Hours, Dec, Image.Site->Latitude, Image.Site->East_Longitude);
  if (const std::optional<double> Air_Mass = Air_Mass_At(Altitude)) {
    Image.AirMass = *Air_Mass;
    Image.AirMass_From = "site";
  }
}

bool Analyse_Image(TImage_Model& Image, const TTarget_Catalogue& Catalogue, const TSettings& Settings) {
  return Analyse_Image(Image, Catalogue, Measure_Settings_Of(Settings));
}

bool Analyse_Image(TImage_Model& Image, const TTarget_Catalogue& Catalogue,
                   const TMeasure_Settings& Settings) {
  Image.Has_Measurement = false;
  Image.Has_Check = false;
  Image.Check_Marked = false;
  Image.Saturated.clear();
  if (!Image.Plate_Solved) {
    Image.Last_Error = TResult_Code::Not_Plate_Solved;
    return false;
  }
  if (Catalogue.NTargets <= 0)
    return false;

  const TWCSRecord& W = Image.WCS1;
  const double RA0 = W.coorflip ? W.crval[1] : W.crval[0];
  const double Dec0 = W.coorflip ? W.crval[0] : W.crval[1];
  bool Found = false;
  const TTargetData& T = Catalogue.Targets[static_cast<size_t>(Nearest_Target(Catalogue, RA0, Dec0, Found))];

  // Only when nothing lies closer than the starting distance is entry 1 marked, unnamed.
  Mark_Object(Image, TSkyPosition{T.RA, T.Dec}, Found ? T.Name : std::string());
  // The variable's own position: the air mass of the observation is the variable's.
  Air_Mass_From_Site(Image, T.RA, T.Dec);
  if (T.RName.empty()) {
    Image.Last_Error = TResult_Code::No_Data;
    return false;
  }
  Image.ChartName = T.ChartName;
  Mark_Reference(Image, TSkyPosition{T.RRA, T.RDec}, T.RName, T.Rmag, T.RFilter);
  if (!T.KName.empty())
    Mark_Check(Image, TSkyPosition{T.KRA, T.KDec}, T.KName, T.Kmag);

  if (Image.Pointing_WCS || Image.Solved_Here) {
    const std::string Why = Pointing_Check(Image, Settings);
    if (!Why.empty()) {
      Image.WCS_Note = Why;
      Image.Plate_Solved = false;
      Image.Object_Marked = Image.Reference_Marked = Image.Check_Marked = false;
      Image.Last_Error = TResult_Code::Not_Plate_Solved;
      return false;
    }
  }

  if (!Measure_Magnitude(Image, Settings)) {
    Image.Outburst = false;
    return false;
  }
  Image.Threshold = T.Threshold;
  // A limit says only that the star is fainter: never an outburst. At the threshold: quiescent.
  Image.Outburst = Image.Less_Than == 0 && Image.Magnitude < T.Threshold;
  Image.Has_Measurement = Image.Last_Error == TResult_Code::Measured;
  return true;
}

namespace {

bool Open_And_Analyse_Once(TImage_Model& Image, const std::string& Path, const TTarget_Catalogue& Catalogue,
                           const TMeasure_Settings& Settings, TMessages& Messages,
                           const TOpen_Options& Options, const std::function<bool()>& Opened,
                           const std::function<bool(TImage_Model&)>& Solve) {
  Image.Open_File(Path, Messages, Options);
  if (Opened && !Opened())
    return false;
  const bool Solve_First = !Image.Plate_Solved;
  if (Solve_First && !(Solve && Solve(Image)))
    return false;
  bool Measured = Analyse_Image(Image, Catalogue, Settings);
  if (!Image.Plate_Solved && !Image.WCS_Note.empty()) {
    Messages.Show(Image.WCS_Note);
    // A pointing solution the comparison star did not confirm: solved from the stars instead.
    if (!Solve_First && Solve && Solve(Image)) {
      Measured = Analyse_Image(Image, Catalogue, Settings);
      if (!Image.Plate_Solved && !Image.WCS_Note.empty())
        Messages.Show(Image.WCS_Note);
    }
  }
  return Measured;
}

} // namespace

bool Open_And_Analyse(TImage_Model& Image, const std::string& Path, const TTarget_Catalogue& Catalogue,
                      const TMeasure_Settings& Settings, TMessages& Messages, const TOpen_Options& Options,
                      const std::function<bool()>& Opened, const std::function<bool(TImage_Model&)>& Solve) {
  if (Options.Pixels_On_Demand) {
    // Read on demand, 16-bit words whose values do not fit 16-bit pixels show only once they
    // are measured: the image is then read again whole, as physical values.
    try {
      return Open_And_Analyse_Once(Image, Path, Catalogue, Settings, Messages, Options, Opened, Solve);
    } catch (const TPixel_Range_Error&) {
      TOpen_Options Whole = Options;
      Whole.Pixels_On_Demand = false;
      return Open_And_Analyse_Once(Image, Path, Catalogue, Settings, Messages, Whole, Opened, Solve);
    }
  }
  return Open_And_Analyse_Once(Image, Path, Catalogue, Settings, Messages, Options, Opened, Solve);
}
