// JSON {"rules": [merge rule objects], "values": [fragment values]} -> Merger::merge. Whatever the
// rules and values, the merge must return without failing, give the same result twice, and give
// a lone fragment back unchanged when there are no rules.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/merger.h"
#include "tavra/value.h"

namespace {

std::optional<std::string> text(const tavra::Value& object, std::string_view key) {
  const auto& entries = *object.asObject();
  auto it = entries.find(key);
  if (it == entries.end() || !it->second.isString()) return std::nullopt;
  return *it->second.asString();
}

// The rule objects as the catalog writes them; what is not a text (or a list of texts) is absent.
std::vector<tavra::MergeRule> rulesFrom(const tavra::Value* list) {
  std::vector<tavra::MergeRule> rules;
  if (!list || !list->isArray()) return rules;
  for (const tavra::Value& element : *list->asArray()) {
    if (!element.isObject()) continue;
    tavra::MergeRule rule;
    rule.path = text(element, "path").value_or("");
    if (auto strategy = text(element, "strategy")) {
      rule.strategy = tavra::fromRawValue<tavra::MergeRule::Strategy>(*strategy);
    }
    rule.denies = text(element, "denies");
    rule.matchField = text(element, "matchField");
    if (const tavra::Value* order = element.lookup(tavra::KeyPath("order"));
        order && order->isArray()) {
      std::vector<std::string> texts;
      for (const tavra::Value& entry : *order->asArray()) {
        if (entry.isString()) texts.push_back(*entry.asString());
      }
      rule.order = std::move(texts);
    }
    rules.push_back(std::move(rule));
  }
  return rules;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tavra::Value input;
  try {
    input = tavra::Value::parseJSON(bytes);
  } catch (const tavra::Value::ReadError&) {
    return 0;
  } catch (const tavra::Value::ConversionError&) {
    return 0;
  }
  if (!input.isObject()) return 0;
  const tavra::Merger merger(rulesFrom(input.lookup(tavra::KeyPath("rules"))));
  const tavra::Value* values = input.lookup(tavra::KeyPath("values"));
  if (!values || !values->isArray()) return 0;
  const std::vector<tavra::Value>& fragments = *values->asArray();

  const tavra::Merger::Result result = merger.merge(fragments);
  // JSON holds no NaN, so every value is equal to itself and results can be compared.
  if (!(merger.merge(fragments) == result)) __builtin_trap();
  if (fragments.size() == 1 && !(tavra::Merger({}).merge(fragments).value == fragments.front())) {
    __builtin_trap();
  }
  return 0;
}
