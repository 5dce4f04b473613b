#pragma once
// Whole files as strings, for tests that write a file and read it back, and a scratch folder
// made fresh for a test and removed afterwards.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

inline void Put(const std::filesystem::path& Path, const std::string& Bytes) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out << Bytes;
}

inline std::string Get(const std::filesystem::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

class TScratch_Folder {
public:
  // A new empty folder in the temporary folder, named Prefix and six random characters.
  explicit TScratch_Folder(const std::string& Prefix = "korvane-test") {
    std::string Pattern = (std::filesystem::temp_directory_path() / (Prefix + "-XXXXXX")).string();
    if (!::mkdtemp(Pattern.data()))
      throw std::runtime_error("cannot create a scratch folder");
    Folder = Pattern;
  }
  ~TScratch_Folder() {
    std::error_code Ignored;
    std::filesystem::remove_all(Folder, Ignored);
  }
  TScratch_Folder(const TScratch_Folder&) = delete;
  TScratch_Folder& operator=(const TScratch_Folder&) = delete;

  std::string Path(const std::string& Name) const { return (Folder / Name).string(); }
  // Writes Bytes as file Name and returns its path.
  std::string Write(const std::string& Name, const std::string& Bytes) const {
    const std::string File_Path = Path(Name);
    std::ofstream File(File_Path, std::ios::binary | std::ios::trunc);
    File.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    if (!File)
      throw std::runtime_error("cannot write " + File_Path);
    return File_Path;
  }

  std::filesystem::path Folder;
};
