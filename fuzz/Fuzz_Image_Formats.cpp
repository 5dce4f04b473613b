// Feeds arbitrary bytes to the readers of the formats beyond 16 bits: other BITPIX values
// with BSCALE and BZERO, image extensions, cubes, tile-compressed images and gzip'ed files
// (cfitsio). Each input is opened whole and on demand, a plane chosen by its last byte;
// a loaded image is then walked as the window and the photometry walk it. Any crash, hang or
// sanitizer report is a bug; an abandoned open is a normal outcome.

#include "image/Display.h"
#include "image/Image_Model.h"

#include "Fuzz_Support.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const TScratch_File Scratch(Data, Size, ".fits");
  if (!Scratch.Written())
    return 0;
  TOpen_Options Options;
  Options.Plane = Size > 0 ? 1 + Data[Size - 1] % 4 : 1;
  for (const bool On_Demand : {false, true}) {
    TImage_Model Model;
    TQuiet_Messages Messages;
    Options.Pixels_On_Demand = On_Demand;
    try {
      Model.Open_File(Scratch.Path(), Messages, Options);
      const TImageArray& A = Model.Image_Array;
      if (A.Columns() != Model.XSize || A.Rows() != Model.YSize || Model.Plane > Model.Planes)
        std::abort();
      if (On_Demand) {
        // The first and last row's ends, as an aperture near the corners reads them.
        for (const size_t Row : {size_t{0}, size_t{A.Rows() - 1}}) {
          const size_t Last = std::min<size_t>(A.Columns() - 1, 7);
          if (A.Holds_Float())
            (void)A.Float_Span(Row, 0, Last);
          else
            (void)A.Span(Row, 0, Last);
        }
      } else {
        const TStretch Stretch = Automatic_Stretch(Build_Histogram(A, 1));
        (void)Black_Point_Text(A, Stretch.BlackPoint);
        (void)Pixel_Text(A, A.Columns() - 1, A.Rows() - 1);
      }
    } catch (const TKorvane_Error&) {
    }
  }
  return 0;
}
