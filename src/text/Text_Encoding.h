#pragma once
// 8-bit text of files written under other regional settings: UTF-8 where it is valid UTF-8,
// ISO 8859-1 byte by byte elsewhere.

#include <cstddef>
#include <string>
#include <string_view>

// Length (2 to 4) of the valid UTF-8 sequence starting at Text[i]; 0 for a byte below 0x80
// and for a byte that starts no valid sequence (overlong forms, surrogates and code points
// above U+10FFFF are not valid).
size_t Utf8_Sequence_Length(std::string_view Text, size_t i);

// Length of the character starting at Text[i] as To_UTF8 reads it: a valid UTF-8 sequence,
// else the one byte.
size_t Character_Length(std::string_view Text, size_t i);

// The code point of the character of Length bytes (Character_Length) at Text[i].
char32_t Code_Point(std::string_view Text, size_t i, size_t Length);

// Text as UTF-8: valid UTF-8 sequences are kept, every other byte is taken as ISO 8859-1.
std::string To_UTF8(std::string_view Text);

// ISO 8859-1 text as UTF-8, byte by byte.
std::string Latin1_To_UTF8(std::string_view Text);
