#include "text/Output_File.h"

#include "text/Messages.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string System_Text(int Error) {
  return std::error_code(Error, std::generic_category()).message();
}

[[noreturn]] void Write_Failed(const std::string& Path, int Error) {
  throw TKorvane_Error(Path + ": cannot write the file: " + System_Text(Error));
}

bool Write_All(int Fd, const std::string& Data) {
  size_t Done = 0;
  while (Done < Data.size()) {
    const ssize_t N = ::write(Fd, Data.data() + Done, Data.size() - Done);
    if (N < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    Done += static_cast<size_t>(N);
  }
  return true;
}

std::string Folder_Of(const std::string& Path) {
  const size_t Slash = Path.rfind('/');
  if (Slash == std::string::npos)
    return ".";
  if (Slash == 0)
    return "/";
  return Path.substr(0, Slash);
}

// The file Path finally names: symbolic links are followed, a relative one from the folder
// it lies in. A path that names nothing (yet) is its own answer.
std::string Link_Target(const std::string& Path) {
  std::string Target = Path;
  for (int Depth = 0; Depth < 40; ++Depth) {
    struct stat Status {};
    if (::lstat(Target.c_str(), &Status) != 0 || !S_ISLNK(Status.st_mode))
      return Target;
    std::error_code Error;
    const std::filesystem::path Link = std::filesystem::read_symlink(Target, Error);
    if (Error)
      Write_Failed(Path, Error.value());
    Target = Link.is_absolute() ? Link.string() : Folder_Of(Target) + "/" + Link.string();
  }
  Write_Failed(Path, ELOOP);
}

// Writes Bytes to Target, the name the rename replaces.
void Write_Whole(const std::string& Path, const std::string& Target, const std::string& Bytes,
                 bool Create_Folder) {
  const std::string Folder = Folder_Of(Target);
  if (Create_Folder) {
    std::error_code Ignored;
    if (!std::filesystem::exists(Folder, Ignored))
      std::filesystem::create_directories(Folder, Ignored);
  }
  // What stands at the name now: a file keeps its permission bits, a link (the name's own,
  // Target being no link when followed) is replaced, anything else stays as it is.
  struct stat Old {};
  const bool Exists = ::lstat(Target.c_str(), &Old) == 0;
  if (Exists && !S_ISREG(Old.st_mode) && !S_ISLNK(Old.st_mode))
    throw TKorvane_Error(Path + ": cannot write the file: " +
                         (S_ISDIR(Old.st_mode) ? "a folder" : "a pipe, socket or device") +
                         " stands at its name");
  const bool Keep_Mode = Exists && S_ISREG(Old.st_mode);
  // Writing past the file-size limit raises SIGXFSZ, which ends the program unless caught:
  // a file that would not fit is not begun.
  struct rlimit Limit {};
  if (::getrlimit(RLIMIT_FSIZE, &Limit) == 0 && Limit.rlim_cur != RLIM_INFINITY &&
      Bytes.size() > Limit.rlim_cur)
    Write_Failed(Path, EFBIG);

  // The temporary file is created with the normal creation mode (0644 less the umask); an
  // existing file's permission bits are then given to it.
  static std::atomic<unsigned> Counter{0};
  std::string Temp;
  int Fd = -1;
  for (int Attempt = 0; Fd < 0; ++Attempt) {
    // A short name: the target's own name may already be as long as the file system allows.
    Temp = Folder + "/korvane-" + std::to_string(::getpid()) + "-" + std::to_string(Counter++) + ".tmp";
    Fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (Fd < 0 && (errno != EEXIST || Attempt == 100))
      Write_Failed(Path, errno);
  }
  bool Ok =
      (!Keep_Mode || ::fchmod(Fd, Old.st_mode & 07777) == 0) && Write_All(Fd, Bytes) && ::fsync(Fd) == 0;
  int Error = Ok ? 0 : errno;
  if (::close(Fd) != 0 && Ok) {
    Ok = false;
    Error = errno;
  }
  if (Ok && ::rename(Temp.c_str(), Target.c_str()) != 0) {
    Ok = false;
    Error = errno;
  }
  if (!Ok) {
    ::unlink(Temp.c_str());
    Write_Failed(Path, Error);
  }
  // Make the rename itself durable; the file is complete either way.
  const int Dir = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Dir >= 0) {
    ::fsync(Dir);
    ::close(Dir);
  }
}

} // namespace

void Write_File_Whole(const std::string& Path, const std::string& Bytes, bool Create_Folder) {
  if (Path.empty())
    Write_Failed(Path, ENOENT);
  Write_Whole(Path, Path, Bytes, Create_Folder);
}

void Write_File_Through_Link(const std::string& Path, const std::string& Bytes, bool Create_Folder) {
  if (Path.empty())
    Write_Failed(Path, ENOENT);
  Write_Whole(Path, Link_Target(Path), Bytes, Create_Folder);
}
