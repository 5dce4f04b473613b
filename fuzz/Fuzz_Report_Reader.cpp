// Report reader: any bytes give observations and a count of skipped lines, never a crash.
// Every observation read has a positive finite date, a finite magnitude and an error that is
// unknown or not negative; every data line is read or counted, never both; the CSV has one
// row per observation.

#include "report/Report_Reader.h"

#include "Fuzz_Support.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* Data, size_t Size, size_t Max_Size, unsigned int Seed) {
  return Grow_Or_Mutate(Data, Size, Max_Size, Seed, 1, 32);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
  TReport_Folder Folder;
  Read_Report_Text(Text, "fuzz.txt", Folder);
  Sort_Report_Folder(Folder);
  if (Folder.Files_Read + Folder.Files_Passed_Over != 1)
    std::abort();
  const size_t Lines = static_cast<size_t>(std::count(Text.begin(), Text.end(), '\n')) + 1;
  size_t Observations = 0;
  for (const TTarget_History& Target : Folder.Targets) {
    if (Target.Observations.empty() || Find_Target(Folder, Target.Name) != &Target)
      std::abort();
    for (const TObservation& O : Target.Observations) {
      if (!(O.JD > 0.0) || !std::isfinite(O.JD) || !std::isfinite(O.Magnitude) || O.Error < 0.0 ||
          std::isinf(O.Error) || std::isinf(O.Comp_Mag))
        std::abort();
      (void)Observation_Text(O, ',');
    }
    if (!std::is_sorted(Target.Observations.begin(), Target.Observations.end(),
                        [](const TObservation& a, const TObservation& b) { return a.JD < b.JD; }))
      std::abort();
    const std::string CSV = Light_Curve_CSV(Target.Observations);
    if (static_cast<size_t>(std::count(CSV.begin(), CSV.end(), '\n')) != Target.Observations.size() + 1)
      std::abort();
    Observations += Target.Observations.size();
  }
  if (Observations + Folder.Skipped_Lines > Lines)
    std::abort();
  return 0;
}
