#include "tavra/profile_builder.h"

#include "tavra/catalog.h"
#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/platform/digest.h"
#include "tavra/plist.h"

namespace tavra::ProfileBuilder {
namespace {

constexpr std::string_view kUUIDNamespace = "com.zelkorandin.tavra/";

bool startsWithPayload(std::string_view key) {
  return key.starts_with("Payload");
}

// The preference domain of a plain payload file: its name without the last extension, with the
// policy-domain prefix put in front unless it already starts with it.
std::string domainOfFile(std::string_view path) {
  const std::string_view name = path.substr(path.rfind('/') + 1);
  const std::size_t dot = name.rfind('.');
  // A leading dot starts a hidden name, not an extension.
  std::string stem(dot == std::string_view::npos || dot == 0 || name == ".." ? name
                                                                             : name.substr(0, dot));
  if (stem.starts_with(Constants::policyDomainPrefix)) return stem;
  return std::string(Constants::policyDomainPrefix) + stem;
}

Value property(std::string_view title, std::string_view type) {
  return Value::Object{{"title", Value(title)}, {"type", Value(type)}};
}

Value property(std::string_view title, std::string_view type, std::string_view description) {
  Value result = property(title, type);
  (*result.asObject())["description"] = Value(description);
  return result;
}

// "h1: a, b; h2: c": the harnesses that are not planned, with their output ids.
std::string availableHarnesses(const Catalog* catalog) {
  std::string list;
  if (catalog == nullptr) return list;
  for (const Harness& harness : catalog->harnesses) {
    if (harness.status == Harness::Status::planned) continue;
    if (!list.empty()) list += "; ";
    list += harness.id + ": ";
    for (std::size_t i = 0; i < harness.outputs.size(); ++i) {
      if (i > 0) list += ", ";
      list += harness.outputs[i].id;
    }
  }
  return list;
}

}  // namespace

std::string stableUUID(std::string_view text) {
  std::string input(kUUIDNamespace);
  input.append(text);
  std::string bytes = digest::sha256(input).substr(0, 16);
  bytes[6] = static_cast<char>((static_cast<unsigned char>(bytes[6]) & 0x0F) | 0x50);
  bytes[8] = static_cast<char>((static_cast<unsigned char>(bytes[8]) & 0x3F) | 0x80);

  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string uuid;
  uuid.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) uuid += '-';
    const auto byte = static_cast<unsigned char>(bytes[i]);
    uuid += kDigits[byte >> 4];
    uuid += kDigits[byte & 0x0F];
  }
  return uuid;
}

std::string mobileconfig(std::string_view domain, const Value& payload,
                         std::string_view displayName,
                         const std::optional<std::string>& organization,
                         const std::optional<std::string>& description) {
  const Value::Object* fields = payload.asObject();
  if (fields == nullptr) throw TavraError::fragment("payload must be a dictionary");

  const std::string payloadID = std::string(domain) + ".payload";
  const std::string profileID = std::string(domain) + ".profile";

  Value::Object inner = *fields;
  inner["PayloadType"] = Value(domain);
  inner["PayloadIdentifier"] = Value(payloadID);
  inner["PayloadUUID"] = Value(stableUUID(payloadID));
  inner["PayloadVersion"] = Value(1);
  inner["PayloadDisplayName"] = Value(displayName);

  Value::Object profile{
      {"PayloadContent", Value(Value::Array{Value(std::move(inner))})},
      {"PayloadDisplayName", Value(displayName)},
      {"PayloadIdentifier", Value(profileID)},
      {"PayloadType", Value("Configuration")},
      {"PayloadUUID", Value(stableUUID(profileID))},
      {"PayloadVersion", Value(1)},
      {"PayloadScope", Value("System")},
  };
  if (organization) profile["PayloadOrganization"] = Value(*organization);
  if (description) profile["PayloadDescription"] = Value(*description);
  return plist::writeXML(Value(std::move(profile)));
}

std::vector<FragmentPayload> fragmentPayloads(const FileSystem& files, const std::string& path) {
  // A directory, FIFO or device is no fragment file (and could block or never end).
  const fs::ReadResult read = files.readFile(path, {.maxBytes = Constants::maxInputFileBytes});
  if (!read) throw TavraError::io("cannot read " + path);
  return fragmentPayloads(read.bytes, path);
}

