// catalog.json reading and writing.
//
// Reading goes through the library's bounded JSON reader into nlohmann's tree rather than into a
// Value because the catalog format treats a null as an absent key, which Value has no room for;
// the reader refuses nesting deeper than Value::maxDepth as it does for fragments. Only known
// keys are walked (to a depth fixed by the format), so unknown keys are ignored whatever they
// hold. Duplicate keys: the last occurrence wins.
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tavra/catalog.h"
#include "tavra/error.h"
#include "tavra/json.h"
#include "value/json_reader.h"

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

// A text that is not one of the raw texts fails, naming them all in declaration order.
template <typename Enum>
Enum readEnum(const Json& node, const std::string& where) {
  const std::string text = readString(node, where);
  if (auto value = fromRawValue<Enum>(text)) return *value;
  std::string known;
  for (const CaseText<Enum>& entry : RawValues<Enum>::table) {
    known += known.empty() ? "" : ", ";
    known += "\"" + std::string(entry.text) + "\"";
  }
  fail(where, "unknown value " + json::write(Value(text)) + " (expected one of " + known + ")");
}

MergeRule readMergeRule(const Json& node, const std::string& where) {
  expectObject(node, where);
  MergeRule rule;
  rule.path = readString(required(node, "path", where), memberPath(where, "path"));
  if (const Json* strategy = member(node, "strategy")) {
    rule.strategy = readEnum<MergeRule::Strategy>(*strategy, memberPath(where, "strategy"));
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
  output.format =
      readEnum<Output::Format>(required(node, "format", where), memberPath(where, "format"));
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
  harness.status =
      readEnum<Harness::Status>(required(node, "status", where), memberPath(where, "status"));
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

// Writing: one tree in the catalog's own field order, required fields always, optional ones only
// when present. The encoded bytes keep that order; the Value form sorts it as every Value does.
using Ordered = nlohmann::ordered_json;

void put(Ordered& object, const char* key, const std::optional<std::string>& text) {
  if (text) object[key] = *text;
}

void put(Ordered& object, const char* key, const std::optional<std::vector<std::string>>& texts) {
  if (texts) object[key] = *texts;
}

Ordered mergeRuleNode(const MergeRule& rule) {
  Ordered object = Ordered::object();
  object["path"] = rule.path;
  if (rule.strategy) object["strategy"] = rawValue(*rule.strategy);
  put(object, "denies", rule.denies);
  put(object, "matchField", rule.matchField);
  put(object, "order", rule.order);
  return object;
}

Ordered outputNode(const Output& output) {
  Ordered object = Ordered::object();
  object["id"] = output.id;
  object["path"] = output.path;
  object["format"] = rawValue(output.format);
  put(object, "description", output.description);
  put(object, "mode", output.mode);
  if (output.mergeRules) {
    Ordered rules = Ordered::array();
    for (const MergeRule& rule : *output.mergeRules) rules.push_back(mergeRuleNode(rule));
    object["mergeRules"] = std::move(rules);
  }
  put(object, "jsonEncodedKeys", output.jsonEncodedKeys);
  put(object, "forbiddenKeys", output.forbiddenKeys);
  put(object, "internalKeys", output.internalKeys);
  return object;
}

Ordered harnessNode(const Harness& harness) {
  Ordered object = Ordered::object();
  object["id"] = harness.id;
  object["displayName"] = harness.displayName;
  object["vendor"] = harness.vendor;
  object["status"] = rawValue(harness.status);
  Ordered outputs = Ordered::array();
  for (const Output& output : harness.outputs) outputs.push_back(outputNode(output));
  object["outputs"] = std::move(outputs);
  put(object, "notes", harness.notes);
  put(object, "documentation", harness.documentation);
  put(object, "conflictingPreferenceDomains", harness.conflictingPreferenceDomains);
  put(object, "lastReviewed", harness.lastReviewed);
  if (harness.detect) {
    Ordered detect = Ordered::object();
    put(detect, "appBundleIDs", harness.detect->appBundleIDs);
    put(detect, "executables", harness.detect->executables);
    put(detect, "processNames", harness.detect->processNames);
    put(detect, "userConfigPaths", harness.detect->userConfigPaths);
    object["detect"] = std::move(detect);
  }
  return object;
}

Ordered catalogNode(const Catalog& catalog) {
  Ordered object = Ordered::object();
  object["schemaVersion"] = catalog.schemaVersion;
  object["catalogVersion"] = catalog.catalogVersion;
  Ordered harnesses = Ordered::array();
  for (const Harness& harness : catalog.harnesses) harnesses.push_back(harnessNode(harness));
  object["harnesses"] = std::move(harnesses);
  return object;
}

// The tree holds texts, integers, lists and objects only, nested as deep as the format goes.
Value valueOf(const Ordered& node) {
  if (node.is_string()) return Value(node.get<std::string>());
  if (node.is_number_integer()) return Value(node.get<std::int64_t>());
  if (node.is_array()) {
    Value::Array elements;
    elements.reserve(node.size());
    for (const Ordered& element : node) elements.push_back(valueOf(element));
    return Value(std::move(elements));
  }
  Value::Object members;
  for (const auto& [key, member] : node.items()) members.emplace(key, valueOf(member));
  return Value(std::move(members));
}

}  // namespace

Catalog Catalog::decode(std::string_view bytes) {
  Json root;
  try {
    root = json::readDocument(bytes);
  } catch (const Value::ReadError& error) {
    throw DecodeError("cannot decode catalog: " + std::string(error.what()));
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
  return valueOf(catalogNode(*this));
}

std::string Catalog::encode() const {
  std::string compact;
  try {
    compact = catalogNode(*this).dump();
  } catch (const Ordered::type_error&) {
    throw json::WriteError("JSON text is not valid UTF-8");
  }
  // A "/" can stand only inside a string (no other JSON token has one, and no byte of a UTF-8
  // sequence but "/" itself is 0x2F), so escaping every one escapes exactly the texts' slashes.
  std::string encoded;
  encoded.reserve(compact.size() + compact.size() / 16);
  for (const char c : compact) {
    if (c == '/') encoded += '\\';
    encoded += c;
  }
  return encoded;
}

}  // namespace tavra
