#pragma once
// What the fuzz targets share: a scratch file for the readers that take a path, a message
// sink that keeps nothing, and a mutation that makes an input much larger at once.

#include "text/Messages.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include <unistd.h>

extern "C" size_t LLVMFuzzerMutate(uint8_t* Data, size_t Size, size_t Max_Size);

// cfitsio loses a few bytes of a tile it cannot decompress (its own allocation, on its error
// path): not a leak of ours, so the leak checker passes over that library.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libcfitsio\n";
}

class TQuiet_Messages : public TMessages {
public:
  void Show(const std::string&) override {}
};

// The input of one run as a file, for the readers that take a path; removed at the end of
// the run, so that no input is left behind whatever way the fuzzer ends.
class TScratch_File {
public:
  TScratch_File(const void* Data, size_t Size, const char* Suffix) {
    const char* Folder = std::getenv("TMPDIR");
    Name = std::string(Folder && *Folder ? Folder : "/tmp") + "/korvane-fuzz-" + std::to_string(::getpid()) +
           Suffix;
    FILE* File = std::fopen(Name.c_str(), "wb");
    if (!File)
      return;
    const bool All = Size == 0 || std::fwrite(Data, 1, Size, File) == Size;
    Complete = std::fclose(File) == 0 && All;
  }
  ~TScratch_File() { std::remove(Name.c_str()); }
  TScratch_File(const TScratch_File&) = delete;
  TScratch_File& operator=(const TScratch_File&) = delete;

  // False when the file could not be written whole.
  bool Written() const { return Complete; }
  const std::string& Path() const { return Name; }

private:
  std::string Name;
  bool Complete = false;
};

// Repeats a slice of the input right after itself, as many times as fit or a random number
// of times. The byte mutations grow an input by a few bytes at a time and keep it only when
// it finds something new, so on their own they never reach the size limits of the readers
// (a 64 KiB line, ten thousand header records). Unit aligns the slice: 2880 keeps FITS
// records whole, 1 suits text.
inline size_t Repeat_Slice(uint8_t* Data, size_t Size, size_t Max_Size, std::minstd_rand& Rng, size_t Unit) {
  if (Unit == 0 || Size < Unit || Size >= Max_Size)
    return Size;
  const size_t Units = Size / Unit;
  const size_t First = Rng() % Units;
  const size_t Length = Unit * (1 + Rng() % std::min<size_t>(Units - First, Unit == 1 ? 256 : 4));
  const size_t Room = (Max_Size - Size) / Length;
  if (Room == 0)
    return Size;
  // Half the time as many copies as fit, to reach the limits; else a number spread evenly
  // over the orders of magnitude, mostly small, which is quick to run.
  const size_t Copies =
      Rng() % 2 ? Room
                : std::min(Room, static_cast<size_t>(std::exp2(std::uniform_real_distribution<double>(
                                     0.0, std::log2(static_cast<double>(Room) + 1.0))(Rng))));
  const size_t Begin = First * Unit;
  const size_t Tail = Begin + Length;
  std::memmove(Data + Tail + Copies * Length, Data + Tail, Size - Tail);
  for (size_t k = 1; k <= Copies; ++k)
    std::memcpy(Data + Begin + k * Length, Data + Begin, Length);
  return Size + Copies * Length;
}

// The custom mutation of the growing targets: one time in One_In a slice repeated, else the
// fuzzer's own mutations. Large inputs are slow to run, so the growth stays rare.
inline size_t Grow_Or_Mutate(uint8_t* Data, size_t Size, size_t Max_Size, unsigned int Seed, size_t Unit,
                             unsigned One_In) {
  std::minstd_rand Rng(Seed);
  if (Rng() % One_In == 0) {
    const size_t Grown = Repeat_Slice(Data, Size, Max_Size, Rng, Unit);
    if (Grown != Size)
      return Grown;
  }
  return LLVMFuzzerMutate(Data, Size, Max_Size);
}
