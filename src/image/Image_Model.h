#pragma once
// The image model: what one opened FITS image holds, and its reader Open_File.
// The window that shows the image owns one of these.

#include "image/Result_Code.h"
#include "text/Messages.h"
#include "wcs/Unit_WCS.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Memory for a picture-sized block. Blocks of some MiB are asked of the system in huge pages
// where it offers them: a frame of 60 Mpx then costs a few hundred page faults instead of
// tens of thousands, which otherwise take longer than reading the file. Free_Large_Block
// takes the size that was allocated. Throws std::bad_alloc.
void* Allocate_Large_Block(size_t Bytes);
void Free_Large_Block(void* Block, size_t Bytes) noexcept;

// The pixel array: one contiguous block of YSize rows of XSize values, row 0 first in the
// file. Element [y][x] is column x of row y.
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
  // array is read through Span only: it holds no contiguous block, and Empty is true.
  void Allocate_On_Demand(uint32_t Columns, uint32_t Rows, std::shared_ptr<TPixel_Reader> Reader);
  // Row Row, its columns First to Last (inclusive) valid; other columns of the row may be
  // unset. On a whole array the row itself; on an on-demand array the columns not read yet
  // are read first. Nothing is read when First > Last.
  const uint16_t* Span(size_t Row, size_t First, size_t Last) const {
    if (!Demand)
      return Pixels.data() + Row * Width;
    return Demand->Span(Row, First, Last);
  }
  uint16_t* operator[](size_t Row) { return Pixels.data() + Row * Width; }
  const uint16_t* operator[](size_t Row) const { return Pixels.data() + Row * Width; }
  uint32_t Columns() const { return Width; }
  uint32_t Rows() const { return Height; }
  uint16_t* Data() { return Pixels.data(); }
  const uint16_t* Data() const { return Pixels.data(); }
  bool Empty() const { return Pixels.empty(); }

private:
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

// One 80-byte header card: keyword, value and comment, as UTF-8 text.
struct THeader_Card {
  std::string Key;     // columns 1 to 8, trailing blanks removed
  std::string Value;   // as written (quotes kept), trailing blanks removed
  std::string Comment; // after the '/', leading blanks removed
};

// How the FITS reader takes the header.
struct TOpen_Options {
  // CRPIX as the FITS standard defines it (the first pixel is 1): 1 is subtracted as it is
  // read, so that every later step works in the program's 0-based convention. Off, CRPIX
  // is used as it stands.
  bool Fits_Crpix = false;
  // Pixels are read when a measurement first needs them, and only those, instead of all at
  // open. For headless measuring; the header is read, checked and refused exactly as always.
  bool Pixels_On_Demand = false;
};

// What the header says of the data after it.
struct TData_Layout {
  uint64_t Start = 0;       // byte offset of the first pixel
  uint16_t Zero_Offset = 0; // BZERO, added to every stored word (mod 65536)
};

// Converts Count stored big-endian words in place to pixel values, the zero offset added
// (mod 65536). False when a value (the stored word read as signed, plus the offset) lies
// outside 0..65535, which the pixel array cannot hold: a negative pixel of a signed image
// without BZERO, say; such an image is refused (Pixel_Range_Text), never measured wrapped.
bool Convert_Words(uint16_t* Words, size_t Count, uint16_t Zero_Offset);
std::string Pixel_Range_Text(uint16_t Zero_Offset);

class TInput_File;

class TImage_Model {
public:
  // --- reader state and header ---
  TImageArray Image_Array;
  int16_t BitPix = 0;
  bool CD1_1_found = false, CD1_2_found = false, CD2_1_found = false, CD2_2_found = false;
  bool CRPIX1_found = false, CRPIX2_found = false, CRVAL1_found = false, CRVAL2_found = false;

  std::string FileName;
  std::string Caption_String;
  // Every card read, in file order, END and the blank cards after it included.
  std::vector<THeader_Card> Cards;
  uint32_t NKeys = 0; // index of the END card
  uint16_t XSize = 0; // columns [px]
  uint16_t YSize = 0; // rows [px]

  bool Plate_Solved = false;
  TWCS WCS_Calculator;
  TWCSRecord WCS1;

