#include "photometry/Analysis.h"

#include "photometry/Photometry.h"
#include "sky/Sky.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {
constexpr double No_Distance = 99999.0;
}

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

bool Open_And_Analyse(TImage_Model& Image, const std::string& Path, const TTarget_Catalogue& Catalogue,
                      const TMeasure_Settings& Settings, TMessages& Messages, const TOpen_Options& Options,
                      const std::function<bool()>& Opened) {
  Image.Open_File(Path, Messages, Options);
  if (Opened && !Opened())
    return false;
  return Image.Plate_Solved && Analyse_Image(Image, Catalogue, Settings);
}
