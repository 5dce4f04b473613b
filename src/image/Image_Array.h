#pragma once
// The pixel array of an image: either one contiguous block of rows, or, for headless
// measuring, rows whose columns a pixel source supplies as they are first asked for.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

// Memory for a picture-sized block. Blocks of some MiB are asked of the system in huge pages
// where it offers them: a frame of 60 Mpx then costs a few hundred page faults instead of
// tens of thousands, which otherwise take longer than reading the file. Free_Large_Block
// takes the size that was allocated. Throws std::bad_alloc.
void* Allocate_Large_Block(size_t Bytes);
void Free_Large_Block(void* Block, size_t Bytes) noexcept;

// Widens Least..Most to take in every finite value of the Count at Values.
void Widen_Finite_Range(const float* Values, size_t Count, float& Least, float& Most);

// The pixel array: YSize rows of XSize values, row 0 first in the file. Element [y][x] is
// column x of row y. A whole array is one contiguous block; an on-demand array holds no
// block and is read through Span only.
//
// The values are of one of two kinds: 16-bit values 0..65535 (16-bit images, as stored with
// BZERO added), or 32-bit floating-point physical values (every other format, BSCALE and
// BZERO applied). Holds_Float tells which; Span and operator[] serve the first kind,
// Float_Span and Float_Row the second, and Span_Of<T> either, for code written once for both.
class TImageArray {
public:
  // Fills Count converted values of row Row from column First on, for an array whose pixels
  // are read when first asked for. A source serves the kind of array it was made for.
  class TPixel_Reader {
  public:
    virtual ~TPixel_Reader() = default;
    virtual void Read(size_t Row, size_t First, size_t Count, uint16_t* Into);
    virtual void Read(size_t Row, size_t First, size_t Count, float* Into);
  };

  TImageArray() = default;
  void Allocate(uint32_t Columns, uint32_t Rows) {
    Reset_Float();
    Demand.reset();
    Width = Columns;
    Height = Rows;
    Pixels.assign(static_cast<size_t>(Columns) * Rows, 0);
  }
  // As Allocate, but the values are left unset: for a caller that writes every one of them
  // at once (the FITS reader), which spares a pass over a large array.
  void Allocate_For_Overwrite(uint32_t Columns, uint32_t Rows) {
    Reset_Float();
    Demand.reset();
    Width = Columns;
    Height = Rows;
    Pixels.clear();
    Pixels.resize(static_cast<size_t>(Columns) * Rows);
  }
  // An array of Columns x Rows whose values Reader supplies as Span asks for them. Such an
  // array holds no contiguous block: Empty is true, and operator[] and Data throw.
  void Allocate_On_Demand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Reader);
  // The same two for an array of floating-point values. Finish_Float, once every value is
  // written, records their range (Lowest, Highest) for the display.
  void Allocate_Float_For_Overwrite(uint32_t Columns, uint32_t Rows);
  void Allocate_Float_On_Demand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Reader);
  void Finish_Float();
  // As Finish_Float, for a writer that found the range itself (Widen_Finite_Range from
  // Least = +infinity, Most = -infinity); none found gives 0 and 0.
  void Set_Float_Range(float Least, float Most);
  bool Holds_Float() const { return Float; }
  // The smallest and largest finite value of a whole floating-point array (0 and 0 when it
  // holds none); 0 and 65535 for a 16-bit array.
  float Lowest() const { return Float ? Low : 0.0f; }
  float Highest() const { return Float ? High : 65535.0f; }
  // Row Row, its columns First to Last (inclusive) valid; other columns of the row may be
  // unset. On a whole array the row itself; on an on-demand array the columns not read yet
  // are read first. Nothing is read when First > Last.
  const uint16_t* Span(size_t Row, size_t First, size_t Last) const {
    if (!Demand)
      return Pixels.data() + Row * Width;
    return Demand->Span(Row, First, Last);
  }
  const float* Float_Span(size_t Row, size_t First, size_t Last) const {
    if (!Float_Demand)
      return Floats.data() + Row * Width;
    return Float_Demand->Span(Row, First, Last);
  }
  template <class T> const T* Span_Of(size_t Row, size_t First, size_t Last) const {
    if constexpr (std::is_same_v<T, float>)
      return Float_Span(Row, First, Last);
    else
      return Span(Row, First, Last);
  }
  // Row access to the block of a whole floating-point array (TKorvane_Error otherwise).
  const float* Float_Row(size_t Row) const {
    if (!Float || Float_Demand) [[unlikely]]
      Refuse_Block_Access();
    return Floats.data() + Row * Width;
  }
  float* Float_Row(size_t Row) {
    if (!Float || Float_Demand) [[unlikely]]
      Refuse_Block_Access();
    return Floats.data() + Row * Width;
  }
  // Row access to the block of a whole array. On an on-demand array, which has no block, they
  // throw TKorvane_Error instead of handing out a pointer to nothing.
  uint16_t* operator[](size_t Row) {
    Require_Block();
    return Pixels.data() + Row * Width;
  }
  const uint16_t* operator[](size_t Row) const {
    Require_Block();
    return Pixels.data() + Row * Width;
  }
  uint16_t* Data() {
    Require_Block();
    return Pixels.data();
  }
  const uint16_t* Data() const {
    Require_Block();
    return Pixels.data();
  }
  // Throws TKorvane_Error for an on-demand array: for a caller about to walk the block.
  // The 16-bit accessors above refuse a floating-point array the same way.
  void Require_Block() const {
    if (Demand || Float) [[unlikely]]
      Refuse_Block_Access(Float);
  }
  // As Require_Block, for a caller that walks either kind of block.
  void Require_Any_Block() const {
    if (Demand || Float_Demand) [[unlikely]]
      Refuse_Block_Access();
  }
  uint32_t Columns() const { return Width; }
  uint32_t Rows() const { return Height; }
  bool Empty() const { return Pixels.empty() && Floats.empty(); }

