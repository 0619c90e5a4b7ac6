#include "common/plist.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "common/files.h"

namespace quorvel {
namespace {

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};

}  // namespace

std::optional<std::string> plistString(const std::string& path, const std::string& key) {
  const auto bytes = readFile(path);
  if (!bytes || bytes->empty() || bytes->size() > UINT32_MAX) return std::nullopt;
  plist_t parsed = nullptr;
  plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &parsed);
  const std::unique_ptr<void, PlistDeleter> root(parsed);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  const plist_t value = plist_dict_get_item(root.get(), key.c_str());
  if (!value || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
  char* text = nullptr;
  plist_get_string_val(value, &text);
  if (!text) return std::nullopt;
  std::string result(text);
  std::free(text);
  return result;
}

}  // namespace quorvel
