// Feeds arbitrary bytes to the FITS reader as a file. Any crash, hang, sanitizer report or
// allocation beyond what the file holds is a bug; an abandoned open is a normal outcome.

#include "image/Image_Model.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

class TQuiet_Messages : public TMessages {
public:
  void Show(const std::string&) override {}
};

// The scratch file the input is written to, removed when the fuzzer exits.
struct TScratch_File {
  TScratch_File() {
    const char* Folder = std::getenv("TMPDIR");
    Path = std::string(Folder && *Folder ? Folder : "/tmp") + "/korvane-fuzz-" + std::to_string(::getpid()) +
           ".fit";
  }
  ~TScratch_File() { std::remove(Path.c_str()); }
  std::string Path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const TScratch_File Scratch;
  const std::string& Path = Scratch.Path;
  FILE* File = std::fopen(Path.c_str(), "wb");
  if (!File)
    return 0;
  const bool Written = std::fwrite(Data, 1, Size, File) == Size;
  std::fclose(File);
  if (!Written)
    return 0;
  TImage_Model Model;
  TQuiet_Messages Messages;
  try {
    Model.Open_File(Path, Messages);
    // A loaded image holds exactly the pixels the header promised.
    if (Model.Image_Array.Columns() != Model.XSize || Model.Image_Array.Rows() != Model.YSize)
      std::abort();
  } catch (const TKorvane_Error&) {
  }
  return 0;
}