private:
  [[noreturn]] static void Refuse_Block_Access(bool Float_Values = false);
  void Reset_Float() {
    Float = false;
    Floats = decltype(Floats)();
    Float_Demand.reset();
  }

  // Value-initialisation of a new element does nothing; Allocate still fills with zeros.
  template <class T> struct TNo_Init_Allocator : std::allocator<T> {
    using value_type = T;
    template <class U> struct rebind { using other = TNo_Init_Allocator<U>; };
    TNo_Init_Allocator() = default;
    template <class U> TNo_Init_Allocator(const TNo_Init_Allocator<U>&) noexcept {}
    template <class U> void construct(U* Where) noexcept { ::new (static_cast<void*>(Where)) U; }
    template <class U, class... Args> void construct(U* Where, Args&&... Arguments) {
      ::new (static_cast<void*>(Where)) U(std::forward<Args>(Arguments)...);
    }
    T* allocate(size_t Count) { return static_cast<T*>(Allocate_Large_Block(Count * sizeof(T))); }
    void deallocate(T* Block, size_t Count) noexcept { Free_Large_Block(Block, Count * sizeof(T)); }
  };
  std::vector<uint16_t, TNo_Init_Allocator<uint16_t>> Pixels;
  std::vector<float, TNo_Init_Allocator<float>> Floats;
  bool Float = false;
  float Low = 0.0f, High = 0.0f;
  uint32_t Width = 0;
  uint32_t Height = 0;

  // The rows read so far of an on-demand array: each a whole-width buffer of which only the
  // listed column intervals hold values. Shared by copies, which then see the same pixels.
  template <class T> class TDemand {
  public:
    TDemand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Source);
    const T* Span(size_t Row, size_t First, size_t Last);

  private:
    struct TRow {
      std::unique_ptr<T[]> Values;
      std::vector<std::pair<size_t, size_t>> Read; // sorted, disjoint, not adjacent; inclusive
    };
    std::shared_ptr<TPixel_Reader> Reader;
    uint32_t Width = 0;
    std::vector<uint32_t> Slot; // per row: 0 unread, else index + 1 into Rows_Read
    std::vector<TRow> Rows_Read;
  };
  std::shared_ptr<TDemand<uint16_t>> Demand;
  std::shared_ptr<TDemand<float>> Float_Demand;
};