  // --- display state, set up when the image is shown ---
  std::vector<uint32_t> Histogram;                     // pixels of each value 0..65535
  uint16_t BlackPoint = 0, WhitePoint = 0;             // ADU
  uint16_t Start_BlackPoint = 0, Start_WhitePoint = 0; // stretch when a drag began, ADU
  int32_t Current_Scale = 0;                           // index into the scale list

  // --- observation values ---
  double JD = 0.0; // Julian date of mid-exposure, days (the header's JD is the start)
  double AirMass = 1.0;
  double Exposure = 0.0; // seconds
  std::string Date_Obs;  // DATE-OBS as written, quotes included
  char Image_Filter_Letter = '\0';

  // --- marks: positions in 0-based pixels (column, row) ---
  double ObjectX = 0.0, ObjectY = 0.0; // the variable star
  double NewX = 0.0, NewY = 0.0;       // centre of the star measured last, after recentring
  std::string ObjectName;
  bool Object_Marked = false;
  double ReferenceX = 0.0, ReferenceY = 0.0; // the comparison star; follows recentring
  std::string ReferenceName;
  bool Reference_Marked = false;
  double Reference_Mag = 0.0; // catalogue magnitude of the comparison star
  char Ref_Filter_Letter = '\0';

  // --- measurement (the star measured last is, after a full measurement, the comparison) ---
  double Npap_real = 0.0;       // sum of the aperture's pixel weights of the last star, pixels
  int32_t Npan = 0;             // annulus pixels kept by the last clipping pass of the last star
  double Net_Flux = 0.0;        // signal of the last star, ADU (at least 50)
  double Sky_Fluxpp = 0.0;      // sky of the last star, ADU per pixel
  double Ref_Background = 0.0;  // sky around the VARIABLE (the first star measured), ADU per pixel
  double Star_Background = 0.0; // sky around the COMPARISON star (the second), ADU per pixel
  TResult_Code Last_Error = TResult_Code::Not_Measured;
  double Magnitude = 0.0; // the variable's magnitude, or its limit when Less_Than is 1
  double Std_Error = 0.0; // standard error of Magnitude, magnitudes
  int32_t Less_Than = 0;  // 1: the variable is fainter than Magnitude
  double CMag = 0.0;      // instrumental magnitude of the comparison star, from electrons per second
  bool Outburst = false;
  double Threshold = 0.0; // outburst threshold of the target, magnitudes
  std::string ChartName;
  bool AAVSO_Written = false;
  // Whether the last analysis ended in a magnitude (Last_Error 0 then). A report that failed
  // afterwards (code 6) leaves it, so that the report can be written once the folder is there;
  // without it no report is written.
  bool Has_Measurement = false;

  // Reads the FITS file at FName into this model. Findings that do not stop the reading go
  // to Messages; a condition that stops it throws TKorvane_Error naming the cause and the
  // file. Called once, on a fresh model.
  void Open_File(const std::string& FName, TMessages& Messages, const TOpen_Options& Options = {});

  // The two halves of Open_File around the pixels. Read_Header takes the header from Input
  // (positioned at the file's start), fills the header fields, shows its findings and throws
  // what Open_File throws, the check that the file holds every row included; it leaves Input
  // at the first pixel. Finish_Open completes the model once the pixels are in place.
  TData_Layout Read_Header(const std::string& FName, TInput_File& Input, TMessages& Messages,
                           const TOpen_Options& Options);
  void Finish_Open(const std::string& FName);

  // Decides from the world-coordinate keywords found whether the image is plate-solved:
  // all of CRVAL1/2, CRPIX1/2 and CD1_1..CD2_2. Sets Plate_Solved and WCS1.rotmat, inverts
  // the CD matrix (TKorvane_Error when it is singular) or sets Last_Error to
  // Not_Plate_Solved.
  void Decide_Plate_Solved();

  // The first card named Key at index From or later, up to the END card; null when none.
  const THeader_Card* Find_Card(std::string_view Key, size_t From = 0) const;

  // The distortion projection named by CTYPE1 or CTYPE2 when it ends in "-SIP" (its
  // terms are not applied); empty otherwise.
  std::string Distortion_Note() const;
};
