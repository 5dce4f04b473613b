#pragma once
// The data of a 16-bit FITS image as its header describes them, and how stored words become
// pixel values. Shared by the reader of whole images and the on-demand pixel source.

#include <cstddef>
#include <cstdint>
#include <string>

// What the header says of the data after it.
struct TData_Layout {
  uint64_t Start = 0;       // byte offset of the first pixel
  uint16_t Zero_Offset = 0; // BZERO, added to every stored word (mod 65536)
};

// Converts Count stored big-endian words in place to pixel values, the zero offset added
// (mod 65536). False when a value (the stored word read as signed, plus the offset) lies
// outside 0..65535, which the pixel array cannot hold: a negative pixel of a signed image
// without BZERO, say; such an image is refused (Pixel_Range_Text), never measured wrapped.
bool Convert_Words(uint16_t* Words, size_t Count, uint16_t Zero_Offset);
std::string Pixel_Range_Text(uint16_t Zero_Offset);
