#pragma once
// The data of a FITS image as its header describes them, and how stored samples become
// pixel values. Shared by the reader of whole images and the on-demand pixel source.

#include <cstddef>
#include <cstdint>
#include <string>

// What the header says of the data after it.
struct TData_Layout {
  uint64_t Start = 0;       // byte offset of the first pixel (of the plane read)
  uint16_t Zero_Offset = 0; // BZERO, added to every stored word (mod 65536): 16-bit images
  // Any other format: samples of Bitpix bits (8, 16, 32; -32 and -64 floating point), each
  // physical value Zero + Scale x stored, kept as a float.
  bool Physical = false;
  int Bitpix = 16;
  double Scale = 1.0, Zero = 0.0;
  // BLANK of integer samples: a sample of this stored value is a blank pixel (NaN).
  bool Has_Blank = false;
  int64_t Blank = 0;
};

// Converts Count stored big-endian words in place to pixel values, the zero offset added
// (mod 65536). False when a value (the stored word read as signed, plus the offset) lies
// outside 0..65535, which the pixel array cannot hold: a negative pixel of a signed image
// without BZERO, say; such an image is refused (Pixel_Range_Text), never measured wrapped.
bool Convert_Words(uint16_t* Words, size_t Count, uint16_t Zero_Offset);
std::string Pixel_Range_Text(uint16_t Zero_Offset);

// Bytes per stored sample for a BITPIX the reader takes (8, 16, 32, -32, -64); 0 for any other.
size_t Sample_Bytes(int Bitpix);

// Converts Count big-endian samples at Stored, laid out as Layout says (Physical), to physical
// values at Into, blank samples NaN. Stored and Into are either apart or, for samples of 4
// bytes, the same block (converted in place).
void Convert_Samples(const unsigned char* Stored, size_t Count, const TData_Layout& Layout, float* Into);
