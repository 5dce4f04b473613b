// Target file loader: any bytes load entries or end with a clear error, never a crash. The
// same bytes go through the file reader (Load_Targets on a scratch file, read in 64 KiB
// buffers) and through the in-memory reader, which must agree entry for entry and error
// for error. The first byte picks the decimal separator, so that a point and a comma are
// both tried. Inputs grow by repeated slices past 200 entries, past one read buffer and
// past the 64 KiB line limit.

#include "catalogue/Target_Data.h"

#include "Fuzz_Support.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

// The outcome of one load: the panel text, or the error's message.
struct TLoad_Result {
  std::optional<std::string> Panel_Text;
  std::string Error;
};

template <class Load> TLoad_Result Run_Load(Load Do_Load) {
  TLoad_Result Result;
  try {
    Result.Panel_Text = Do_Load().Panel_Text;
  } catch (const TKorvane_Error& E) {
    Result.Error = E.what();
  }
  return Result;
}

bool Same_Entry(const TTargetData& A, const TTargetData& B) {
  return A.Name == B.Name && A.RA == B.RA && A.Dec == B.Dec && A.RName == B.RName && A.RRA == B.RRA &&
         A.RDec == B.RDec && A.RFilter == B.RFilter && A.Rmag == B.Rmag && A.Threshold == B.Threshold &&
         A.ChartName == B.ChartName;
}

void Check_Entries(const TTarget_Catalogue& Catalogue) {
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
}

} // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* Data, size_t Size, size_t Max_Size, unsigned int Seed) {
  return Grow_Or_Mutate(Data, Size, Max_Size, Seed, 1, 32);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0)
    return 0;
  const TNumber_Format Format{(Data[0] & 1) ? ',' : '.'};
  const std::string_view Content(reinterpret_cast<const char*>(Data + 1), Size - 1);
  const TScratch_File Scratch(Content.data(), Content.size(), ".csv");
  if (!Scratch.Written())
    return 0;
  // Large: kept out of the stack.
  static TTarget_Catalogue From_File, From_Text;
  From_File = TTarget_Catalogue{};
  From_Text = TTarget_Catalogue{};
  TQuiet_Messages Messages;
  const TLoad_Result File_Result =
      Run_Load([&] { return Load_Targets(Scratch.Path(), From_File, Format, Messages); });
  const TLoad_Result Text_Result =
      Run_Load([&] { return Load_Targets_From_Text(Content, From_Text, Format); });

  Check_Entries(From_File);
  // Both readers say the same, except that the file reader names the file in the message
  // about a long line ("Line N of the target file PATH is longer than ...").
  std::string Expected_Error = Text_Result.Error;
  const std::string_view Place = " of the target file";
  if (Expected_Error.starts_with("Line "))
    if (const size_t At = Expected_Error.find(Place); At != std::string::npos)
      Expected_Error.insert(At + Place.size(), " " + Scratch.Path());
  if (File_Result.Panel_Text != Text_Result.Panel_Text || File_Result.Error != Expected_Error ||
      From_File.NTargets != From_Text.NTargets)
    std::abort();
  for (int i = 0; i < From_File.NTargets; ++i)
    if (!Same_Entry(From_File.Targets[static_cast<size_t>(i)], From_Text.Targets[static_cast<size_t>(i)]))
      std::abort();
  return 0;
}
