#include "image/Partial_Read.h"

#include "text/Input_File.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

// The pixels of one open FITS file, read by row spans at their places in the file.
class TPixel_File : public TImageArray::TPixel_Reader {
public:
  explicit TPixel_File(TInput_File Opened) : File(std::move(Opened)) {}

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
    if (!Convert_Words(Into, Count, Data.Zero_Offset))
      throw TKorvane_Error(File.Path() + ": " + Pixel_Range_Text(Data.Zero_Offset));
  }

  TInput_File File; // read in order by the header reader, at explicit offsets for the pixels

private:
  TData_Layout Data;
  uint32_t Width = 0;
};

} // namespace

void Open_Pixels_On_Demand(TImage_Model& Image, const std::string& FName, TMessages& Messages,
                           const TOpen_Options& Options) {
  const auto File = std::make_shared<TPixel_File>(TInput_File(FName));
  const TData_Layout Layout = Image.Read_Header(FName, File->File, Messages, Options);
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
