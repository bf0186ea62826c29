// Property-list bytes (XML or binary) to Value through libplist, behind the checks of
// plist_guard.h so that no input can make libplist recurse deeply, expand without bound or
// silently misread a number.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "tavra/base64.h"
#include "tavra/iso8601.h"
#include "tavra/platform/unicode.h"
#include "tavra/value.h"
#include "value/plist_guard.h"
#include "value/plist_handle.h"

namespace tavra {

namespace {

[[noreturn]] void fail(const std::string& why) {
  throw Value::ReadError("invalid property list: " + why);
}

std::string checkedText(const char* data, std::size_t size) {
  std::string text(data == nullptr ? "" : std::string(data, size));
  if (!unicode::isValidUTF8(text)) fail("text is not valid UTF-8");
  return text;
}

// libplist 2.2 keeps one unsigned 64-bit field for every integer and marks those above the
// signed range as 128-bit wide; only its comparison tells the two apart: a node equals a fresh
// integer node (always 64-bit wide) with the same bits exactly when it is a signed value.
Value integer(plist_t node) {
  std::uint64_t bits = 0;
  plist_get_uint_val(node, &bits);
  if (bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return Value(static_cast<std::int64_t>(bits));
  }
  PlistHandle plain(plist_new_uint(bits));
  if (plist_compare_node_value(node, plain.get())) {
    return Value(static_cast<std::int64_t>(bits));  // a negative integer
  }
  // Above the signed range: the nearest real, as the JSON reader does, never a wrapped integer.
  return Value(static_cast<double>(bits));
}

Value date(plist_t node) {
  using namespace std::chrono;
  std::int32_t seconds = 0, micros = 0;
  plist_get_date_val(node, &seconds, &micros);
  // The accessor truncates to 32 bits; the guards let through only dates strictly inside.
  if (seconds == std::numeric_limits<std::int32_t>::min() ||
      seconds == std::numeric_limits<std::int32_t>::max()) {
    fail("date out of range");
  }
  constexpr sys_days reference = sys_days{year{2001} / January / 1};
  return Value(iso8601(Date(reference + std::chrono::seconds(seconds))));
}

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

Value convert(plist_t node, std::size_t depth) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t flag = 0;
      plist_get_bool_val(node, &flag);
      return Value(flag != 0);
    }
    case PLIST_UINT:
      return integer(node);
    case PLIST_REAL: {
      double real = 0;
      plist_get_real_val(node, &real);
      return Value(real);
    }
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return Value(checkedText(text, static_cast<std::size_t>(length)));
    }
    case PLIST_DATE:
      return date(node);
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      return Value(base64::encode(std::string_view(bytes == nullptr ? "" : bytes, length)));
    }
    case PLIST_ARRAY: {
      if (depth >= Value::maxDepth) {
        fail("nesting deeper than " + std::to_string(Value::maxDepth) + " levels");
      }
      Value::Array elements;
      elements.reserve(plist_array_get_size(node));
      plist_array_iter it = nullptr;
      plist_array_new_iter(node, &it);
      std::unique_ptr<void, FreeDeleter> owner(it);
      for (plist_t item = nullptr;;) {
        plist_array_next_item(node, it, &item);
        if (item == nullptr) break;
        elements.push_back(convert(item, depth + 1));
      }
      return Value(std::move(elements));
    }
    case PLIST_DICT: {
      if (depth >= Value::maxDepth) {
        fail("nesting deeper than " + std::to_string(Value::maxDepth) + " levels");
      }
      Value::Object entries;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      std::unique_ptr<void, FreeDeleter> owner(it);
      while (true) {
        char* rawKey = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &rawKey, &item);
        std::unique_ptr<char, FreeDeleter> key(rawKey);
        if (item == nullptr) break;
        std::string name =
            checkedText(key.get(), key ? std::char_traits<char>::length(key.get()) : 0);
        entries.insert_or_assign(std::move(name), convert(item, depth + 1));
      }
      return Value(std::move(entries));
    }
    case PLIST_UID:
      throw Value::ConversionError("uid");
    case PLIST_KEY:
      throw Value::ConversionError("key");
    case PLIST_NONE:
    default:
      throw Value::ConversionError("none");
  }
}

}  // namespace

Value Value::parsePlist(std::string_view bytes) {
  // libplist refuses XML that starts with a UTF-8 byte-order mark; other readers skip it.
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) fail("document too large");
  const auto length = static_cast<std::uint32_t>(bytes.size());
  PlistHandle root;
  if (plist_guard::isBinary(bytes)) {
    plist_guard::checkBinary(bytes);
    plist_from_bin(bytes.data(), length, root.out());
  } else {
    plist_guard::checkXML(bytes);
    plist_from_xml(bytes.data(), length, root.out());
  }
  if (!root) fail("not a well-formed XML or binary property list");
  return convert(root.get(), 0);
}

}  // namespace tavra
