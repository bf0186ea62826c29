// The JSON objects of the inventory records, as status.json holds them.
#include <limits>
#include <stdexcept>

#include "tavra/discovery.h"

namespace tavra {
namespace {

const Value::Object& objectOf(const Value& value, std::string_view what) {
  const Value::Object* object = value.asObject();
  if (!object) throw std::invalid_argument(std::string(what) + ": expected an object");
  return *object;
}

const Value* member(const Value::Object& object, std::string_view key, std::string_view what,
                    bool required) {
  auto found = object.find(key);
  if (found == object.end()) {
    if (required)
      throw std::invalid_argument(std::string(what) + ": missing key " + std::string(key));
    return nullptr;
  }
  return &found->second;
}

std::string text(const Value::Object& object, std::string_view key, std::string_view what) {
  const Value* value = member(object, key, what, true);
  if (!value->isString()) {
    throw std::invalid_argument(std::string(what) + ": " + std::string(key) + " must be a string");
  }
  return *value->asString();
}

std::optional<std::string> optionalText(const Value::Object& object, std::string_view key,
                                        std::string_view what) {
  if (!member(object, key, what, false)) return std::nullopt;
  return text(object, key, what);
}

bool flag(const Value::Object& object, std::string_view key, std::string_view what) {
  const Value* value = member(object, key, what, true);
  if (!value->isBool()) {
    throw std::invalid_argument(std::string(what) + ": " + std::string(key) + " must be a boolean");
  }
  return *value->asBool();
}

template <typename T, typename F>
std::vector<T> list(const Value::Object& object, std::string_view key, std::string_view what,
                    F element) {
  const Value* value = member(object, key, what, true);
  if (!value->isArray()) {
    throw std::invalid_argument(std::string(what) + ": " + std::string(key) + " must be an array");
  }
  std::vector<T> out;
  for (const Value& item : *value->asArray()) out.push_back(element(item));
  return out;
}

template <typename T>
Value arrayOf(const std::vector<T>& items) {
  Value::Array array;
  array.reserve(items.size());
  for (const auto& item : items) array.push_back(toValue(item));
  return array;
}

Value arrayOfTexts(const std::vector<std::string>& items) {
  return Value::Array(items.begin(), items.end());
}

}  // namespace

Value toValue(const Discovery::Installation& installation) {
  Value::Object object{{"kind", installation.kind}, {"path", installation.path}};
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
      {"userConfigs", arrayOfTexts(inventory.userConfigs)},
  };
}

Discovery::Installation installationFromValue(const Value& value) {
  constexpr std::string_view what = "installation";
  const auto& object = objectOf(value, what);
  return {text(object, "path", what), optionalText(object, "user", what),
          optionalText(object, "version", what), text(object, "kind", what)};
}

Discovery::RunningProcess runningProcessFromValue(const Value& value) {
  constexpr std::string_view what = "process";
  const auto& object = objectOf(value, what);
  const Value* pid = member(object, "pid", what, true);
  const std::int64_t* number = pid->asInt();
  if (!number || *number < std::numeric_limits<std::int32_t>::min() ||
      *number > std::numeric_limits<std::int32_t>::max()) {
    throw std::invalid_argument("process: pid must be a 32-bit integer");
  }
  return {static_cast<std::int32_t>(*number), text(object, "user", what),
          text(object, "path", what)};
}

Discovery::HarnessInventory harnessInventoryFromValue(const Value& value) {
  constexpr std::string_view what = "inventory";
  const auto& object = objectOf(value, what);
  Discovery::HarnessInventory inventory;
  inventory.id = text(object, "id", what);
  inventory.displayName = text(object, "displayName", what);
  inventory.catalogStatus = text(object, "catalogStatus", what);
  inventory.installed = flag(object, "installed", what);
  inventory.running = flag(object, "running", what);
  inventory.installations =
      list<Discovery::Installation>(object, "installations", what, installationFromValue);
  inventory.processes =
      list<Discovery::RunningProcess>(object, "processes", what, runningProcessFromValue);
  inventory.userConfigs = list<std::string>(object, "userConfigs", what, [](const Value& item) {
    if (!item.isString()) throw std::invalid_argument("inventory: userConfigs must hold strings");
    return *item.asString();
  });
  return inventory;
}

}  // namespace tavra
