// Target file loader: any bytes load entries or end with a clear error, never a crash.
// The first byte picks the decimal separator, so that both a point and a comma are tried.

#include "catalogue/Target_Data.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0)
    return 0;
  const TNumber_Format Format{(Data[0] & 1) ? ',' : '.'};
  const std::string_view Content(reinterpret_cast<const char*>(Data + 1), Size - 1);
  static TTarget_Catalogue Catalogue; // large: kept out of the stack
  Catalogue = TTarget_Catalogue{};
  try {
    Load_Targets_From_Text(Content, Catalogue, Format);
  } catch (const TKorvane_Error&) {
    // A field that does not convert: the entries before it stay loaded.
  }
  if (Catalogue.NTargets < 0 || Catalogue.NTargets > Max_Targets)
    std::abort();
  for (int i = 0; i < Catalogue.NTargets; ++i) {
    const TTargetData& T = Catalogue.Targets[static_cast<size_t>(i)];
    if (T.Name.empty() || !std::isfinite(T.RA) || !std::isfinite(T.Dec) || !std::isfinite(T.RRA) ||
        !std::isfinite(T.RDec) || !std::isfinite(T.Rmag) || !std::isfinite(T.Threshold))
      std::abort();
    if (T.RName.empty() && (T.RRA != 0 || T.RDec != 0 || T.Rmag != 0 || !T.ChartName.empty()))
      std::abort();
  }
  return 0;
}
