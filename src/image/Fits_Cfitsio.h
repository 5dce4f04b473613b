#pragma once
// Images that only cfitsio reads for us: gzip'ed files and tile-compressed image HDUs
// (RICE_1, GZIP_1/2, HCOMPRESS, PLIO). The image is read whole, as physical values.

#include <cstdint>
#include <mutex>
#include <string>

class TCfitsio_Image {
public:
  // Opens Path and moves to its first HDU that holds an image (the primary HDU, else the
  // first image extension, compressed ones included). Throws TKorvane_Error "PATH: ...".
  explicit TCfitsio_Image(const std::string& Path);
  ~TCfitsio_Image();
  TCfitsio_Image(const TCfitsio_Image&) = delete;
  TCfitsio_Image& operator=(const TCfitsio_Image&) = delete;

  // The HDU found, 1 being the primary one.
  int Image_HDU() const { return HDU; }
  // The cards of HDU Number as 80-byte cards, END last; of a compressed image the header of
  // the image it holds (ZBITPIX as BITPIX and so on), as cfitsio gives it.
  std::string Cards(int Number);
  // Reads plane Plane (1-based) of the image HDU, Columns x Rows values, BSCALE and BZERO
  // applied, blank pixels NaN. A damaged tile throws TKorvane_Error naming the file. The
  // decoding runs in a child process, which moves the file's shared read position: this is
  // the last read of the file.
  void Read_Plane(uint32_t Plane, uint32_t Columns, uint32_t Rows, float* Into);

private:
  void Find_Image();
  // Refuses a compressed image whose tiles could not be in the file, before cfitsio
  // allocates for them.
  void Check_Tiles();
  [[noreturn]] void Fail(const std::string& What, int Status);
  std::unique_lock<std::mutex> Serial; // held from the opening to the closing of the file
  std::string Path;
  void* File = nullptr; // fitsfile*
  int HDU = 1;
};

// Whether the file starts as a gzip stream does.
bool Starts_As_Gzip(const unsigned char* First_Bytes, size_t Count);
