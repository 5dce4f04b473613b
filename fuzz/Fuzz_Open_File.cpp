// Feeds arbitrary bytes to the FITS reader as a file. Any crash, hang, sanitizer report or
// allocation beyond what the file holds is a bug; an abandoned open is a normal outcome.
// Inputs grow in whole 2880-byte records up to the header limit (ten thousand records)
// and to data of several read blocks.

#include "image/Image_Model.h"

#include "Fuzz_Support.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
constexpr size_t Record_Length = 2880;
} // namespace

// Small inputs grow more often than large ones: from a few records the limits are still far.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* Data, size_t Size, size_t Max_Size, unsigned int Seed) {
  return Grow_Or_Mutate(Data, Size, Max_Size, Seed, Record_Length, Size <= 4 * Record_Length ? 16 : 128);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const TScratch_File Scratch(Data, Size, ".fit");
  if (!Scratch.Written())
    return 0;
  TImage_Model Model;
  TQuiet_Messages Messages;
  try {
    Model.Open_File(Scratch.Path(), Messages);
    // A loaded image holds exactly the pixels the header promised.
    if (Model.Image_Array.Columns() != Model.XSize || Model.Image_Array.Rows() != Model.YSize)
      std::abort();
  } catch (const TKorvane_Error&) {
  }
  return 0;
}
