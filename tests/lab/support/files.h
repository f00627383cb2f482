// Files the lab tests write and read back: a scratch directory per test and
// the little-endian fields of the binary outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace labtest {

// A fresh directory named for the running test, removed with all it holds
// when the test ends.
struct TempDir {
  std::filesystem::path path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return (path / name).string(); }
};

// The whole file as bytes ("" when it cannot be opened).
std::string Slurp(const std::string& path);
// Writes `bytes` as the whole file.
void Spit(const std::string& path, const std::string& bytes);

uint32_t Le32(const std::string& b, size_t at);
uint16_t Le16(const std::string& b, size_t at);

}  // namespace labtest
