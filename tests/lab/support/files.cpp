#include "support/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace labtest {

TempDir::TempDir() {
  // Suite and test name with the process ID: each test runs in its own
  // process, possibly beside the same test of another build.
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string("vhublab-") + std::to_string(::getpid()) + "-" + test->test_suite_name() + "." +
                     test->name();
  for (char& c : name)
    if (c == '/') c = '_';  // parameterised names
  path = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(path);
}

TempDir::~TempDir() { std::filesystem::remove_all(path); }

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

uint32_t Le32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(b[at + i]);
  return v;
}

uint16_t Le16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8)); }

}  // namespace labtest
