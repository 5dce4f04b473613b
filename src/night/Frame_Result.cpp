#include "night/Frame_Result.h"

#include "image/Result_Code.h"
#include "photometry/Analysis.h"
#include "photometry/Photometry.h"

TMeasure_Result Measure_File(const std::string& Path, const TTarget_Catalogue& Catalogue,
                             const TSettings& Settings, TMessages& Messages, const TOpen_Options& Options,
                             const std::function<bool(TImage_Model&)>& Solve) {
  TMeasure_Result R;
  R.File = Path;
  try {
    Open_And_Analyse(R.Image, Path, Catalogue, Measure_Settings_Of(Settings), Messages, Options, {}, Solve);
  } catch (const std::exception& E) {
    // A reader or measurement error, or memory for an absurd image size: this file is lost,
    // the next one is measured.
    R.Failed = true;
    R.Error = E.what();
    if (R.Error.empty())
      R.Error = "unknown error";
  }
  if (const std::string Note = R.Image.Distortion_Note(); !Note.empty())
    Messages.Show("note: " + Note);
  // Said whatever the state: the results stand as computed, the observer decides.
  if (const std::string Warning = Saturation_Warning(R.Image); !Warning.empty())
    Messages.Show("warning: " + Warning);
  if (const std::string Warning = Check_Star_Warning(R.Image); !Warning.empty())
    Messages.Show("warning: " + Warning);
  // Only the results travel on: the pixels are released before the next file is opened.
  R.Image.Image_Array = TImageArray();
  return R;
}

bool Is_Measured(const TMeasure_Result& Result) {
  return !Result.Failed && Result.Image.Last_Error == TResult_Code::Measured;
}

std::string State_Text(const TMeasure_Result& R) {
  if (R.Failed)
    return "error: " + R.Error;
  switch (R.Image.Last_Error) {
  case TResult_Code::Measured:
    return R.Image.Outburst ? "Outburst" : "Quiescent";
  case TResult_Code::Not_Measured:
    return "Not measured";
  default:
    return Result_Code_Text(R.Image.Last_Error);
  }
}
