#pragma once
// The image model: what one opened FITS image holds, and its reader Open_File.
// The window that shows the image owns one of these.

#include "text/Messages.h"
#include "wcs/Unit_WCS.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

// The pixel array: one contiguous block of YSize rows of XSize values, row 0 first in the
// file. Element [y][x] is column x of row y.
class TImageArray {
public:
  TImageArray() = default;
  void Allocate(uint32_t Columns, uint32_t Rows) {
    Width = Columns;
    Height = Rows;
    Pixels.assign(static_cast<size_t>(Columns) * Rows, 0);
  }
  // As Allocate, but the values are left unset: for a caller that writes every one of them
  // at once (the FITS reader), which spares a pass over a large array.
  void Allocate_For_Overwrite(uint32_t Columns, uint32_t Rows) {
    Width = Columns;
    Height = Rows;
    Pixels.clear();
    Pixels.resize(static_cast<size_t>(Columns) * Rows);
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
    template <class U> struct rebind {
      using other = TNo_Init_Allocator<U>;
    };
    TNo_Init_Allocator() = default;
    template <class U> TNo_Init_Allocator(const TNo_Init_Allocator<U>&) noexcept {}
    template <class U> void construct(U* Where) noexcept { ::new (static_cast<void*>(Where)) U; }
    template <class U, class... Args> void construct(U* Where, Args&&... Arguments) {
      ::new (static_cast<void*>(Where)) U(std::forward<Args>(Arguments)...);
    }
  };
  std::vector<uint16_t, TNo_Init_Allocator<uint16_t>> Pixels;
  uint32_t Width = 0;
  uint32_t Height = 0;
};

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
  std::vector<std::string> KeyNames;
  std::vector<std::string> Values;
  std::vector<std::string> CommentStrings;
  uint32_t NKeys = 0; // index of the END card
  uint16_t XSize = 0;
  uint16_t YSize = 0;

  bool Plate_Solved = false;
  TWCS WCS_Calculator;
  TWCSRecord WCS1;

  // --- display state, set up when the image is shown ---
  std::vector<uint32_t> Histogram; // pixels of each value 0..65535
  uint16_t BlackPoint = 0, WhitePoint = 0;
  uint16_t Start_BlackPoint = 0, Start_WhitePoint = 0; // stretch when a drag began
  int32_t Current_Scale = 0;                           // index into the scale list

  // --- observation values ---
  double JD = 0.0;
  double AirMass = 1.0;
  double Exposure = 0.0;
  std::string Date_Obs;
  char Image_Filter_Letter = '\0';

  // --- marks ---
  double ObjectX = 0.0, ObjectY = 0.0;
  double NewX = 0.0, NewY = 0.0;
  std::string ObjectName;
  bool Object_Marked = false;
  double ReferenceX = 0.0, ReferenceY = 0.0;
  std::string ReferenceName;
  bool Reference_Marked = false;
  double Reference_Mag = 0.0;
  char Ref_Filter_Letter = '\0';

  // --- measurement ---
  double Npap_real = 0.0;
  int32_t Npan = 0;
  double Net_Flux = 0.0;
  double Sky_Fluxpp = 0.0;
  double Ref_Background = 0.0;
  double Star_Background = 0.0;
  int32_t Last_Error = 1;
  double Magnitude = 0.0;
  double Std_Error = 0.0;
  int32_t Less_Than = 0;
  double CMag = 0.0;
  bool Outburst = false;
  double Threshold = 0.0;
  std::string ChartName;
  bool AAVSO_Written = false;

  // Reads the FITS file at FName into this model. Findings that do not stop the reading go
  // to Messages; a condition that stops it throws TKorvane_Error naming the cause and the
  // file. Called once, on a fresh model.
  void Open_File(const std::string& FName, TMessages& Messages);
};
