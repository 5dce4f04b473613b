#pragma once
// The data of a FITS image as its header describes them, and how stored samples become
// pixel values. Shared by the reader of whole images and the on-demand pixel source.

#include <cstddef>
#include <cstdint>
#include <string>

#include "text/Messages.h"

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
// outside 0..65535, which 16-bit pixels cannot hold: a negative pixel of a signed image
// without BZERO, say. Such an image is never measured wrapped: the readers throw
// TPixel_Range_Error (Pixel_Range_Text) and the image is read again as physical values.
bool Convert_Words(uint16_t* Words, size_t Count, uint16_t Zero_Offset);
std::string Pixel_Range_Text(uint16_t Zero_Offset);
class TPixel_Range_Error : public TKorvane_Error {
public:
  using TKorvane_Error::TKorvane_Error;
};

// The layout that reads a 16-bit image's words as signed physical values, its zero offset
// added, for an image whose values do not fit 16-bit pixels.
TData_Layout Signed_Words_Layout(const TData_Layout& Words);

// Bytes per stored sample for a BITPIX the reader takes (8, 16, 32, -32, -64); 0 for any other.
size_t Sample_Bytes(int Bitpix);

// Converts Count big-endian samples at Stored, laid out as Layout says (Physical), to physical
// values at Into, blank samples NaN. Stored and Into are either apart or, for samples of 4
// bytes, the same block (converted in place).
void Convert_Samples(const unsigned char* Stored, size_t Count, const TData_Layout& Layout, float* Into);
