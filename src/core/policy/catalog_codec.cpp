// catalog.json reading and writing.
//
// Reading goes through nlohmann's DOM rather than Value::parseJSON because the catalog format
// treats a null as an absent key, which Value has no room for. Only known keys are walked (to a
// depth fixed by the format), so unknown keys are ignored whatever they hold; the DOM itself is
// built and destroyed without recursion. Duplicate keys: the last occurrence wins.
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tavra/catalog.h"
#include "tavra/error.h"
#include "tavra/json.h"

namespace tavra {

namespace {

using Json = nlohmann::json;
using DecodeError = Catalog::DecodeError;

[[noreturn]] void fail(const std::string& where, const std::string& reason) {
  throw DecodeError("cannot decode catalog: " + where + ": " + reason);
}

std::string memberPath(const std::string& where, std::string_view key) {
  return where.empty() ? std::string(key) : where + "." + std::string(key);
}

std::string elementPath(const std::string& where, std::size_t index) {
  return where + "[" + std::to_string(index) + "]";
}

std::string typeMismatch(std::string_view expected, const Json& found) {
  return "expected " + std::string(expected) + ", found " + found.type_name();
}

// The node under `key`, or nullptr when the key is missing or null.
const Json* member(const Json& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

const Json& required(const Json& object, std::string_view key, const std::string& where) {
  const Json* node = member(object, key);
  if (!node)
    fail(where.empty() ? "the document" : where, "missing key \"" + std::string(key) + "\"");
  return *node;
}

void expectObject(const Json& node, const std::string& where) {
  if (!node.is_object())
    fail(where.empty() ? "the document" : where, typeMismatch("an object", node));
}

std::string readString(const Json& node, const std::string& where) {
  if (!node.is_string()) fail(where, typeMismatch("a string", node));
  return node.get<std::string>();
}

std::vector<std::string> readStrings(const Json& node, const std::string& where) {
  if (!node.is_array()) fail(where, typeMismatch("an array", node));
  std::vector<std::string> texts;
  texts.reserve(node.size());
  for (std::size_t i = 0; i < node.size(); ++i)
    texts.push_back(readString(node[i], elementPath(where, i)));
  return texts;
}

std::optional<std::string> optionalString(const Json& object, std::string_view key,
                                          const std::string& where) {
  const Json* node = member(object, key);
  if (!node) return std::nullopt;
  return readString(*node, memberPath(where, key));
}

std::optional<std::vector<std::string>> optionalStrings(const Json& object, std::string_view key,
                                                        const std::string& where) {
  const Json* node = member(object, key);
  if (!node) return std::nullopt;
  return readStrings(*node, memberPath(where, key));
}

// Integer literals in the signed 64-bit range, and whole reals (2.0, 1e3) up to 2^53 in
// magnitude: beyond that a real no longer tells which integer was written (an integer literal too
// large for 64 bits reaches here as a rounded real), so it is refused as out of range.
std::int64_t readInteger(const Json& node, const std::string& where) {
  if (node.is_number_unsigned()) {
    const auto value = node.get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      fail(where, "number out of the 64-bit integer range");
    }
    return static_cast<std::int64_t>(value);
  }
  if (node.is_number_integer()) return node.get<std::int64_t>();
  if (node.is_number_float()) {
    const double real = node.get<double>();
    if (std::trunc(real) != real)
      fail(where, "expected an integer, found a number with a fraction");
    if (std::fabs(real) > 9007199254740992.0) {
      fail(where, "number out of the 64-bit integer range");
    }
    return static_cast<std::int64_t>(real);
  }
  fail(where, typeMismatch("an integer", node));
}

template <typename Enum, typename Parse>
Enum readEnum(const Json& node, const std::string& where, Parse parse,
              std::initializer_list<Enum> cases) {
  const std::string text = readString(node, where);
  if (auto value = parse(text)) return *value;
  std::string known;
  for (Enum c : cases) {
    known += known.empty() ? "" : ", ";
    known += "\"" + std::string(rawValue(c)) + "\"";
  }
  fail(where, "unknown value " + json::write(Value(text)) + " (expected one of " + known + ")");
}

MergeRule readMergeRule(const Json& node, const std::string& where) {
  expectObject(node, where);
  MergeRule rule;
  rule.path = readString(required(node, "path", where), memberPath(where, "path"));
  if (const Json* strategy = member(node, "strategy")) {
    using S = MergeRule::Strategy;
    rule.strategy =
        readEnum<S>(*strategy, memberPath(where, "strategy"), MergeRule::strategyFromRawValue,
                    {S::union_, S::replace, S::anyTrue, S::anyFalse, S::min, S::max, S::intersect,
                     S::strictest});
  }
  rule.denies = optionalString(node, "denies", where);
  rule.matchField = optionalString(node, "matchField", where);
  rule.order = optionalStrings(node, "order", where);
  return rule;
}

Output readOutput(const Json& node, const std::string& where) {
  expectObject(node, where);
  Output output;
  output.id = readString(required(node, "id", where), memberPath(where, "id"));
  output.path = readString(required(node, "path", where), memberPath(where, "path"));
  using F = Output::Format;
  output.format = readEnum<F>(required(node, "format", where), memberPath(where, "format"),
                              Output::formatFromRawValue, {F::json, F::toml, F::plist});
  output.description = optionalString(node, "description", where);
  output.mode = optionalString(node, "mode", where);
  if (const Json* rules = member(node, "mergeRules")) {
    const std::string rulesPath = memberPath(where, "mergeRules");
    if (!rules->is_array()) fail(rulesPath, typeMismatch("an array", *rules));
    std::vector<MergeRule> list;
    list.reserve(rules->size());
    for (std::size_t i = 0; i < rules->size(); ++i) {
      list.push_back(readMergeRule((*rules)[i], elementPath(rulesPath, i)));
    }
    output.mergeRules = std::move(list);
  }
  output.jsonEncodedKeys = optionalStrings(node, "jsonEncodedKeys", where);
  output.forbiddenKeys = optionalStrings(node, "forbiddenKeys", where);
  output.internalKeys = optionalStrings(node, "internalKeys", where);
  return output;
}

Detection readDetection(const Json& node, const std::string& where) {
  expectObject(node, where);
  Detection detection;
  detection.appBundleIDs = optionalStrings(node, "appBundleIDs", where);
  detection.executables = optionalStrings(node, "executables", where);
  detection.processNames = optionalStrings(node, "processNames", where);
  detection.userConfigPaths = optionalStrings(node, "userConfigPaths", where);
  return detection;
}

Harness readHarness(const Json& node, const std::string& where) {
  expectObject(node, where);
  Harness harness;
  harness.id = readString(required(node, "id", where), memberPath(where, "id"));
  harness.displayName =
      readString(required(node, "displayName", where), memberPath(where, "displayName"));
  harness.vendor = readString(required(node, "vendor", where), memberPath(where, "vendor"));
  using S = Harness::Status;
  harness.status =
      readEnum<S>(required(node, "status", where), memberPath(where, "status"),
                  Harness::statusFromRawValue, {S::supported, S::experimental, S::planned});
  const Json& outputs = required(node, "outputs", where);
  const std::string outputsPath = memberPath(where, "outputs");
  if (!outputs.is_array()) fail(outputsPath, typeMismatch("an array", outputs));
  harness.outputs.reserve(outputs.size());
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    harness.outputs.push_back(readOutput(outputs[i], elementPath(outputsPath, i)));
  }
  harness.notes = optionalString(node, "notes", where);
  harness.documentation = optionalStrings(node, "documentation", where);
  harness.conflictingPreferenceDomains =
      optionalStrings(node, "conflictingPreferenceDomains", where);
  harness.lastReviewed = optionalString(node, "lastReviewed", where);
  if (const Json* detect = member(node, "detect")) {
    harness.detect = readDetection(*detect, memberPath(where, "detect"));
  }
  return harness;
}

Catalog readCatalog(const Json& root) {
  expectObject(root, "");
  Catalog catalog;
  catalog.schemaVersion = readInteger(required(root, "schemaVersion", ""), "schemaVersion");
  catalog.catalogVersion = readString(required(root, "catalogVersion", ""), "catalogVersion");
  const Json& harnesses = required(root, "harnesses", "");
  if (!harnesses.is_array()) fail("harnesses", typeMismatch("an array", harnesses));
  catalog.harnesses.reserve(harnesses.size());
  for (std::size_t i = 0; i < harnesses.size(); ++i) {
    catalog.harnesses.push_back(readHarness(harnesses[i], elementPath("harnesses", i)));
  }
  return catalog;
}

// Writing: required fields always, optional ones only when present.
void put(Value::Object& object, const char* key, const std::optional<std::string>& text) {
  if (text) object.emplace(key, Value(*text));
}

Value strings(const std::vector<std::string>& texts) {
  Value::Array elements(texts.begin(), texts.end());
  return Value(std::move(elements));
}

void put(Value::Object& object, const char* key,
         const std::optional<std::vector<std::string>>& texts) {
  if (texts) object.emplace(key, strings(*texts));
}

Value mergeRuleValue(const MergeRule& rule) {
  Value::Object object;
  object.emplace("path", Value(rule.path));
  if (rule.strategy) object.emplace("strategy", Value(rawValue(*rule.strategy)));
  put(object, "denies", rule.denies);
  put(object, "matchField", rule.matchField);
  put(object, "order", rule.order);
  return Value(std::move(object));
}

Value outputValue(const Output& output) {
  Value::Object object;
  object.emplace("id", Value(output.id));
  object.emplace("path", Value(output.path));
  object.emplace("format", Value(rawValue(output.format)));
  put(object, "description", output.description);
  put(object, "mode", output.mode);
  if (output.mergeRules) {
    Value::Array rules;
    rules.reserve(output.mergeRules->size());
    for (const MergeRule& rule : *output.mergeRules) rules.push_back(mergeRuleValue(rule));
    object.emplace("mergeRules", Value(std::move(rules)));
  }
  put(object, "jsonEncodedKeys", output.jsonEncodedKeys);
  put(object, "forbiddenKeys", output.forbiddenKeys);
  put(object, "internalKeys", output.internalKeys);
  return Value(std::move(object));
}

Value harnessValue(const Harness& harness) {
  Value::Object object;
  object.emplace("id", Value(harness.id));
  object.emplace("displayName", Value(harness.displayName));
  object.emplace("vendor", Value(harness.vendor));
  object.emplace("status", Value(rawValue(harness.status)));
  Value::Array outputs;
  outputs.reserve(harness.outputs.size());
  for (const Output& output : harness.outputs) outputs.push_back(outputValue(output));
  object.emplace("outputs", Value(std::move(outputs)));
  put(object, "notes", harness.notes);
  put(object, "documentation", harness.documentation);
  put(object, "conflictingPreferenceDomains", harness.conflictingPreferenceDomains);
  put(object, "lastReviewed", harness.lastReviewed);
  if (harness.detect) {
    Value::Object detect;
    put(detect, "appBundleIDs", harness.detect->appBundleIDs);
    put(detect, "executables", harness.detect->executables);
    put(detect, "processNames", harness.detect->processNames);
    put(detect, "userConfigPaths", harness.detect->userConfigPaths);
    object.emplace("detect", Value(std::move(detect)));
  }
  return Value(std::move(object));
}

}  // namespace

