#include "tavra/status_report.h"

#include "tavra/error.h"

namespace tavra {
namespace {

using records::Decoder;

Value texts(const std::vector<std::string>& items) {
  return Value::Array(items.begin(), items.end());
}

// Members are put in place one by one: a braced list would copy every list once more.
Value harnessStatusValue(const StatusReport::HarnessStatus& status) {
  Value::Object object;
  object.emplace("errors", texts(status.errors));
  object.emplace("fragments", texts(status.fragments));
  object.emplace("id", status.id);
  object.emplace("outputs", texts(status.outputs));
  object.emplace("state", status.state.text());
  object.emplace("warnings", texts(status.warnings));
  return object;
}

StatusReport::HarnessStatus harnessStatusFromValue(const Value& value) {
  const auto& record = Decoder::object(value, "harness status");
  return {
      .id = Decoder::string(record, "id"),
      .state = OpenEnum<StatusReport::HarnessState>::fromText(Decoder::string(record, "state")),
      .fragments = Decoder::strings(record, "fragments"),
      .outputs = Decoder::strings(record, "outputs"),
      .warnings = Decoder::strings(record, "warnings"),
      .errors = Decoder::strings(record, "errors"),
  };
}

}  // namespace

std::string StatusReport::summary() const {
  std::string managed;
  bool any = false;
  for (const auto& harness : harnesses) {
    if (harness.state != HarnessState::managed) continue;
    if (any) managed += ",";
    managed += harness.id;
    any = true;
  }
  return std::string(rawValue(health)) + "; catalog " + catalogVersion.value_or("none") +
         "; managed: " + (any ? managed : "none");
}

Value StatusReport::toValue() const {
  Value::Array harnessValues;
  for (const auto& harness : harnesses) harnessValues.push_back(harnessStatusValue(harness));
  Value::Array changeValues;
  for (const auto& change : changes) changeValues.push_back(change.encode());
  Value::Object errorValues;
  for (const auto& [domain, text] : fragmentErrors) errorValues.emplace(domain, text);

  Value::Object object;
  object.emplace("changes", std::move(changeValues));
  object.emplace("dryRun", dryRun);
  object.emplace("errors", texts(errors));
  object.emplace("fragmentErrors", std::move(errorValues));
  object.emplace("fragments", texts(fragments));
  object.emplace("harnesses", std::move(harnessValues));
  object.emplace("health", rawValue(health));
  object.emplace("tavraVersion", tavraVersion);
  object.emplace("timestamp", records::Encoder::date(timestamp));
  if (catalogVersion) object.emplace("catalogVersion", *catalogVersion);
  if (inventory) {
    Value::Array inventoryValues;
    for (const auto& entry : *inventory) inventoryValues.push_back(tavra::toValue(entry));
    object.emplace("inventory", std::move(inventoryValues));
  }
  return object;
}

std::string StatusReport::encode() const {
  return records::encoder(withReadableText(toValue()));
}

StatusReport StatusReport::fromValue(const Value& value) {
  const auto& record = Decoder::object(value, "status report");
  StatusReport report;
  report.tavraVersion = Decoder::string(record, "tavraVersion");
  report.timestamp = Decoder::date(record, "timestamp");
  std::string health = Decoder::string(record, "health");
  auto parsed = fromRawValue<Health>(health);
  if (!parsed) throw records::DecodingError("health: unknown value " + health);
  report.health = *parsed;
  report.dryRun = Decoder::boolean(record, "dryRun");
  report.catalogVersion = Decoder::optionalString(record, "catalogVersion");
  report.fragments = Decoder::strings(record, "fragments");
  for (auto& [domain, text] : Decoder::stringMap(record, "fragmentErrors")) {
    report.fragmentErrors.emplace(domain, std::move(text));
  }
  for (const Value& item : Decoder::array(record, "harnesses")) {
    report.harnesses.push_back(harnessStatusFromValue(item));
  }
  for (const Value& item : Decoder::array(record, "changes")) {
    report.changes.push_back(FileApplier::Change::decode(item));
  }
  report.errors = Decoder::strings(record, "errors");
  if (auto items = Decoder::optionalArray(record, "inventory")) {
    report.inventory.emplace();
    for (const Value& item : items->get()) {
      report.inventory->push_back(harnessInventoryFromValue(item));
    }
  }
  return report;
}

StatusReport StatusReport::decode(std::string_view bytes) {
  return fromValue(records::decoder(bytes));
}

StatusReport StatusReport::load(const FileSystem& files, const std::string& path) {
  // Only a regular file is read, so a FIFO at the path cannot block.
  const fs::ReadResult read = files.readFile(path, {.maxBytes = Constants::maxInputFileBytes});
  if (!read) throw TavraError::io("no status at " + path);
  return decode(read.bytes);
}

}  // namespace tavra
