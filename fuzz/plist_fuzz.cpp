// Property-list bytes -> Value, checking on the way that the guards' nesting bound holds for
// what libplist actually builds; whatever converts must write as XML (or be refused with the
// writer's error) and read back to a Value that writes the same bytes (byte equality also
// covers NaN, which equals nothing). Only the documented errors may end an input early, and a
// date is never refused behind the guards' backs.
#include <plist/plist.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../src/core/value/plist_guard.h"
#include "../src/core/value/plist_handle.h"
#include "tavra/plist.h"
#include "tavra/value.h"

namespace {

// Container nesting of a libplist tree, without recursion.
std::size_t depthOf(plist_t root) {
  std::size_t deepest = 0;
  std::vector<std::pair<plist_t, std::size_t>> todo{{root, 0}};
  while (!todo.empty()) {
    auto [node, depth] = todo.back();
    todo.pop_back();
    const plist_type type = plist_get_node_type(node);
    if (type == PLIST_ARRAY) {
      deepest = std::max(deepest, depth + 1);
      for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) {
        todo.emplace_back(plist_array_get_item(node, i), depth + 1);
      }
    } else if (type == PLIST_DICT) {
      deepest = std::max(deepest, depth + 1);
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      while (true) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        std::free(key);
        if (item == nullptr) break;
        todo.emplace_back(item, depth + 1);
      }
      std::free(it);
    }
  }
  return deepest;
}

void checkBound(std::string_view bytes) {
  std::size_t bound = 0;
  const bool binary = tavra::plist_guard::isBinary(bytes);
  try {
    bound = binary ? tavra::plist_guard::checkBinary(bytes) : tavra::plist_guard::checkXML(bytes);
  } catch (const tavra::Value::ReadError&) {
    return;
  } catch (const tavra::Value::ConversionError&) {
    return;
  }
  tavra::PlistHandle root;
  const auto length = static_cast<std::uint32_t>(bytes.size());
  if (binary) {
    plist_from_bin(bytes.data(), length, root.out());
  } else {
    plist_from_xml(bytes.data(), length, root.out());
  }
  if (root && depthOf(root.get()) > bound) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  checkBound(bytes);
  tavra::Value value;
  try {
    value = tavra::Value::parsePlist(bytes);
  } catch (const tavra::Value::ReadError& error) {
    // The guards refuse every date libplist cannot hand over whole; the conversion's own check
    // behind them must never be the one that fires (other messages may quote the input).
    const std::string_view message = error.what();
    if (message == "invalid property list: date out of range" ||
        message == "invalid property list: unreadable date") {
      __builtin_trap();
    }
    return 0;
  } catch (const tavra::Value::ConversionError&) {
    return 0;
  }
  std::string xml;
  try {
    xml = tavra::plist::writeXML(value);
  } catch (const tavra::plist::WriteError&) {
    return 0;
  }
  const tavra::Value again = tavra::Value::parsePlist(xml);
  if (tavra::plist::writeXML(again) != xml) __builtin_trap();
  return 0;
}
