#include "image/Partial_Read.h"

#include "text/Messages.h"

#include <utility>
#include <vector>

namespace {

// The pixels of one open FITS file, read by row spans at their places in the file.
class TPixel_File : public TImageArray::TPixel_Reader {
public:
  TPixel_File(TInput_File Opened, const TData_Layout& Layout, uint32_t Columns)
      : File(std::move(Opened)), Data(Layout), Width(Columns) {}

  void Read(size_t Row, size_t First, size_t Count, uint16_t* Into) override {
    const size_t Bytes = Count * sizeof(uint16_t);
    const uint64_t Offset = Data.Start + (uint64_t{Row} * Width + First) * sizeof(uint16_t);
    // The size was checked at open: a short read means the file was cut since.
    if (File.Read_At(Into, Bytes, Offset) < Bytes)
      throw TKorvane_Error(File.Path() + ": file ends inside the data");
    if (!Convert_Words(Into, Count, Data.Zero_Offset))
      throw TPixel_Range_Error(File.Path() + ": " + Pixel_Range_Text(Data.Zero_Offset));
  }

private:
  TInput_File File; // read at explicit offsets only
  TData_Layout Data;
  uint32_t Width = 0;
};

// The same for samples of any other format, converted to physical values.
class TSample_File : public TImageArray::TPixel_Reader {
public:
  TSample_File(TInput_File Opened, const TData_Layout& Layout, uint32_t Columns)
      : File(std::move(Opened)), Data(Layout), Width(Columns), Bytes_Per_Sample(Sample_Bytes(Layout.Bitpix)) {
  }

  void Read(size_t Row, size_t First, size_t Count, float* Into) override {
    const size_t Bytes = Count * Bytes_Per_Sample;
    const uint64_t Offset = Data.Start + (uint64_t{Row} * Width + First) * Bytes_Per_Sample;
    Buffer.resize(Bytes);
    if (File.Read_At(Buffer.data(), Bytes, Offset) < Bytes)
      throw TKorvane_Error(File.Path() + ": file ends inside the data");
    Convert_Samples(Buffer.data(), Count, Data, Into);
  }

private:
  TInput_File File;
  TData_Layout Data;
  uint32_t Width = 0;
  size_t Bytes_Per_Sample = 0;
  std::vector<unsigned char> Buffer; // one span's stored samples
};

} // namespace

std::shared_ptr<TImageArray::TPixel_Reader> Pixels_From_File(TInput_File File, const TData_Layout& Layout,
                                                             uint32_t Columns) {
  if (Layout.Physical)
    return std::make_shared<TSample_File>(std::move(File), Layout, Columns);
  return std::make_shared<TPixel_File>(std::move(File), Layout, Columns);
}
