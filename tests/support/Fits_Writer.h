#pragma once
// A small FITS writer for tests and tools: builds 80-byte header cards and 16-bit data in
// the layout the reader expects, so tests can make files with any header they need.

#include <cstdint>
#include <string>
#include <vector>

class TFits_Writer {
public:
  // Appends a value card: KEY (padded to 8), "= ", the value text right-justified to
  // column 30 (as written, so quotes are the caller's), then " / comment" when given.
  void Add(const std::string& Key, const std::string& Value, const std::string& Comment = "");
  // Appends a card exactly as given (truncated or blank-padded to 80 bytes).
  void Add_Raw(const std::string& Card);
  // Appends "END" and, when Pad, blank cards up to the end of the 2880-byte record.
  std::string Header_Bytes(bool Pad = true) const;
  // Big-endian 16-bit words, row 0 first.
  static std::string Data_Bytes(const std::vector<int16_t>& Stored);
  // Physical values 0..65535 stored with BZERO 32768.
  static std::string Data_Bytes_Unsigned(const std::vector<uint16_t>& Physical);
  // Writes Header_Bytes(true) + Data, padding the data to whole records when Pad_Data.
  void Write(const std::string& Path, const std::string& Data, bool Pad_Data = true) const;

  std::vector<std::string> Cards; // 80 bytes each, END not included
};

// A standard 16-bit image header start: SIMPLE, BITPIX 16, NAXIS 2, NAXIS1, NAXIS2, BZERO 32768.
TFits_Writer Standard_Header(int Columns, int Rows);
// Adds a TAN world-coordinate system: CRVAL1/2, CRPIX1/2 (used as they stand), CD matrix.
void Add_TAN_WCS(TFits_Writer& Writer, double Crval1, double Crval2, double Crpix1, double Crpix2,
                 double Cd11, double Cd12, double Cd21, double Cd22);
