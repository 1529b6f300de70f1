#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "vorpel/io/read_file.hpp"

namespace {

TEST(ReadFile, ReadsTheExactBytes) {
  const std::string path = ::testing::TempDir() + "read_file_test.bin";
  std::string content("a\0b\xff", 4);
  std::ofstream(path, std::ios::binary) << content;
  auto got = vorpel::io::read_file(path);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(std::string(got->begin(), got->end()), content);
  std::remove(path.c_str());
}

TEST(ReadFile, RendersOperatingSystemErrors) {
  auto missing = vorpel::io::read_file("/nonexistent/dir/model.trov");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().text, "No such file or directory (os error 2)");
  auto dir = vorpel::io::read_file("/");
  ASSERT_FALSE(dir.has_value());
  EXPECT_EQ(dir.error().text, "Is a directory (os error 21)");
}

TEST(ReadFile, RejectsAnEmbeddedNul) {
  auto got = vorpel::io::read_file(std::string("/etc/hostname\0.trov", 19));
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().text, "file name contained an unexpected NUL byte");
}

}  // namespace
