#include "image/Partial_Read.h"

#include "text/Input_File.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <utility>
#include <vector>

namespace {

// One open FITS file read at explicit offsets: in order for the header, then by row spans
// for the pixels.
class TPixel_File : public TByte_Input, public TImageArray::TPixel_Reader {
public:
  explicit TPixel_File(TInput_File Opened) : File(std::move(Opened)) {}

  size_t Read(void* Buffer, size_t Count) override { return File.Read(Buffer, Count); }
  uint64_t Size() const override { return File.Size(); }

  void Set_Layout(const TData_Layout& Layout, uint32_t Columns) {
    Data = Layout;
    Width = Columns;
  }

  void Read(size_t Row, size_t First, size_t Count, uint16_t* Into) override {
    const size_t Bytes = Count * sizeof(uint16_t);
    const uint64_t Offset = Data.Start + (uint64_t{Row} * Width + First) * sizeof(uint16_t);
    // The size was checked at open: a short read means the file was cut since.
    if (File.Read_At(Into, Bytes, Offset) < Bytes)
      throw TKorvane_Error(File.Path() + ": file ends inside the data");
    const uint16_t Zero = Data.Zero_Offset;
    for (size_t i = 0; i < Count; ++i) {
      uint16_t w = Into[i];
      if constexpr (std::endian::native == std::endian::little)
        w = static_cast<uint16_t>((w << 8) | (w >> 8));
      Into[i] = static_cast<uint16_t>(w + Zero);
    }
  }

private:
  TInput_File File;
  TData_Layout Data;
  uint32_t Width = 0;
};

// The file opened as the reader opens it; null when that fails, so that the caller lets the
// whole-file reader say why, in its own words.
std::shared_ptr<TPixel_File> Open_Regular(const std::string& FName) {
  try {
    return std::make_shared<TPixel_File>(TInput_File(FName));
  } catch (const TKorvane_Error&) {
    return nullptr;
  }
}

} // namespace

void Open_Pixels_On_Demand(TImage_Model& Image, const std::string& FName, TMessages& Messages,
                           const TOpen_Options& Options) {
  const std::shared_ptr<TPixel_File> File = Open_Regular(FName);
  if (!File) {
    TOpen_Options Whole = Options;
    Whole.Pixels_On_Demand = false;
    Image.Open_File(FName, Messages, Whole);
    return;
  }
  const TData_Layout Layout = Image.Read_Header(FName, *File, Messages, Options);
  File->Set_Layout(Layout, Image.XSize);
  Image.Image_Array.Allocate_On_Demand(Image.XSize, Image.YSize, File);
  Image.Finish_Open(FName);
}

void TImageArray::Allocate_On_Demand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Reader) {
  Pixels = decltype(Pixels)();
  Width = Columns;
  Height = Rows;
  Demand = std::make_shared<TDemand>(Columns, Rows, std::move(Reader));
}

TImageArray::TDemand::TDemand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Source)
    : Reader(std::move(Source)), Width(Columns), Slot(Rows, 0) {}

const uint16_t* TImageArray::TDemand::Span(size_t Row, size_t First, size_t Last) {
  uint32_t& Index = Slot[Row];
  if (Index == 0) {
    if (First > Last)
      return nullptr;
    // Uninitialised on purpose: only the columns read are ever looked at.
    Rows_Read.push_back(TRow{std::unique_ptr<uint16_t[]>(new uint16_t[Width]), {}});
    Index = static_cast<uint32_t>(Rows_Read.size());
  }
  TRow& R = Rows_Read[Index - 1];
  if (First > Last)
    return R.Values.get();
  // Read the parts of First..Last that no earlier span covered.
  size_t Next = First;
  for (const auto& [Begin, End] : R.Read) {
    if (End < Next)
      continue;
    if (Begin > Last)
      break;
    if (Begin > Next)
      Reader->Read(Row, Next, Begin - Next, R.Values.get() + Next);
    Next = End + 1;
    if (Next > Last)
      break;
  }
  if (Next <= Last)
    Reader->Read(Row, Next, Last - Next + 1, R.Values.get() + Next);

  // Record First..Last, joining the intervals it overlaps or touches.
  auto& Read = R.Read;
  auto Place = std::lower_bound(Read.begin(), Read.end(), std::pair<size_t, size_t>(First, First));
  Place = Read.insert(Place, {First, Last});
  if (Place != Read.begin() && std::prev(Place)->second + 1 >= Place->first)
    --Place;
  auto Follow = std::next(Place);
  while (Follow != Read.end() && Place->second + 1 >= Follow->first) {
    Place->second = std::max(Place->second, Follow->second);
    Follow = Read.erase(Follow);
    Place = std::prev(Follow);
  }
  return R.Values.get();
}
