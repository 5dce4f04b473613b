#pragma once
// Display arithmetic of an image window: histogram, automatic stretch, grey fill of the
// 24-bit display bitmap, the scale table and its inverse for the mouse read-out, the
// stretch drag and the read-out texts. Pure functions: the window calls them and keeps
// the results in its model; nothing here knows about windows.

#include "image/Image_Model.h"
#include "settings/Settings.h"
#include "text/Number_Format.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The linear stretch: values at or below BlackPoint are black, values from about half a
// grey step below WhitePoint upward are white.
struct TStretch {
  uint16_t BlackPoint = 0;
  uint16_t WhitePoint = 0;
  bool operator==(const TStretch&) const = default;
};

// Threads: 0 chooses automatically (the machine's cores, at most 8, and a single thread
// for small images); any other value is used as given, but never more than one per row.
// The result does not depend on the number of threads. Both walk the array's block, so an
// on-demand array is refused with TKorvane_Error.

// A floating-point image is displayed through 65536 display codes, which then take the place
// of the 16-bit values everywhere below (histogram, stretch, grey table, drag): code c stands
// for the value Low + c x Step. Values within 0..65535 spanning at least 256 keep their own
// number (Low 0, Step 1), so such a frame looks as its 16-bit version does; another range of
// 256 to 65535 starts at its lowest whole value with Step 1; a narrower or wider range is
// spread over the codes. A value is given the nearest code within 0..65535; a blank (NaN)
// pixel code 0. A 16-bit image: Low 0, Step 1.
struct TDisplay_Codes {
  double Low = 0.0;
  double Step = 1.0;
  uint16_t Code_Of(float Value) const {
    const double c = (static_cast<double>(Value) - Low) / Step + 0.5;
    if (!(c >= 0.0))
      return 0;
    return c >= 65535.0 ? uint16_t{65535} : static_cast<uint16_t>(c);
  }
  double Value_Of(uint16_t Code) const { return Low + Step * Code; }
};
TDisplay_Codes Display_Codes(const TImageArray& Image);

// 65536 counts: entry v is the number of pixels of value (display code) v. The counts cannot
// overflow, since the model's sides are 16-bit and 65535 x 65535 fits 32 bits.
std::vector<uint32_t> Build_Histogram(const TImageArray& Image, unsigned Threads = 0);

// The automatic stretch from a histogram of N pixels: the black point is the value of the
// (N div 50 + 1)-th darkest pixel, the white point that of the (N div 400 + 1)-th
// brightest. When the black point is not below the white point (a nearly uniform image),
// both are placed 100 either side of their middle, within 0..65535.
// Throws TKorvane_Error for a histogram without 65536 entries or without any pixel.
TStretch Automatic_Stretch(const std::vector<uint32_t>& Histogram);

// The grey of every value 0..65535 under Stretch: range := W - B when W > B, else 10;
// g := ((v - B) x 256) / range, the product in integers, the division in floating point;
// g below 0 gives 0, above 255 gives 255; the grey is the integer part of g + 0.5.
std::vector<uint8_t> Grey_Table(TStretch Stretch);

// Fills the display bitmap: row y of Bitmap (starting at y x Row_Stride) receives, for
// each column x, three equal bytes (blue, green, red) at offset 3x holding the grey of
// Image[y][x] (of its display code for a floating-point image). Bytes past 3 x Columns of a row (padding) are
// left untouched. Throws TKorvane_Error when Row_Stride is shorter than a row or Bitmap too small for the
// image.
void Fill_Grey(const TImageArray& Image, TStretch Stretch, std::span<uint8_t> Bitmap, size_t Row_Stride,
               unsigned Threads = 0);

// Scale indices (Smallest_Scale_Index .. Largest_Scale_Index of the settings): an index
// outside that range (such as -1 before the first scaling) is treated as the nearest valid one.

// The client width (or height) that shows an image side of Size pixels at Scale_Index:
// Size div (8 - i) for i up to 6, Size x (i - 6) from 7 on.
int64_t Scaled_Length(int32_t Scale_Index, uint32_t Size);

// The client width (or height) of the window that shows an image side of Size pixels at
// Scale_Index: Scaled_Length kept within 1..32767, the sides a window may take.
int32_t Window_Side(int32_t Scale_Index, uint32_t Size);

// The image column (or row) under client coordinate Client at Scale_Index: Client x (8 - i)
// for i below 7, Client div (i - 6) from 7 on, then kept within 0..Size - 1 (0 when Size
// is 0), so that a pointer beyond the picture reads its nearest edge.
uint32_t Client_To_Pixel(int32_t Scale_Index, int32_t Client, uint32_t Size);

// The stretch after a Shift-drag of (Dx, Dy) client pixels from the press that captured
// Start. Nothing (no update) when neither Dx nor Dy is a multiple of 5. Down raises the
// level, up lowers it; right narrows the black-to-white width, left widens it; 200 pixels
// change either by a factor 2. The black point is at least 10 and the white point at most
// 65000; values that would not fit 16 bits are held at 65535 (black) and 0 (white).
std::optional<TStretch> Drag_Stretch(TStretch Start, int64_t Dx, int64_t Dy);

// Read-out texts of the main window's panels.
std::string Location_Text(uint32_t Column, uint32_t Row); // "(px,py)"
std::string Pixel_Text(uint16_t Value);                   // "I=v"
std::string Black_Point_Text(uint16_t BlackPoint);        // "BP=v"
std::string White_Point_Text(uint16_t WhitePoint);        // "WP=v"
// The same for either kind of image: the pixel's value as stored (the physical value of a
// floating-point image, up to seven significant digits, "I=NaN" for a blank pixel) and the
// values the stretch's display codes stand for. For a 16-bit image the texts above.
std::string Pixel_Text(const TImageArray& Image, uint32_t Column, uint32_t Row);
std::string Black_Point_Text(const TImageArray& Image, uint16_t BlackPoint);
std::string White_Point_Text(const TImageArray& Image, uint16_t WhitePoint);
// A sky background in ADU per pixel: one decimal, at least five characters (blank-padded
// on the left), then " ADUs".
std::string Background_Text(double Adu, const TNumber_Format& Format);
// "RA = hh:mm:ss.ss, Dec = [-]d:m:s.ss" from right ascension and declination in degrees:
// hours and minutes of right ascension blank-padded to two characters, the declination's
// degrees and minutes as they are, seconds with two decimals (rounded, not carried, so
// 59.996 shows as 60.00). The minus sign follows the sign of the declination, also when
// its whole degrees are 0. Empty when either angle is not finite or beyond 1e15 degrees.
std::string Sky_Position_Text(double Ra_Degrees, double Dec_Degrees, const TNumber_Format& Format);