std::vector<FragmentPayload> fragmentPayloads(std::string_view bytes, const std::string& path) {
  const Value value = path.ends_with(".json") ? Value::parseJSON(bytes) : Value::parsePlist(bytes);

  const Value::Object* object = value.asObject();
  const Value* content = nullptr;
  if (object != nullptr && !object->empty()) {
    if (const auto found = object->find("PayloadContent"); found != object->end()) {
      content = &found->second;
    }
  }
  if (content == nullptr || !content->isArray()) {
    return {FragmentPayload{domainOfFile(path), value}};
  }

  // A configuration profile: only its policy payloads count, stripped of the profile keys.
  std::vector<FragmentPayload> result;
  for (const Value& element : *content->asArray()) {
    const Value::Object* fields = element.asObject();
    if (fields == nullptr || fields->empty()) continue;
    const auto type = fields->find("PayloadType");
    if (type == fields->end() || !type->second.isString()) continue;
    const std::string& domain = *type->second.asString();
    if (!domain.starts_with(Constants::policyDomainPrefix)) continue;

    Value::Object stripped;
    for (const auto& [key, field] : *fields) {
      if (!startsWithPayload(key)) stripped.emplace(key, field);
    }
    result.push_back(FragmentPayload{domain, Value(std::move(stripped))});
  }
  return result;
}

Value jamfFragmentSchema(const Catalog* catalog) {
  Value priority = property("Priority", "integer",
                            "Higher wins for single values. For restrictions, locks and denies the "
                            "most restrictive value always wins; grant lists (e.g. MCP servers) "
                            "are combined.");
  (*priority.asObject())["default"] = Value(0);

  Value enabled = property("Enabled", "boolean");
  (*enabled.asObject())["default"] = Value(true);

  Value harnesses =
      property("Harness settings (JSON)", "string",
               "JSON object: harness id -> output id -> native settings. Available: " +
                   availableHarnesses(catalog) + ". Secret values may be TAVRA-ENC:v1 envelopes.");
  Value::Object& fields = *harnesses.asObject();
  fields["options"] = Value::Object{{"inputAttributes", Value::Object{{"rows", Value(20)}}}};
  fields["format"] = Value("textarea");

  return Value::Object{
      {"title", Value("Tavra policy fragment")},
      {"description",
       Value("One Tavra policy fragment. Deploy each fragment with its own preference domain: "
             "com.zelkorandin.tavra.policy.<name>.")},
      {"properties",
       Value::Object{
           {"PolicyID", property("Policy ID", "string",
                                 "Name shown in reports. Defaults to the domain suffix.")},
           {"Priority", std::move(priority)},
           {"Description", property("Description", "string")},
           {"Enabled", std::move(enabled)},
           {"HarnessesJSON", std::move(harnesses)},
       }},
  };
}

Value jamfSettingsSchema() {
  auto list = [](std::string_view title, std::string_view description) {
    Value result = property(title, "array", description);
    (*result.asObject())["items"] = Value::Object{{"type", Value("string")}};
    return result;
  };
  return Value::Object{
      {"title", Value("Tavra daemon settings")},
      {"description",
       Value("Settings for the Tavra daemon (preference domain com.zelkorandin.tavra).")},
      {"properties",
       Value::Object{
           {"ReapplyInterval",
            property("Re-apply interval (seconds)", "integer", "Default 900. Minimum 60.")},
           {"CatalogURL",
            property("Catalog URL", "string",
                     "https URL of catalog.json; catalog.json.sig must sit next to it.")},
           {"CatalogPinnedVersion",
            property("Pinned catalog version", "string", "Only accept this catalog version.")},
           {"CatalogRefreshInterval",
            property("Catalog refresh interval (seconds)", "integer", "Default 86400.")},
           {"CatalogTrustedKeys", list("Additional catalog signing keys",
                                       "Base64 Ed25519 public keys (for an org mirror).")},
           {"AdditionalAllowedPaths",
            list("Additional allowed output paths",
                 "Absolute path prefixes (ending in /) Tavra may write to.")},
           {"DisabledHarnesses",
            list("Disabled harnesses",
                 "Harness ids Tavra must stop managing (outputs are restored/removed).")},
           {"DryRun", property("Dry run", "boolean", "Compute and report only; never write.")},
       }},
  };
}

}  // namespace tavra::ProfileBuilder
