// The TOML byte form. Keys are visited in code-point order of their NFC form (ties, which only
// distinct spellings of one canonical key can produce, fall back to the raw bytes), so the same
// value always gives the same bytes.
#include "tavra/toml_writer.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "tavra/error.h"
#include "tavra/json.h"
#include "tavra/platform/unicode.h"
#include "value/quoting.h"

namespace tavra {

namespace {

constexpr std::string_view header =
    "# Managed by Tavra (com.zelkorandin.tavra). Local changes are overwritten.\n";

using Entry = std::pair<const std::string, Value>;

bool isASCII(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The entries of a table in the writer's key order.
std::vector<const Entry*> sortedEntries(const Value::Object& entries) {
  std::vector<const Entry*> sorted;
  sorted.reserve(entries.size());
  bool allASCII = true;
  for (const Entry& entry : entries) {
    sorted.push_back(&entry);
    allASCII = allASCII && isASCII(entry.first);
  }
  // std::map already orders by bytes, which is code-point order; NFC only matters beyond ASCII.
  if (allASCII) return sorted;
  std::vector<std::pair<std::string, const Entry*>> keyed;
  keyed.reserve(sorted.size());
  for (const Entry* entry : sorted) keyed.emplace_back(unicode::normalizeNFC(entry->first), entry);
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < keyed.size(); ++i) sorted[i] = keyed[i].second;
  return sorted;
}

bool isArrayOfTables(const Value& value) noexcept {
  const auto* elements = value.asArray();
  return elements && !elements->empty() &&
         std::all_of(elements->begin(), elements->end(),
                     [](const Value& element) { return element.isObject(); });
}

bool isPlain(const Value& value) noexcept {
  return !value.isObject() && !isArrayOfTables(value);
}

std::string headerPath(const std::vector<std::string>& path) {
  std::string text;
  for (const std::string& component : path) {
    if (!text.empty()) text += '.';
    text += TOMLWriter::quoteKey(component);
  }
  return text;
}

void writeTable(const Value::Object& entries, std::vector<std::string>& path, std::string& out) {
  const auto sorted = sortedEntries(entries);
  for (const Entry* entry : sorted) {
    if (!isPlain(entry->second)) continue;
    out += TOMLWriter::quoteKey(entry->first);
    out += " = ";
    out += TOMLWriter::inline_(entry->second);
    out += '\n';
  }
  for (const Entry* entry : sorted) {
    const auto* child = entry->second.asObject();
    if (!child) continue;
    path.push_back(entry->first);
    // A table holding only tables (or arrays of tables) needs no header of its own.
    const bool onlyTables =
        !child->empty() && std::all_of(child->begin(), child->end(), [](const Entry& e) {
          return e.second.isObject() || isArrayOfTables(e.second);
        });
    if (!onlyTables) out += "\n[" + headerPath(path) + "]\n";
    writeTable(*child, path, out);
    path.pop_back();
  }
  for (const Entry* entry : sorted) {
    if (!isArrayOfTables(entry->second)) continue;
    path.push_back(entry->first);
    const std::string line = "\n[[" + headerPath(path) + "]]\n";
    for (const Value& element : *entry->second.asArray()) {
      out += line;
      writeTable(*element.asObject(), path, out);
    }
    path.pop_back();
  }
}

void writeInline(const Value& value, std::string& out) {
  switch (value.kind()) {
    case Value::Kind::string:
      out += TOMLWriter::quoteString(*value.asString());
      return;
    case Value::Kind::int_:
      out += std::to_string(*value.asInt());
      return;
    case Value::Kind::double_: {
      const double real = *value.asDouble();
      if (std::isnan(real)) {
        out += "nan";
      } else if (std::isinf(real)) {
        out += real > 0 ? "inf" : "-inf";
      } else {
        out += json::realText(real);  // already carries ".0" where it has neither "." nor "e"
      }
      return;
    }
    case Value::Kind::bool_:
      out += *value.asBool() ? "true" : "false";
      return;
    case Value::Kind::array: {
      out += '[';
      bool first = true;
      for (const Value& element : *value.asArray()) {
        if (!first) out += ", ";
        first = false;
        writeInline(element, out);
      }
      out += ']';
      return;
    }
    case Value::Kind::object: {
      out += "{ ";
      bool first = true;
      for (const Entry* entry : sortedEntries(*value.asObject())) {
        if (!first) out += ", ";
        first = false;
        out += TOMLWriter::quoteKey(entry->first);
        out += " = ";
        writeInline(entry->second, out);
      }
      out += " }";
      return;
    }
  }
}

}  // namespace

std::string TOMLWriter::write(const Value& value) {
  const auto* root = value.asObject();
  if (!root) throw TavraError::render("TOML root must be a table");
  std::string out(header);
  std::vector<std::string> path;
  writeTable(*root, path, out);
  return out;
}

std::string TOMLWriter::inline_(const Value& value) {
  std::string out;
  writeInline(value, out);
  return out;
}

std::string TOMLWriter::quoteString(std::string_view text) {
  return detail::quoted(text, [](std::string& out, unsigned char c) {
    static constexpr char hex[] = "0123456789ABCDEF";
    out += "\\u00";
    out += hex[c >> 4];
    out += hex[c & 0xf];
  });
}

std::string TOMLWriter::quoteKey(std::string_view key) {
  const bool bare = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
  return bare ? std::string(key) : quoteString(key);
}

}  // namespace tavra
