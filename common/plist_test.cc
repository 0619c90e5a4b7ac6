#include "common/plist.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>

#include "common/files.h"

namespace quorvel {
namespace {

TEST(PlistString, ReadsXmlAndBinaryLists) {
  const std::string dir = ::testing::TempDir();
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleShortVersionString", plist_new_string("2.0.1"));
  plist_dict_set_item(dict, "CFBundleVersion", plist_new_uint(7));
  char* xml = nullptr;
  uint32_t xmlLength = 0;
  plist_to_xml(dict, &xml, &xmlLength);
  char* binary = nullptr;
  uint32_t binaryLength = 0;
  plist_to_bin(dict, &binary, &binaryLength);
  ASSERT_TRUE(writeFile(dir + "/xml.plist", std::string(xml, xmlLength)));
  ASSERT_TRUE(writeFile(dir + "/bin.plist", std::string(binary, binaryLength)));
  std::free(xml);
  std::free(binary);
  plist_free(dict);
  for (const char* name : {"/xml.plist", "/bin.plist"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(plistString(dir + name, "CFBundleShortVersionString"), "2.0.1");
    EXPECT_FALSE(plistString(dir + name, "CFBundleVersion"));  // not a string
    EXPECT_FALSE(plistString(dir + name, "Missing"));
  }
  EXPECT_FALSE(plistString(dir + "/none.plist", "CFBundleShortVersionString"));
}

}  // namespace
}  // namespace quorvel
