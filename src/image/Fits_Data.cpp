#include "image/Fits_Data.h"

#include <algorithm>
#include <bit>

bool Convert_Words(uint16_t* Words, size_t Count, uint16_t Zero_Offset) {
  const auto Swap = [](uint16_t w) {
    if constexpr (std::endian::native == std::endian::little)
      w = static_cast<uint16_t>((w << 8) | (w >> 8));
    return w;
  };
  // Fixed-length groups so that the compiler vectorises the body at every optimisation level.
  constexpr size_t Group = 32;
  if (Zero_Offset == 32768) {
    // The usual unsigned image: every stored word gives a value in range.
    size_t i = 0;
    for (; i + Group <= Count; i += Group)
      for (size_t j = 0; j < Group; ++j)
        Words[i + j] = static_cast<uint16_t>(Swap(Words[i + j]) + Zero_Offset);
    for (; i < Count; ++i)
      Words[i] = static_cast<uint16_t>(Swap(Words[i]) + Zero_Offset);
    return true;
  }
  int16_t Low = INT16_MAX, High = INT16_MIN;
  const auto Convert = [&](uint16_t& Word) {
    const uint16_t w = Swap(Word);
    const auto Signed = static_cast<int16_t>(w);
    Low = std::min(Low, Signed);
    High = std::max(High, Signed);
    Word = static_cast<uint16_t>(w + Zero_Offset);
  };
  size_t i = 0;
  for (; i + Group <= Count; i += Group)
    for (size_t j = 0; j < Group; ++j)
      Convert(Words[i + j]);
  for (; i < Count; ++i)
    Convert(Words[i]);
  return Count == 0 || (Low + int32_t{Zero_Offset} >= 0 && High + int32_t{Zero_Offset} <= 65535);
}

std::string Pixel_Range_Text(uint16_t Zero_Offset) {
  if (Zero_Offset == 0)
    return "the image holds negative pixel values (a signed image without BZERO, as after sky or dark "
           "subtraction); only values 0 to 65535 can be measured";
  return "the image holds pixel values outside 0 to 65535 with BZERO " + std::to_string(Zero_Offset) +
         "; only values 0 to 65535 can be measured";
}
