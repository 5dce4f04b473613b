#include "image/Fits_Data.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

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

size_t Sample_Bytes(int Bitpix) {
  switch (Bitpix) {
  case 8:
    return 1;
  case 16:
    return 2;
  case 32:
  case -32:
    return 4;
  case -64:
    return 8;
  default:
    return 0;
  }
}

namespace {

template <class TWord> TWord Load_Big_Endian(const unsigned char* In) {
  TWord w;
  std::memcpy(&w, In, sizeof w);
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof w == 2)
      w = __builtin_bswap16(w);
    else if constexpr (sizeof w == 4)
      w = __builtin_bswap32(w);
    else
      w = __builtin_bswap64(w);
  }
  return w;
}

// Stored words of type TWord read as TSample (the bit pattern of a signed or floating type),
// then scaled. Without scaling a float sample is copied as it is, bit for bit.
template <class TWord, class TSample>
void Convert_As(const unsigned char* In, size_t Count, const TData_Layout& L, float* Out) {
  const double Scale = L.Scale, Zero = L.Zero;
  const auto Sample_At = [In](size_t i) {
    return std::bit_cast<TSample>(Load_Big_Endian<TWord>(In + i * sizeof(TWord)));
  };
  if (!std::is_integral_v<TSample> && Scale == 1.0 && Zero == 0.0) {
    for (size_t i = 0; i < Count; ++i)
      Out[i] = static_cast<float>(Sample_At(i));
  } else if (std::is_same_v<TSample, int16_t>) {
    // Exact in single precision: a 16-bit sample and the usual whole BZERO.
    const auto Scale_f = static_cast<float>(Scale), Zero_f = static_cast<float>(Zero);
    if (Scale_f == Scale && Zero_f == Zero && Scale == 1.0)
      for (size_t i = 0; i < Count; ++i)
        Out[i] = static_cast<float>(Sample_At(i)) + Zero_f;
    else
      for (size_t i = 0; i < Count; ++i)
        Out[i] = static_cast<float>(Zero + Scale * static_cast<double>(Sample_At(i)));
  } else {
    for (size_t i = 0; i < Count; ++i)
      Out[i] = static_cast<float>(Zero + Scale * static_cast<double>(Sample_At(i)));
  }
  if constexpr (std::is_integral_v<TSample>)
    if (L.Has_Blank)
      for (size_t i = 0; i < Count; ++i)
        if (std::bit_cast<TSample>(Load_Big_Endian<TWord>(In + i * sizeof(TWord))) == L.Blank)
          Out[i] = std::numeric_limits<float>::quiet_NaN();
}

} // namespace

void Convert_Samples(const unsigned char* Stored, size_t Count, const TData_Layout& Layout, float* Into) {
  switch (Layout.Bitpix) {
  case 8:
    for (size_t i = 0; i < Count; ++i)
      Into[i] = Layout.Has_Blank && Stored[i] == Layout.Blank
                    ? std::numeric_limits<float>::quiet_NaN()
                    : static_cast<float>(Layout.Zero + Layout.Scale * Stored[i]);
    return;
  case 16:
    return Convert_As<uint16_t, int16_t>(Stored, Count, Layout, Into);
  case 32:
    return Convert_As<uint32_t, int32_t>(Stored, Count, Layout, Into);
  case -32:
    return Convert_As<uint32_t, float>(Stored, Count, Layout, Into);
  case -64:
    return Convert_As<uint64_t, double>(Stored, Count, Layout, Into);
  default:
    return;
  }
}

TData_Layout Signed_Words_Layout(const TData_Layout& Words) {
  TData_Layout Signed = Words;
  Signed.Physical = true;
  Signed.Bitpix = 16;
  Signed.Zero = Words.Zero_Offset;
  Signed.Scale = 1.0; // as for every 16-bit primary image, BSCALE is not applied
  return Signed;
}
