#include "image/Image_Array.h"

#include "text/Messages.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include <sys/mman.h>

namespace {

constexpr size_t Huge_Page = size_t{2} << 20;
// Below this a block is an ordinary allocation.
constexpr size_t Large_Block = size_t{4} << 20;

size_t Huge_Pages_Size(size_t Bytes) {
  return (Bytes + Huge_Page - 1) / Huge_Page * Huge_Page;
}

} // namespace

void* Allocate_Large_Block(size_t Bytes) {
  if (Bytes < Large_Block)
    return ::operator new(Bytes);
  void* Block = std::aligned_alloc(Huge_Page, Huge_Pages_Size(Bytes));
  if (Block == nullptr)
    throw std::bad_alloc();
  // A hint only: without huge pages the block is used as it is.
  ::madvise(Block, Huge_Pages_Size(Bytes), MADV_HUGEPAGE);
  return Block;
}

void Free_Large_Block(void* Block, size_t Bytes) noexcept {
  if (Bytes < Large_Block)
    ::operator delete(Block);
  else
    std::free(Block);
}

void TImageArray::Refuse_Block_Access() {
  throw TKorvane_Error("the pixels of an image read on demand are read by spans only: the image holds no "
                       "block of rows to walk");
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