Catalog Catalog::decode(std::string_view bytes) {
  Json root;
  try {
    root = Json::parse(bytes.begin(), bytes.end());
  } catch (const Json::exception& error) {
    std::string message = error.what();
    // Drop nlohmann's "[json.exception.parse_error.101] " tag; keep its position and reason.
    if (auto tag = message.find("] "); tag != std::string::npos && message.front() == '[') {
      message.erase(0, tag + 2);
    }
    throw DecodeError("cannot decode catalog: invalid JSON: " + message);
  }
  Catalog catalog = readCatalog(root);
  if (catalog.schemaVersion > supportedSchemaVersion) {
    throw TavraError::catalog("catalog schemaVersion " + std::to_string(catalog.schemaVersion) +
                              " is newer than supported " + std::to_string(supportedSchemaVersion));
  }
  catalog.validate();
  return catalog;
}

Value Catalog::toValue() const {
  Value::Object object;
  object.emplace("schemaVersion", Value(schemaVersion));
  object.emplace("catalogVersion", Value(catalogVersion));
  Value::Array list;
  list.reserve(harnesses.size());
  for (const Harness& harness : harnesses) list.push_back(harnessValue(harness));
  object.emplace("harnesses", Value(std::move(list)));
  return Value(std::move(object));
}

std::string Catalog::encode(json::WriteOptions options) const {
  return json::write(toValue(), options);
}

}  // namespace tavra
