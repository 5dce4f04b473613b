#include "text/Text_Encoding.h"

namespace {

void Append_Latin1(std::string& Out, unsigned char Byte) {
  if (Byte < 0x80) {
    Out += static_cast<char>(Byte);
  } else {
    Out += static_cast<char>(0xC0 | (Byte >> 6));
    Out += static_cast<char>(0x80 | (Byte & 0x3F));
  }
}

} // namespace

size_t Utf8_Sequence_Length(std::string_view Text, size_t i) {
  const auto Byte = [&](size_t k) { return static_cast<unsigned char>(Text[k]); };
  const unsigned char Lead = Byte(i);
  size_t Length;
  unsigned char Low = 0x80, High = 0xBF; // range of the second byte
  if (Lead >= 0xC2 && Lead <= 0xDF)
    Length = 2;
  else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3;
    if (Lead == 0xE0)
      Low = 0xA0; // no overlong forms
    else if (Lead == 0xED)
      High = 0x9F; // no surrogates
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4;
    if (Lead == 0xF0)
      Low = 0x90;
    else if (Lead == 0xF4)
      High = 0x8F; // nothing above U+10FFFF
  } else
    return 0;
  if (i + Length > Text.size())
    return 0;
  if (Byte(i + 1) < Low || Byte(i + 1) > High)
    return 0;
  for (size_t k = 2; k < Length; ++k)
    if (Byte(i + k) < 0x80 || Byte(i + k) > 0xBF)
      return 0;
  return Length;
}

size_t Character_Length(std::string_view Text, size_t i) {
  const size_t Length = Utf8_Sequence_Length(Text, i);
  return Length > 0 ? Length : 1;
}

char32_t Code_Point(std::string_view Text, size_t i, size_t Length) {
  const auto Lead = static_cast<unsigned char>(Text[i]);
  if (Length <= 1)
    return Lead;
  char32_t Code = Lead & (Length == 2 ? 0x1F : Length == 3 ? 0x0F : 0x07);
  for (size_t k = 1; k < Length; ++k)
    Code = (Code << 6) | (static_cast<unsigned char>(Text[i + k]) & 0x3F);
  return Code;
}

std::string To_UTF8(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (size_t i = 0; i < Text.size();) {
    const auto Byte = static_cast<unsigned char>(Text[i]);
    if (Byte < 0x80) {
      Out += Text[i++];
    } else if (const size_t Length = Utf8_Sequence_Length(Text, i); Length > 0) {
      Out.append(Text.substr(i, Length));
      i += Length;
    } else {
      Append_Latin1(Out, Byte);
      ++i;
    }
  }
  return Out;
}

std::string Latin1_To_UTF8(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (char c : Text)
    Append_Latin1(Out, static_cast<unsigned char>(c));
  return Out;
}
