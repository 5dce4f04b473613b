#pragma once
// A scratch folder for the image tests: made fresh for each test, removed afterwards.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TScratch_Folder {
public:
  TScratch_Folder() {
    std::string Pattern = (std::filesystem::temp_directory_path() / "korvane-image-XXXXXX").string();
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
