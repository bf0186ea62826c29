// The JSON objects of the inventory records, as status.json holds them.
#include <limits>

#include "tavra/discovery.h"
#include "tavra/records_json.h"

namespace tavra {
namespace {

using records::Decoder;

template <typename T>
Value arrayOf(const std::vector<T>& items) {
  Value::Array array;
  array.reserve(items.size());
  for (const auto& item : items) array.push_back(toValue(item));
  return array;
}

template <typename T, typename F>
std::vector<T> listOf(const Value::Object& record, std::string_view key, F element) {
  std::vector<T> out;
  for (const Value& item : Decoder::array(record, key)) out.push_back(element(item));
  return out;
}

}  // namespace

Value toValue(const Discovery::Installation& installation) {
  Value::Object object{{"kind", installation.kind.text()}, {"path", installation.path}};
  if (installation.user) object.emplace("user", *installation.user);
  if (installation.version) object.emplace("version", *installation.version);
  return object;
}

Value toValue(const Discovery::RunningProcess& process) {
  return Value::Object{{"path", process.path}, {"pid", process.pid}, {"user", process.user}};
}

Value toValue(const Discovery::HarnessInventory& inventory) {
  return Value::Object{
      {"catalogStatus", inventory.catalogStatus},
      {"displayName", inventory.displayName},
      {"id", inventory.id},
      {"installations", arrayOf(inventory.installations)},
      {"installed", inventory.installed},
      {"processes", arrayOf(inventory.processes)},
      {"running", inventory.running},
      {"userConfigs", Value::Array(inventory.userConfigs.begin(), inventory.userConfigs.end())},
  };
}

Discovery::Installation installationFromValue(const Value& value) {
  const auto& record = Decoder::object(value, "installation");
  return {
      .path = Decoder::string(record, "path"),
      .user = Decoder::optionalString(record, "user"),
      .version = Decoder::optionalString(record, "version"),
      .kind = OpenEnum<Discovery::Installation::Kind>::fromText(Decoder::string(record, "kind")),
  };
}

Discovery::RunningProcess runningProcessFromValue(const Value& value) {
  const auto& record = Decoder::object(value, "process");
  std::int64_t pid = Decoder::integer(record, "pid");
  if (pid < std::numeric_limits<std::int32_t>::min() ||
      pid > std::numeric_limits<std::int32_t>::max()) {
    throw records::DecodingError("pid: not a 32-bit integer");
  }
  return {static_cast<std::int32_t>(pid), Decoder::string(record, "user"),
          Decoder::string(record, "path")};
}

Discovery::HarnessInventory harnessInventoryFromValue(const Value& value) {
  const auto& record = Decoder::object(value, "inventory");
  Discovery::HarnessInventory inventory;
  inventory.id = Decoder::string(record, "id");
  inventory.displayName = Decoder::string(record, "displayName");
  inventory.catalogStatus = Decoder::string(record, "catalogStatus");
  inventory.installed = Decoder::boolean(record, "installed");
  inventory.running = Decoder::boolean(record, "running");
  inventory.installations =
      listOf<Discovery::Installation>(record, "installations", installationFromValue);
  inventory.processes =
      listOf<Discovery::RunningProcess>(record, "processes", runningProcessFromValue);
  inventory.userConfigs = Decoder::strings(record, "userConfigs");
  return inventory;
}

}  // namespace tavra
