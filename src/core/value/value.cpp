#include "tavra/value.h"

#include <charconv>
#include <cmath>
#include <functional>

#include "tavra/platform/unicode.h"

namespace tavra {

namespace {

void combine(std::size_t& seed, std::size_t h) noexcept {
  seed ^= h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

std::string lowercasedASCII(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A whole decimal integer: an optional sign and one or more ASCII digits, nothing else.
std::optional<std::int64_t> parseDecimal(std::string_view text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Parse with the sign attached so that the smallest integer is reachable.
  std::string signedText = negative ? "-" + std::string(digits) : std::string(digits);
  std::int64_t result = 0;
  auto [end, ec] =
      std::from_chars(signedText.data(), signedText.data() + signedText.size(), result);
  if (ec != std::errc() || end != signedText.data() + signedText.size()) return std::nullopt;
  return result;
}

}  // namespace

namespace {

// Reader messages quote pieces of the input (a token, a number's text), which may be megabytes
// long. What is wrong comes first; the quote is cut so that the message stays fit for a report or
// a log line. The cut falls between characters and is marked with "…".
std::string readableMessage(std::string_view message) {
  constexpr std::size_t maxLength = 512;
  std::string text = unicode::repairedUTF8(message);
  if (text.size() > maxLength) {
    std::size_t cut = maxLength;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += "\xE2\x80\xA6";
  }
  return text;
}

}  // namespace

Value::ReadError::ReadError(std::string_view message)
    : std::runtime_error(readableMessage(message)) {}

Value::ConversionError::ConversionError(std::string typeName)
    : typeName_(std::move(typeName)), description_("unsupported value type: " + typeName_) {}

std::string_view kindName(Value::Kind kind) noexcept {
  switch (kind) {
    case Value::Kind::string:
      return "string";
    case Value::Kind::int_:
      return "int";
    case Value::Kind::double_:
      return "double";
    case Value::Kind::bool_:
      return "bool";
    case Value::Kind::array:
      return "array";
    case Value::Kind::object:
      return "object";
  }
  return "";
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::string:
      return *a.asString() == *b.asString();
    case Value::Kind::int_:
      return *a.asInt() == *b.asInt();
    case Value::Kind::double_:
      return *a.asDouble() == *b.asDouble();
    case Value::Kind::bool_:
      return *a.asBool() == *b.asBool();
    case Value::Kind::array:
      return *a.asArray() == *b.asArray();
    case Value::Kind::object:
      return *a.asObject() == *b.asObject();
  }
  return false;
}

std::size_t Value::hash() const noexcept {
  std::size_t seed = static_cast<std::size_t>(kind());
  switch (kind()) {
    case Kind::string:
      combine(seed, std::hash<std::string>{}(*asString()));
      break;
    case Kind::int_:
      combine(seed, std::hash<std::int64_t>{}(*asInt()));
      break;
    case Kind::double_: {
      double real = *asDouble();
      if (real == 0.0) real = 0.0;  // 0.0 and -0.0 are equal, so they hash alike
      combine(seed, std::hash<double>{}(real));
      break;
    }
    case Kind::bool_:
      combine(seed, *asBool() ? 1 : 2);
      break;
    case Kind::array:
      combine(seed, asArray()->size());
      for (const Value& element : *asArray()) combine(seed, element.hash());
      break;
    case Kind::object:
      // Entries are kept sorted, so hashing in iteration order is independent of insertion order.
      combine(seed, asObject()->size());
      for (const auto& [key, value] : *asObject()) {
        combine(seed, std::hash<std::string>{}(key));
        combine(seed, value.hash());
      }
      break;
  }
  return seed;
}

std::optional<bool> Value::boolValue() const {
  switch (kind()) {
    case Kind::bool_:
      return *asBool();
    case Kind::int_:
      return *asInt() != 0;
    case Kind::string: {
      const std::string text = lowercasedASCII(*asString());
      if (text == "true" || text == "yes" || text == "1") return true;
      if (text == "false" || text == "no" || text == "0") return false;
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::int64_t> Value::intValue() const {
  switch (kind()) {
    case Kind::int_:
      return *asInt();
    case Kind::double_: {
      const double real = *asDouble();
      if (!std::isfinite(real) || std::trunc(real) != real) return std::nullopt;
      // -2^63 is exactly representable; 2^63 is the first real out of range.
      if (real < -9223372036854775808.0 || real >= 9223372036854775808.0) return std::nullopt;
      return static_cast<std::int64_t>(real);
    }
    case Kind::string:
      return parseDecimal(*asString());
    default:
      return std::nullopt;
  }
}

std::optional<std::string> Value::stringValue() const {
  if (const auto* text = asString()) return *text;
  return std::nullopt;
}

std::optional<Value::Array> Value::arrayValue() const {
  if (const auto* elements = asArray()) return *elements;
  return std::nullopt;
}

std::optional<Value::Object> Value::objectValue() const {
  if (const auto* entries = asObject()) return *entries;
  return std::nullopt;
}

const Value* Value::lookup(const KeyPath& path) const noexcept {
  const Value* node = this;
  for (const std::string& component : path.components) {
    const Object* entries = node->asObject();
    if (entries == nullptr) return nullptr;
    auto found = entries->find(component);
    if (found == entries->end()) return nullptr;
    node = &found->second;
  }
  return node;
}

std::optional<Value> Value::operator[](const KeyPath& path) const {
  if (const Value* node = lookup(path)) return *node;
  return std::nullopt;
}

namespace {

Value storing(const Value& base, const std::vector<std::string>& components, std::size_t index,
              Value newValue) {
  Value::Object entries = base.isObject() ? *base.asObject() : Value::Object{};
  const std::string& key = components[index];
  if (index + 1 == components.size()) {
    entries.insert_or_assign(key, std::move(newValue));
  } else {
    auto found = entries.find(key);
    const Value child = found != entries.end() ? found->second : Value(Value::Object{});
    entries.insert_or_assign(key, storing(child, components, index + 1, std::move(newValue)));
  }
  return Value(std::move(entries));
}

}  // namespace

Value Value::setting(std::optional<Value> newValue, const KeyPath& path) const {
  const auto& components = path.components;
  if (components.empty()) return newValue ? std::move(*newValue) : *this;
  if (newValue) return storing(*this, components, 0, std::move(*newValue));

  // Removal: every node before the last component must be an existing object.
  if (!isObject()) return *this;
  const Value* parent = this;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    const Object* entries = parent->asObject();
    auto found = entries->find(components[i]);
    if (found == entries->end() || !found->second.isObject()) return *this;
    parent = &found->second;
  }
  if (parent->asObject()->count(components.back()) == 0) return *this;

  Value result = *this;
  Value* node = &result;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    node = &node->asObject()->find(components[i])->second;
  }
  node->asObject()->erase(components.back());
  return result;
}

namespace {

// Mends in place: nearly always every text is well-formed and nothing changes.
void makeReadable(Value& value) {
  if (auto* elements = value.asArray()) {
    for (Value& element : *elements) makeReadable(element);
    return;
  }
  if (auto* entries = value.asObject()) {
    bool keysReadable = true;
    for (auto& [key, member] : *entries) {
      makeReadable(member);
      keysReadable = keysReadable && unicode::isValidUTF8(key);
    }
    if (keysReadable) return;
    Value::Object mended;
    for (auto& [key, member] : *entries) {
      mended.emplace(unicode::isValidUTF8(key) ? key : unicode::repairedUTF8(key),
                     std::move(member));
    }
    *entries = std::move(mended);
    return;
  }
  if (const auto* text = value.asString(); text && !unicode::isValidUTF8(*text)) {
    value = Value(unicode::repairedUTF8(*text));
  }
}

}  // namespace

Value withReadableText(Value value) {
  makeReadable(value);
  return value;
}

}  // namespace tavra
