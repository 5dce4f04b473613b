#include "image/Fits_Cfitsio.h"

#include "text/Messages.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fitsio.h>

namespace {

fitsfile* As_File(void* File) {
  return static_cast<fitsfile*>(File);
}

// One file at a time goes through cfitsio, whichever thread reads it (the night table's
// worker, the window): so no other thread is inside the library, holding one of its locks,
// when Read_Plane forks its decoding child.
std::mutex Cfitsio_Serial;

} // namespace

TCfitsio_Image::TCfitsio_Image(const std::string& File_Path) : Serial(Cfitsio_Serial), Path(File_Path) {
  int Status = 0;
  fitsfile* Opened = nullptr;
  // Opened as a plain disk file, so that brackets or a "+1" in the name are not taken as an
  // extension or filter.
  if (fits_open_diskfile(&Opened, Path.c_str(), READONLY, &Status) != 0) {
    if (Opened != nullptr) {
      int Ignored = 0;
      fits_close_file(Opened, &Ignored);
    }
    File = nullptr;
    Fail("cannot read the file as a FITS image", Status);
  }
  File = Opened;
  try {
    Find_Image();
  } catch (...) {
    fits_close_file(Opened, &Status);
    File = nullptr;
    throw;
  }
}

void TCfitsio_Image::Find_Image() {
  fitsfile* Opened = As_File(File);
  int Status = 0;
  // The primary HDU when it holds data, else the first image extension after it.
  int Axes = 0;
  fits_get_img_dim(Opened, &Axes, &Status);
  while (Status == 0 && Axes == 0) {
    int Type = 0;
    if (fits_movrel_hdu(Opened, 1, &Type, &Status) != 0)
      break;
    if (Type == IMAGE_HDU)
      fits_get_img_dim(Opened, &Axes, &Status);
  }
  if (Status == END_OF_FILE)
    Fail("holds no image: the primary HDU has no data (NAXIS 0) and no extension holds an image", Status);
  if (Status != 0)
    Fail("cannot read the file as a FITS image", Status);
  fits_get_hdu_num(Opened, &HDU);
}

TCfitsio_Image::~TCfitsio_Image() {
  if (File != nullptr) {
    int Status = 0;
    fits_close_file(As_File(File), &Status);
  }
}

void TCfitsio_Image::Fail(const std::string& What, int Status) {
  char Text[FLEN_STATUS] = {};
  fits_get_errstatus(Status, Text);
  // The first message of cfitsio's stack says most; the rest is cleared for the next file.
  char Detail[FLEN_ERRMSG] = {};
  std::string Said;
  if (fits_read_errmsg(Detail) != 0)
    Said = Detail;
  fits_clear_errmsg();
  std::string Message = Path + ": " + What + " (" + Text;
  if (!Said.empty() && Said != Text)
    Message += ": " + Said;
  throw TKorvane_Error(Message + ")");
}

std::string TCfitsio_Image::Cards(int Number) {
  int Status = 0, Type = 0;
  fitsfile* F = As_File(File);
  if (fits_movabs_hdu(F, Number, &Type, &Status) != 0)
    Fail("cannot read header " + std::to_string(Number), Status);
  char* Header = nullptr;
  int Keys = 0;
  if (fits_is_compressed_image(F, &Status))
    fits_convert_hdr2str(F, 0, nullptr, 0, &Header, &Keys, &Status);
  else
    fits_hdr2str(F, 0, nullptr, 0, &Header, &Keys, &Status);
  if (Status != 0) {
    if (Header != nullptr)
      fits_free_memory(Header, &Status);
    Fail("cannot read header " + std::to_string(Number), Status);
  }
  std::string Text = Header != nullptr ? Header : "";
  fits_free_memory(Header, &Status);
  // Whole cards only, with an END card last.
  Text.resize(Text.size() / 80 * 80);
  bool Has_End = false;
  for (size_t c = 0; c < Text.size() && !Has_End; c += 80)
    Has_End = std::string_view(Text).substr(c, 8) == "END     ";
  if (!Has_End)
    Text += "END" + std::string(77, ' ');
  Status = 0;
  fits_movabs_hdu(F, HDU, &Type, &Status);
  if (Status != 0)
    Fail("cannot return to the image", Status);
  return Text;
}

