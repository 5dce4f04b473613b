#pragma once
// Opening a file for reading, the one way the core does it: regular files only, and never
// blocking, so that a pipe or a device named as an image, a settings file or a target file
// gives a clear error at once instead of a hang. Errors name the file and the cause.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class TInput_File {
public:
  // Opens Path for reading. Throws TKorvane_Error "PATH: cannot open the file: CAUSE" or
  // "PATH: not a regular file".
  explicit TInput_File(const std::string& Path);
  // As the constructor, but a path that does not exist (or whose folder does not) gives
  // nothing instead of an error.
  static std::optional<TInput_File> Open_If_Exists(const std::string& Path);

  TInput_File(TInput_File&& Other) noexcept;
  TInput_File& operator=(TInput_File&&) = delete;
  TInput_File(const TInput_File&) = delete;
  TInput_File& operator=(const TInput_File&) = delete;
  ~TInput_File();

  // Reads up to Count bytes; fewer only at the end of the file. Throws TKorvane_Error
  // "PATH: cannot read the file: CAUSE".
  size_t Read(void* Buffer, size_t Count);
  // As Read, from byte Offset of the file, without moving the position Read reads from.
  size_t Read_At(void* Buffer, size_t Count, uint64_t Offset);

  uint64_t Size() const { return File_Size; }
  const std::string& Path() const { return Name; }

private:
  struct TMissing {};
  TInput_File(const std::string& Path, TMissing);
  void Open(bool Missing_Is_Error);

  std::string Name;
  int Fd = -1;
  uint64_t File_Size = 0;
};
