#pragma once
// The pixel source of an image opened for headless measuring: each span of a row is read
// straight from its place in the file when a measurement first asks for it, so a night of
// large frames costs little more than their headers. Open_File hands it to the image array
// once the header has been read and checked; the window never uses it.

#include "image/Fits_Data.h"
#include "image/Image_Array.h"
#include "text/Input_File.h"

#include <cstdint>
#include <memory>

// Reads the pixels of File, laid out as Layout says in rows of Columns values, converting
// them as the whole-image reader does: 16-bit values, or floating-point ones when
// Layout.Physical. The file stays open while the source lives. A file cut since it was
// opened, or a 16-bit value outside 0..65535, throws TKorvane_Error naming it.
std::shared_ptr<TImageArray::TPixel_Reader> Pixels_From_File(TInput_File File, const TData_Layout& Layout,
                                                             uint32_t Columns);
