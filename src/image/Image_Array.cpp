#include "image/Image_Array.h"

#include "text/Messages.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>

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

void TImageArray::Refuse_Block_Access(bool Float_Values) {
  if (Float_Values)
    throw TKorvane_Error("the image holds floating-point values: its 16-bit rows cannot be walked");
  throw TKorvane_Error("the pixels of an image read on demand are read by spans only: the image holds no "
                       "block of rows to walk");
}

void TImageArray::TPixel_Reader::Read(size_t, size_t, size_t, uint16_t*) {
  throw TKorvane_Error("this pixel source holds floating-point values, not 16-bit ones");
}

void TImageArray::TPixel_Reader::Read(size_t, size_t, size_t, float*) {
  throw TKorvane_Error("this pixel source holds 16-bit values, not floating-point ones");
}

void TImageArray::Allocate_On_Demand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Reader) {
  Reset_Float();
  Pixels = decltype(Pixels)();
  Width = Columns;
  Height = Rows;
  Demand = std::make_shared<TDemand<uint16_t>>(Columns, Rows, std::move(Reader));
}

void TImageArray::Allocate_Float_For_Overwrite(uint32_t Columns, uint32_t Rows) {
  Pixels = decltype(Pixels)();
  Demand.reset();
  Float_Demand.reset();
  Float = true;
  Low = High = 0.0f;
  Width = Columns;
  Height = Rows;
  Floats.clear();
  Floats.resize(static_cast<size_t>(Columns) * Rows);
}

void TImageArray::Allocate_Float_On_Demand(uint32_t Columns, uint32_t Rows,
                                           std::shared_ptr<TPixel_Reader> Reader) {
  Pixels = decltype(Pixels)();
  Floats = decltype(Floats)();
  Demand.reset();
  Float = true;
  Low = High = 0.0f;
  Width = Columns;
  Height = Rows;
  Float_Demand = std::make_shared<TDemand<float>>(Columns, Rows, std::move(Reader));
}

void Widen_Finite_Range(const float* Values, size_t Count, float& Least, float& Most) {
  // Sixteen running minima and maxima, which the compiler keeps in vector registers; a
  // comparison with NaN is false, so blank pixels leave them alone.
  constexpr size_t Lanes = 16;
  float Low[Lanes], High[Lanes];
  std::fill_n(Low, Lanes, std::numeric_limits<float>::infinity());
  std::fill_n(High, Lanes, -std::numeric_limits<float>::infinity());
  size_t i = 0;
  for (; i + Lanes <= Count; i += Lanes)
    for (size_t j = 0; j < Lanes; ++j) {
      Low[j] = Values[i + j] < Low[j] ? Values[i + j] : Low[j];
      High[j] = Values[i + j] > High[j] ? Values[i + j] : High[j];
    }
  for (; i < Count; ++i) {
    Low[0] = Values[i] < Low[0] ? Values[i] : Low[0];
    High[0] = Values[i] > High[0] ? Values[i] : High[0];
  }
  float Block_Low = *std::min_element(Low, Low + Lanes), Block_High = *std::max_element(High, High + Lanes);
  if (Block_Low == -std::numeric_limits<float>::infinity() ||
      Block_High == std::numeric_limits<float>::infinity()) {
    // Infinities are left out in a second pass over the few values that hold one.
    Block_Low = std::numeric_limits<float>::infinity();
    Block_High = -Block_Low;
    for (size_t k = 0; k < Count; ++k)
      if (std::isfinite(Values[k])) {
        Block_Low = std::min(Block_Low, Values[k]);
        Block_High = std::max(Block_High, Values[k]);
      }
  }
  Least = std::min(Least, Block_Low);
  Most = std::max(Most, Block_High);
}

void TImageArray::Finish_Float() {
  float Least = std::numeric_limits<float>::infinity(), Most = -Least;
  Widen_Finite_Range(Floats.data(), Floats.size(), Least, Most);
  Set_Float_Range(Least, Most);
}

void TImageArray::Set_Float_Range(float Least, float Most) {
  if (!(Least <= Most))
    Least = Most = 0.0f;
  Low = Least;
  High = Most;
}

template <class T>
TImageArray::TDemand<T>::TDemand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Source)
    : Reader(std::move(Source)), Width(Columns), Slot(Rows, 0) {}

template <class T> const T* TImageArray::TDemand<T>::Span(size_t Row, size_t First, size_t Last) {
  uint32_t& Index = Slot[Row];
  if (Index == 0) {
    if (First > Last)
      return nullptr;
    // Uninitialised on purpose: only the columns read are ever looked at.
    Rows_Read.push_back(TRow{std::unique_ptr<T[]>(new T[Width]), {}});
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

template class TImageArray::TDemand<uint16_t>;
template class TImageArray::TDemand<float>;
