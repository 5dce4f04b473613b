// Settings file reader: any bytes give values (a damaged line its default), never a crash.
// What is read writes back and reads again to the same text. The same bytes go through the
// file reader too, which reads at most the first MiB: within it, both readers agree; past
// it, a file read that succeeds gives what the whole text gives. Inputs grow by repeated
// slices past that limit.

#include "settings/Settings.h"
#include "text/Messages.h"

#include "Fuzz_Support.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr size_t Read_Limit = 1024 * 1024;

struct TRead_Result {
  TSettings Settings = Initial_Settings();
  bool Failed = false;
};

template <class Read> TRead_Result Run_Read(Read Do_Read) {
  TRead_Result Result;
  try {
    Do_Read(Result.Settings);
  } catch (const TKorvane_Error&) {
    // A damaged file: the values read before the fault stay.
    Result.Failed = true;
  }
  return Result;
}

} // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* Data, size_t Size, size_t Max_Size, unsigned int Seed) {
  return Grow_Or_Mutate(Data, Size, Max_Size, Seed, 1, 32);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Content(reinterpret_cast<const char*>(Data), Size);
  const TRead_Result Text = Run_Read([&](TSettings& S) { Read_Settings(Content, S); });
  if (Text.Settings.Scale_Index < 0 || Text.Settings.Scale_Index > 14)
    std::abort();
  const std::string First = Settings_Text(Text.Settings);

  if (const TScratch_File Scratch(Data, Size, ".ini"); Scratch.Written()) {
    const TRead_Result File = Run_Read([&](TSettings& S) {
      if (!Read_Settings_File(Scratch.Path(), S))
        std::abort(); // the file is there
    });
    const bool Same = File.Failed == Text.Failed && Settings_Text(File.Settings) == First;
    if (Size <= Read_Limit ? !Same : !File.Failed && !Same)
      std::abort();
  }

  TSettings Again = Initial_Settings();
  try {
    Read_Settings(First, Again);
  } catch (const TKorvane_Error&) {
    std::abort(); // a file we wrote must read back
  }
  if (Settings_Text(Again) != First)
    std::abort();
  return 0;
}
