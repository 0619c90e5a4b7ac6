#include "common/files.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(JoinPath, OneSlashBetweenTheParts) {
  struct Case {
    const char* base;
    const char* name;
    const char* joined;
  };
  const Case cases[] = {
      {"/tmp/s", "Data", "/tmp/s/Data"},
      {"/tmp/s/", "data-location", "/tmp/s/data-location"},
      {"/tmp/s//", "/x", "/tmp/s/x"},
      {"rel", "a/b", "rel/a/b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.name);
    EXPECT_EQ(joinPath(c.base, c.name), c.joined);
  }
}

TEST(Files, ReadWriteAndSize) {
  const std::string path = testing::TempDir() + "/files_test.bin";
  const std::string bytes("a\0b\nc", 5);
  ASSERT_TRUE(writeFile(path, bytes));
  EXPECT_EQ(readFile(path), bytes);
  EXPECT_EQ(fileSize(path), 5u);
  EXPECT_FALSE(readFile(path + ".missing").has_value());
  EXPECT_FALSE(fileSize(path + ".missing").has_value());
  EXPECT_TRUE(isDirectory(testing::TempDir()));
  EXPECT_FALSE(isDirectory(path));
}

}  // namespace
}  // namespace quorvel
