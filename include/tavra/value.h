// Value: the JSON-like tree of every policy payload, merged configuration and rendered document.
//
// Six cases, in this order: string, int (signed 64-bit), double, bool, array and object (text
// keys, order not significant; kept sorted by code point so iteration is deterministic). There is
// no null, date or data case. Equality is exact per case (int 1 differs from double 1.0) and the
// hash agrees with it. Values are plain data: copies are independent, nothing is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "tavra/key_path.h"

namespace tavra {

class Value {
 public:
  using Array = std::vector<Value>;
  using Object = std::map<std::string, Value, std::less<>>;

  // Case names follow the model; a trailing underscore marks the C++ keywords.
  enum class Kind { string, int_, double_, bool_, array, object };

  // The error of converting a reader's value into a Value: one case, "unsupported", naming the
  // type that has no Value form ("null" for a null).
  class ConversionError : public std::exception {
   public:
    explicit ConversionError(std::string typeName);
    const std::string& typeName() const noexcept { return typeName_; }
    const char* what() const noexcept override { return description_.c_str(); }
    friend bool operator==(const ConversionError& a, const ConversionError& b) noexcept {
      return a.typeName_ == b.typeName_;
    }

   private:
    std::string typeName_;
    std::string description_;
  };

  // A reader's own failure on malformed bytes (bad syntax, bad UTF-8, nesting too deep, ...).
  // Messages quote pieces of the input; ill-formed UTF-8 in them is replaced by U+FFFD, so the
  // text can always be reported (logged, written into a JSON status file).
  class ReadError : public std::runtime_error {
   public:
    explicit ReadError(std::string_view message);
  };

  // Documents nested deeper than this are refused by the readers, so that no recursive walk of a
  // Value (copy, compare, destroy, write) can exhaust the stack.
  static constexpr std::size_t maxDepth = 512;

  Value() : storage_(Object{}) {}
  Value(std::string text) : storage_(std::move(text)) {}         // NOLINT
  Value(std::string_view text) : storage_(std::string(text)) {}  // NOLINT
  Value(const char* text) : storage_(std::string(text)) {}       // NOLINT
  Value(bool flag) : storage_(flag) {}                           // NOLINT
  Value(double real) : storage_(real) {}                         // NOLINT
  Value(Array elements) : storage_(std::move(elements)) {}       // NOLINT
  Value(Object entries) : storage_(std::move(entries)) {}        // NOLINT
  template <typename I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool> &&
                                             (sizeof(I) < 8 || std::is_signed_v<I>),
                                         int> = 0>
  Value(I integer) : storage_(static_cast<std::int64_t>(integer)) {}  // NOLINT

  Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
  bool isString() const noexcept { return kind() == Kind::string; }
  bool isInt() const noexcept { return kind() == Kind::int_; }
  bool isDouble() const noexcept { return kind() == Kind::double_; }
  bool isBool() const noexcept { return kind() == Kind::bool_; }
  bool isArray() const noexcept { return kind() == Kind::array; }
  bool isObject() const noexcept { return kind() == Kind::object; }

  // Direct access to a case's payload without copying; nullptr for any other case.
  const std::string* asString() const noexcept { return std::get_if<std::string>(&storage_); }
  const std::int64_t* asInt() const noexcept { return std::get_if<std::int64_t>(&storage_); }
  const double* asDouble() const noexcept { return std::get_if<double>(&storage_); }
  const bool* asBool() const noexcept { return std::get_if<bool>(&storage_); }
  const Array* asArray() const noexcept { return std::get_if<Array>(&storage_); }
  Array* asArray() noexcept { return std::get_if<Array>(&storage_); }
  const Object* asObject() const noexcept { return std::get_if<Object>(&storage_); }
  Object* asObject() noexcept { return std::get_if<Object>(&storage_); }

  // Typed views: a value for the cases each accepts, no value otherwise.
  // boolValue also reads int (non-zero) and the texts true/yes/1 and false/no/0 in any case;
  // intValue also reads whole reals in range and plain decimal texts.
  std::optional<bool> boolValue() const;
  std::optional<std::int64_t> intValue() const;
  std::optional<std::string> stringValue() const;
  std::optional<Array> arrayValue() const;
  std::optional<Object> objectValue() const;

  // The node at a path, walking objects only; the value itself for an empty path.
  const Value* lookup(const KeyPath& path) const noexcept;
  std::optional<Value> operator[](const KeyPath& path) const;

  // A copy with the node at `path` replaced by `newValue`, or removed when it is absent.
  Value setting(std::optional<Value> newValue, const KeyPath& path) const;

  // JSON text (top-level fragments allowed) to a Value. Integers in the signed 64-bit range
  // become int, every other number double. Throws ReadError for malformed text and
  // ConversionError ("null") for a null anywhere.
  static Value parseJSON(std::string_view bytes);
  // An XML or binary property list to a Value: booleans, signed integers, reals (also whole
  // ones), text, arrays and dictionaries keep their case; dates become ISO 8601 UTC text, data
  // its padded base64. Throws ReadError for malformed bytes, ConversionError for other types.
  static Value parsePlist(std::string_view bytes);

  std::size_t hash() const noexcept;

  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  std::variant<std::string, std::int64_t, double, bool, Array, Object> storage_;
};

// Human-readable name of a case ("string", "int", "double", "bool", "array", "object").
std::string_view kindName(Value::Kind kind) noexcept;

// A copy for people and tools to read: every text and key that is not well-formed UTF-8 (a user's
// folder or executable name, an error quoting one) shows U+FFFD in place of the bad bytes, so one
// odd name can never make a whole report unwritable.
Value withReadableText(Value value);

}  // namespace tavra

template <>
struct std::hash<tavra::Value> {
  std::size_t operator()(const tavra::Value& value) const noexcept { return value.hash(); }
};