void TCfitsio_Image::Check_Tiles() {
  fitsfile* F = As_File(File);
  int Status = 0;
  if (!fits_is_compressed_image(F, &Status))
    return;
  // The table's own cards: its heap, and the sizes of the image and of its tiles.
  LONGLONG Heap = 0;
  fits_read_key(F, TLONGLONG, "PCOUNT", &Heap, nullptr, &Status);
  int Axes = 0;
  fits_read_key(F, TINT, "ZNAXIS", &Axes, nullptr, &Status);
  if (Status != 0)
    Fail("is a compressed image without PCOUNT or ZNAXIS", Status);
  for (int i = 1; i <= Axes && i <= 9; ++i) {
    LONGLONG Side = 0, Tile = 0;
    fits_read_key(F, TLONGLONG, ("ZNAXIS" + std::to_string(i)).c_str(), &Side, nullptr, &Status);
    int Missing = 0;
    fits_read_key(F, TLONGLONG, ("ZTILE" + std::to_string(i)).c_str(), &Tile, nullptr, &Missing);
    if (Status != 0)
      Fail("is a compressed image without ZNAXIS" + std::to_string(i), Status);
    if (Missing == 0 && (Tile < 1 || Tile > std::max<LONGLONG>(Side, 1)))
      throw TKorvane_Error(Path + ": the compressed image's ZTILE" + std::to_string(i) + " (" +
                           std::to_string(Tile) + ") does not fit its side of " + std::to_string(Side) +
                           " pixels");
  }
  // Every variable-length array must lie within the heap: cfitsio allocates what a tile's
  // descriptor says before it reads the tile.
  int Fields = 0;
  LONGLONG Table_Rows = 0;
  fits_get_num_cols(F, &Fields, &Status);
  fits_get_num_rowsll(F, &Table_Rows, &Status);
  for (int Column = 1; Column <= Fields && Status == 0; ++Column) {
    int Type = 0;
    LONGLONG Repeat = 0, Width = 0;
    fits_get_coltypell(F, Column, &Type, &Repeat, &Width, &Status);
    if (Status != 0 || Type >= 0)
      continue;
    for (LONGLONG Row = 1; Row <= Table_Rows && Status == 0; ++Row) {
      LONGLONG Length = 0, Offset = 0;
      fits_read_descriptll(F, Column, Row, &Length, &Offset, &Status);
      const LONGLONG Element = std::max<LONGLONG>(Width, 1);
      if (Status == 0 && (Length < 0 || Offset < 0 || Offset > Heap || Length > (Heap - Offset) / Element))
        throw TKorvane_Error(Path + ": tile " + std::to_string(Row) +
                             " of the compressed image lies outside the file's data (a damaged file)");
    }
  }
  if (Status != 0)
    Fail("the compressed image's tile table cannot be read", Status);
}

namespace {

// What the decoding child hands back beside the values: cfitsio's status and first message.
struct TDecode_Report {
  int Status = 0;
  char Message[FLEN_ERRMSG] = {};
};

} // namespace

void TCfitsio_Image::Read_Plane(uint32_t Plane, uint32_t Columns, uint32_t Rows, float* Into) {
  Check_Tiles();
  LONGLONG First[3] = {1, 1, static_cast<LONGLONG>(Plane)};
  const LONGLONG Count = static_cast<LONGLONG>(Columns) * Rows;
  const size_t Value_Bytes = static_cast<size_t>(Count) * sizeof(float);
  // The values are decoded in a child process: cfitsio's tile decoders can run past the end
  // of a damaged tile, which must end in an error naming the file, not in a crash of the
  // program. The child writes into memory shared with this process and only exits.
  const size_t Shared_Bytes = sizeof(TDecode_Report) + Value_Bytes;
  void* const Shared =
      ::mmap(nullptr, Shared_Bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (Shared == MAP_FAILED)
    throw TKorvane_Error(Path + ": no memory for the " + std::to_string(Value_Bytes) + " bytes of the image");
  auto* const Report = new (Shared) TDecode_Report;
  auto* const Values = reinterpret_cast<float*>(static_cast<char*>(Shared) + sizeof(TDecode_Report));
  const pid_t Child = ::fork();
  if (Child == 0) {
    int Status = 0, Any_Null = 0;
    float Blank = std::numeric_limits<float>::quiet_NaN();
    fits_read_pixll(As_File(File), TFLOAT, First, Count, &Blank, Values, &Any_Null, &Status);
    Report->Status = Status;
    if (Status != 0)
      fits_read_errmsg(Report->Message);
    ::_exit(0);
  }
  int Wait_Status = 0;
  pid_t Waited = -1;
  if (Child > 0)
    do
      Waited = ::waitpid(Child, &Wait_Status, 0);
    while (Waited < 0 && errno == EINTR);
  const bool Finished =
      Child > 0 && Waited == Child && WIFEXITED(Wait_Status) && WEXITSTATUS(Wait_Status) == 0;
  const TDecode_Report Said = *Report;
  if (Finished && Said.Status == 0)
    std::memcpy(Into, Values, Value_Bytes);
  ::munmap(Shared, Shared_Bytes);
  if (Child < 0)
    throw TKorvane_Error(Path +
                         ": cannot start the decoding of the compressed image: " + std::strerror(errno));
  if (!Finished)
    throw TKorvane_Error(Path +
                         ": the image data cannot be decompressed: the decoder failed on a damaged tile");
  if (Said.Status != 0) {
    char Text[FLEN_STATUS] = {};
    fits_get_errstatus(Said.Status, Text);
    std::string Message =
        Path + ": the image data cannot be read or decompressed (a damaged tile or a cut file; " + Text;
    if (Said.Message[0] != '\0' && std::string_view(Said.Message) != Text)
      Message += ": " + std::string(Said.Message);
    throw TKorvane_Error(Message + ")");
  }
}

bool Starts_As_Gzip(const unsigned char* First_Bytes, size_t Count) {
  return Count >= 2 && First_Bytes[0] == 0x1f && First_Bytes[1] == 0x8b;
}
