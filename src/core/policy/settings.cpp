#include "tavra/settings.h"

#include <algorithm>
#include <stdexcept>

namespace tavra {
namespace {

const Value* member(const Value::Object& object, std::string_view key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &found->second;
}

// An interval in whole seconds, raised to `minimum`; no value when `value` has no integer view.
std::optional<double> interval(const Value* value, std::int64_t minimum) {
  if (value == nullptr) return std::nullopt;
  const std::optional<std::int64_t> seconds = value->intValue();
  if (!seconds) return std::nullopt;
  return static_cast<double>(std::max(*seconds, minimum));
}

// The string elements of an array, in order; empty for anything that is not an array.
std::vector<std::string> strings(const Value* value) {
  std::vector<std::string> result;
  if (value == nullptr || !value->isArray()) return result;
  for (const Value& element : *value->asArray()) {
    if (const std::string* text = element.asString()) result.push_back(*text);
  }
  return result;
}

// A catalog location must be an https URL (the scheme exactly as written) or a file URL.
std::optional<URL> catalogLocation(const Value* value) {
  if (value == nullptr || !value->isString()) return std::nullopt;
  std::optional<URL> url = URL::parse(*value->asString());
  if (!url || !(url->scheme() == "https" || url->isFileURL())) return std::nullopt;
  return url;
}

}  // namespace

const URL& TavraSettings::defaultCatalogURL() {
  static const URL url = [] {
    std::optional<URL> parsed = URL::parse(Constants::defaultCatalogURL());
    if (!parsed || parsed->scheme() != "https") {
      throw std::logic_error("the built-in catalog URL is not an https URL: " +
                             Constants::defaultCatalogURL());
    }
    return *parsed;
  }();
  return url;
}

TavraSettings TavraSettings::fromValue(const std::optional<Value>& value) {
  TavraSettings settings;
  if (!value || !value->isObject()) return settings;
  const Value::Object& root = *value->asObject();

  if (auto seconds = interval(member(root, "ReapplyInterval"), 60)) {
    settings.reapplyInterval = *seconds;
  }
  if (auto url = catalogLocation(member(root, "CatalogURL"))) settings.catalogURL = *url;
  if (const Value* pin = member(root, "CatalogPinnedVersion"); pin && pin->isString()) {
    settings.catalogPinnedVersion = *pin->asString();
  }
  if (auto seconds = interval(member(root, "CatalogRefreshInterval"), 300)) {
    settings.catalogRefreshInterval = *seconds;
  }
  settings.catalogTrustedKeys = strings(member(root, "CatalogTrustedKeys"));
  settings.additionalAllowedPaths = strings(member(root, "AdditionalAllowedPaths"));
  for (std::string& id : strings(member(root, "DisabledHarnesses"))) {
    settings.disabledHarnesses.insert(std::move(id));
  }
  if (const Value* dryRun = member(root, "DryRun")) {
    settings.dryRun = dryRun->boolValue().value_or(false);
  }
  return settings;
}

}  // namespace tavra
