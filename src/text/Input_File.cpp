#include "text/Input_File.h"

#include "text/Messages.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string System_Text(int Error) {
  return std::error_code(Error, std::generic_category()).message();
}

} // namespace

TInput_File::TInput_File(const std::string& Path) : Name(Path) {
  Open(true);
}

TInput_File::TInput_File(const std::string& Path, TMissing) : Name(Path) {
  Open(false);
}

std::optional<TInput_File> TInput_File::Open_If_Exists(const std::string& Path) {
  TInput_File File(Path, TMissing{});
  if (File.Fd < 0)
    return std::nullopt;
  return std::optional<TInput_File>(std::move(File));
}

void TInput_File::Open(bool Missing_Is_Error) {
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one forever. It
  // changes nothing for a regular file, the only kind that is read.
  do
    Fd = ::open(Name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  while (Fd < 0 && errno == EINTR);
  if (Fd < 0) {
    const int Error = errno;
    if (!Missing_Is_Error && (Error == ENOENT || Error == ENOTDIR))
      return;
    throw TKorvane_Error(Name + ": cannot open the file: " + System_Text(Error));
  }
  struct stat Status {};
  if (::fstat(Fd, &Status) != 0) {
    const int Error = errno;
    ::close(Fd);
    Fd = -1;
    throw TKorvane_Error(Name + ": cannot read the file: " + System_Text(Error));
  }
  if (!S_ISREG(Status.st_mode)) {
    ::close(Fd);
    Fd = -1;
    throw TKorvane_Error(Name + ": not a regular file");
  }
  File_Size = static_cast<uint64_t>(Status.st_size);
}

TInput_File::TInput_File(TInput_File&& Other) noexcept
    : Name(std::move(Other.Name)), Fd(Other.Fd), File_Size(Other.File_Size) {
  Other.Fd = -1;
}

TInput_File::~TInput_File() {
  if (Fd >= 0)
    ::close(Fd);
}

namespace {

// Reads until Count bytes are in or the file ends; Next_Read reads at most Left bytes at
// Done and returns what the system call returned.
template <class TRead> size_t Read_Fully(const std::string& Name, char* Out, size_t Count, TRead Next_Read) {
  size_t Done = 0;
  while (Done < Count) {
    const ssize_t Got = Next_Read(Out + Done, Count - Done, Done);
    if (Got < 0) {
      if (errno == EINTR)
        continue;
      throw TKorvane_Error(Name + ": cannot read the file: " + System_Text(errno));
    }
    if (Got == 0)
      break;
    Done += static_cast<size_t>(Got);
  }
  return Done;
}

} // namespace

size_t TInput_File::Read(void* Buffer, size_t Count) {
  return Read_Fully(Name, static_cast<char*>(Buffer), Count,
                    [this](char* Into, size_t Left, size_t) { return ::read(Fd, Into, Left); });
}

size_t TInput_File::Read_At(void* Buffer, size_t Count, uint64_t Offset) {
  return Read_Fully(Name, static_cast<char*>(Buffer), Count,
                    [this, Offset](char* Into, size_t Left, size_t Done) {
                      return ::pread(Fd, Into, Left, static_cast<off_t>(Offset + Done));
                    });
}
