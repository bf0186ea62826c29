// Property-list bytes (XML or binary) to Value through libplist, behind the checks of
// plist_guard.h so that no input can make libplist recurse deeply, expand without bound or
// silently misread a number.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

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

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

// libplist 2.2 hands a date over only as 32-bit seconds, but keeps the real number of seconds
// since 2001-01-01 that it read, and its binary writer puts that real out whole: "bplist00", then
// the date object, the marker 0x33 and the big-endian IEEE 754 double.
double dateSeconds(plist_t node) {
  PlistHandle copy(plist_copy(node));
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(copy.get(), &raw, &length);
  const std::unique_ptr<char, FreeDeleter> owner(raw);
  if (raw == nullptr || length < 17 || static_cast<unsigned char>(raw[8]) != 0x33) {
    fail("unreadable date");
  }
  std::uint64_t bits = 0;
  for (std::size_t i = 9; i < 17; ++i) bits = (bits << 8) | static_cast<unsigned char>(raw[i]);
  return std::bit_cast<double>(bits);
}

// Whole seconds (fractions dropped toward the past), for every date with a four-digit year; the
// guards have refused the others already.
Value date(plist_t node) {
  const double seconds = dateSeconds(node);
  if (!(seconds >= plist_guard::minDateSeconds && seconds < plist_guard::endDateSeconds)) {
    fail("date out of range");
  }
  using namespace std::chrono;
  constexpr sys_seconds reference = sys_days{year{2001} / January / 1};
  return Value(
      iso8601(reference + std::chrono::seconds(static_cast<std::int64_t>(std::floor(seconds)))));
}

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
        // Keys mostly come in order: the end is the place to look first.
        entries.insert_or_assign(entries.end(), std::move(name), convert(item, depth + 1));
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
    std::vector<plist_guard::Replacement> replacements;
    plist_guard::checkXML(bytes, replacements);
    if (replacements.empty()) {
      plist_from_xml(bytes.data(), length, root.out());
    } else {
      const std::string mended = plist_guard::replaced(bytes, replacements);
      plist_from_xml(mended.data(), static_cast<std::uint32_t>(mended.size()), root.out());
    }
  }
  if (!root) fail("not a well-formed XML or binary property list");
  return convert(root.get(), 0);
}

}  // namespace tavra
