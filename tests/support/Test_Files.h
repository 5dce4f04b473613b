#pragma once
// Whole files as strings, for tests that write a file and read it back.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

inline void Put(const std::filesystem::path& Path, const std::string& Bytes) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out << Bytes;
}

inline std::string Get(const std::filesystem::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}
