// Settings file reader: any bytes give values or "Invalid numeric input", never a crash.
// What is read writes back and reads again to the same text.

#include "settings/Settings.h"
#include "text/Messages.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Content(reinterpret_cast<const char*>(Data), Size);
  TSettings S = Initial_Settings();
  try {
    Read_Settings(Content, S);
  } catch (const TKorvane_Error&) {
    // A damaged file: the values read before the fault stay.
  }
  if (S.Scale_Index < 0 || S.Scale_Index > 14)
    std::abort();
  const std::string First = Settings_Text(S);
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
