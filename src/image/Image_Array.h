#pragma once
// The pixel array of an image: either one contiguous block of rows, or, for headless
// measuring, rows whose columns a pixel source supplies as they are first asked for.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

// Memory for a picture-sized block. Blocks of some MiB are asked of the system in huge pages
// where it offers them: a frame of 60 Mpx then costs a few hundred page faults instead of
// tens of thousands, which otherwise take longer than reading the file. Free_Large_Block
// takes the size that was allocated. Throws std::bad_alloc.
void* Allocate_Large_Block(size_t Bytes);
void Free_Large_Block(void* Block, size_t Bytes) noexcept;

// The pixel array: YSize rows of XSize values, row 0 first in the file. Element [y][x] is
// column x of row y. A whole array is one contiguous block; an on-demand array holds no
// block and is read through Span only.
class TImageArray {
public:
  // Fills Count converted values of row Row from column First on, for an array whose pixels
  // are read when first asked for.
  class TPixel_Reader {
  public:
    virtual ~TPixel_Reader() = default;
    virtual void Read(size_t Row, size_t First, size_t Count, uint16_t* Into) = 0;
  };

  TImageArray() = default;
  void Allocate(uint32_t Columns, uint32_t Rows) {
    Demand.reset();
    Width = Columns;
    Height = Rows;
    Pixels.assign(static_cast<size_t>(Columns) * Rows, 0);
  }
  // As Allocate, but the values are left unset: for a caller that writes every one of them
  // at once (the FITS reader), which spares a pass over a large array.
  void Allocate_For_Overwrite(uint32_t Columns, uint32_t Rows) {
    Demand.reset();
    Width = Columns;
    Height = Rows;
    Pixels.clear();
    Pixels.resize(static_cast<size_t>(Columns) * Rows);
  }
  // An array of Columns x Rows whose values Reader supplies as Span asks for them. Such an
  // array holds no contiguous block: Empty is true, and operator[] and Data throw.
  void Allocate_On_Demand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Reader);
  // Row Row, its columns First to Last (inclusive) valid; other columns of the row may be
  // unset. On a whole array the row itself; on an on-demand array the columns not read yet
  // are read first. Nothing is read when First > Last.
  const uint16_t* Span(size_t Row, size_t First, size_t Last) const {
    if (!Demand)
      return Pixels.data() + Row * Width;
    return Demand->Span(Row, First, Last);
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
  void Require_Block() const {
    if (Demand) [[unlikely]]
      Refuse_Block_Access();
  }
  uint32_t Columns() const { return Width; }
  uint32_t Rows() const { return Height; }
  bool Empty() const { return Pixels.empty(); }

private:
  [[noreturn]] static void Refuse_Block_Access();

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
  uint32_t Width = 0;
  uint32_t Height = 0;

  // The rows read so far of an on-demand array: each a whole-width buffer of which only the
  // listed column intervals hold values. Shared by copies, which then see the same pixels.
  class TDemand {
  public:
    TDemand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Source);
    const uint16_t* Span(size_t Row, size_t First, size_t Last);

  private:
    struct TRow {
      std::unique_ptr<uint16_t[]> Values;
      std::vector<std::pair<size_t, size_t>> Read; // sorted, disjoint, not adjacent; inclusive
    };
    std::shared_ptr<TPixel_Reader> Reader;
    uint32_t Width = 0;
    std::vector<uint32_t> Slot; // per row: 0 unread, else index + 1 into Rows_Read
    std::vector<TRow> Rows_Read;
  };
  std::shared_ptr<TDemand> Demand;
};
