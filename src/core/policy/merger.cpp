// The merge of several fragments' values for one output, then its deny rules.
//
// Values are passed down the recursion as pointers into the callers' trees, so nothing is copied
// until a result is built. union, intersect and the deny steps test membership with hash sets;
// the sets, their look-ahead and the grouping of object keys are in flat_set.h and key_groups.h.
#include "tavra/merger.h"

#include <algorithm>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "policy/flat_set.h"
#include "policy/key_groups.h"
#include "tavra/control_escape.h"
#include "value/quoting.h"

namespace tavra {

namespace {

using Values = std::span<const Value* const>;

struct ValueHash {
  std::size_t operator()(const Value& value) const noexcept { return value.hash(); }
};
using ValueSet = detail::FlatSet<Value, ValueHash>;
using TextSet = detail::FlatSet<std::string, std::hash<std::string_view>>;

// The five kinds of the type check: numbers (int and double) count as one.
int typeKind(const Value& value) noexcept {
  switch (value.kind()) {
    case Value::Kind::string:
      return 0;
    case Value::Kind::int_:
    case Value::Kind::double_:
      return 1;
    case Value::Kind::bool_:
      return 2;
    case Value::Kind::array:
      return 3;
    case Value::Kind::object:
      return 4;
  }
  return 0;
}

Value unite(const Values& arrays) {
  std::size_t total = 0;
  for (const Value* array : arrays) total += array->asArray()->size();
  ValueSet seen(total);
  Value::Array result;
  result.reserve(total);
  for (const Value* array : arrays) {
    seen.insertEach(*array->asArray(), [&](const Value& element) { result.push_back(element); });
  }
  return Value(std::move(result));
}

// A text written between double quotes with the usual backslash escapes; other control
// characters as \u{X} in lower-case hex without leading zeros.
std::string quoted(std::string_view text) {
  return detail::quoted(text,
                        [](std::string& out, unsigned char c) { appendControlEscape(out, c); });
}

// One merge() call: the rules (with their patterns parsed once) and the warnings it collects.
class Run {
 public:
  Run(const std::vector<MergeRule>& rules, std::vector<std::string>& warnings)
      : rules_(rules), warnings_(warnings) {
    patterns_.reserve(rules.size());
    for (const MergeRule& rule : rules) patterns_.emplace_back(rule.path);
  }

  // Merges the values at path_, the path of the node being merged.
  Value mergeValues(const Values& values) {
    if (const MergeRule* rule = ruleFor(path_)) {
      if (auto merged = apply(*rule->strategy, rule->order, values)) return *merged;
    }
    if (values.size() == 1) return *values.front();
    const auto allOf = [&](Value::Kind kind) {
      return std::all_of(values.begin(), values.end(),
                         [kind](const Value* v) { return v->kind() == kind; });
    };
    if (allOf(Value::Kind::object)) return mergeObjects(values);
    if (allOf(Value::Kind::array)) return unite(values);
    const int first = typeKind(*values.front());
    if (std::any_of(values.begin(), values.end(),
                    [first](const Value* v) { return typeKind(*v) != first; })) {
      warn(path_, "fragments disagree on the value type; using the highest-priority value");
    }
    return *values.front();
  }

  void applyDenies(Value& value) {
    for (const MergeRule& rule : rules_) {
      if (rule.denies) applyDeny(rule, value);
    }
  }

 private:
  const MergeRule* ruleFor(const KeyPath& path) const noexcept {
    for (std::size_t i = 0; i < rules_.size(); ++i) {
      if (rules_[i].strategy && Merger::matches(patterns_[i], path)) return &rules_[i];
    }
    return nullptr;
  }

  Value mergeObjects(Values values) {
    // Keys of the first value in order, then each later value's new keys in order; this order
    // decides only the order of warnings.
    const detail::KeyGroups groups(values);
    Value::Object result;
    for (std::size_t i = 0; i < groups.size(); ++i) {
      const std::string& key = groups.key(i);
      // One path, extended and cut back in place, instead of a copy per key.
      path_.components.push_back(key);
      Value merged = mergeValues(groups.holders(i));
      path_.components.pop_back();
      result.insert_or_assign(result.end(), key, std::move(merged));
    }
    return Value(std::move(result));
  }

  std::optional<Value> apply(MergeRule::Strategy strategy,
                             const std::optional<std::vector<std::string>>& order,
                             const Values& values) {
    using S = MergeRule::Strategy;
    const Value& first = *values.front();
    switch (strategy) {
      case S::union_:
        if (std::all_of(values.begin(), values.end(),
                        [](const Value* v) { return v->isArray(); })) {
          return unite(values);
        }
        warn(path_, "union rule on a non-array value; using the highest-priority value");
        return first;
      case S::replace:
        return first;
      case S::anyTrue:
      case S::anyFalse: {
        const bool wanted = strategy == S::anyTrue;
        bool any = false;
        bool found = false;
        for (const Value* value : values) {
          if (auto flag = value->boolValue()) {
            found = true;
            any = any || *flag == wanted;
          }
        }
        if (!found) return first;
        return Value(any ? wanted : !wanted);
      }
      case S::min:
      case S::max:
        return extreme(values, strategy == S::min);
      case S::intersect:
        return intersect(values);
      case S::strictest:
        return strictest(values, order);
    }
    return std::nullopt;
  }

  static Value extreme(const Values& values, bool lowest) {
    const Value* best = nullptr;
    double bestNumber = 0;
    for (const Value* value : values) {
      double number;
      if (const auto* i = value->asInt()) {
        number = static_cast<double>(*i);
      } else if (const auto* d = value->asDouble()) {
        number = *d;
      } else {
        continue;
      }
      if (!best || (lowest ? number < bestNumber : number > bestNumber)) {
        best = value;
        bestNumber = number;
      }
    }
    return best ? *best : *values.front();
  }

  Value intersect(const Values& values) {
    if (!std::all_of(values.begin(), values.end(), [](const Value* v) { return v->isArray(); })) {
      warn(path_, "intersect rule on a non-array value; using the highest-priority value");
      return *values.front();
    }
    std::vector<ValueSet> others;
    others.reserve(values.size() - 1);
    for (std::size_t i = 1; i < values.size(); ++i) {
      const auto& elements = *values[i]->asArray();
      others.emplace_back(elements.size()).insertEach(elements);
    }
    const auto& first = *values.front()->asArray();
    Value::Array result;
    if (others.empty()) {
      // A single list: its repeats go, and so does whatever equals nothing (a NaN, or a list or
      // object holding one), which is in no list, as it would be missing from a second one.
      ValueSet emitted(first.size());
      emitted.insertEach(first, [&](const Value& element) {
        if (element == element) result.push_back(element);
      });
    } else {
      // An element is kept when every other list holds it; taking it in the first of them makes
      // its repeats fail.
      ValueSet::probeEach(first, others, [&](const ValueSet::Probe& element) {
        const bool everywhere =
            std::all_of(others.begin() + 1, others.end(),
                        [&](const ValueSet& set) { return set.contains(element); });
        if (everywhere && others.front().take(element)) result.push_back(*element.key);
      });
    }
    if (values.size() >= 2 && result.empty()) {
      warn(path_, "fragments have no value in common; the list is empty (nothing allowed)");
    }
    return Value(std::move(result));
  }

  std::optional<Value> strictest(const Values& values,
                                 const std::optional<std::vector<std::string>>& order) {
    if (!order) return std::nullopt;
    if (!std::all_of(values.begin(), values.end(), [](const Value* v) { return v->isString(); })) {
      return std::nullopt;
    }
    std::unordered_map<std::string_view, std::size_t> rank;
    for (std::size_t i = 0; i < order->size(); ++i) rank.emplace((*order)[i], i);
    const auto rankOf = [&](const Value* value) -> std::optional<std::size_t> {
      auto it = rank.find(*value->asString());
      if (it == rank.end()) return std::nullopt;
      return it->second;
    };
    std::string unknown;
    for (const Value* value : values) {
      if (rankOf(value)) continue;
      unknown += unknown.empty() ? "[" : ", ";
      unknown += quoted(*value->asString());
    }
    if (!unknown.empty()) {
      warn(path_,
           "value(s) " + unknown + "] not in the strictness order; known values win over them");
    }
    const Value* best = values.front();
    std::optional<std::size_t> bestRank = rankOf(best);
    for (std::size_t i = 1; i < values.size(); ++i) {
      const auto candidate = rankOf(values[i]);
      if (candidate && (!bestRank || *candidate < *bestRank)) {
        best = values[i];
        bestRank = candidate;
      }
    }
    return *best;
  }

  // The node at `path`, reached through objects, for changing in place; nullptr when missing.
  static Value* mutableNode(Value& root, const KeyPath& path) noexcept {
    Value* node = &root;
    for (const std::string& component : path.components) {
      auto* entries = node->asObject();
      if (!entries) return nullptr;
      auto it = entries->find(component);
      if (it == entries->end()) return nullptr;
      node = &it->second;
    }
    return node;
  }

  // One deny rule: the non-empty list at the rule's path names what goes from its target, an
  // object (keys) or a list (entries).
  void applyDeny(const MergeRule& rule, Value& value) {
    const Value* list = value.lookup(KeyPath(rule.path));
    if (!list || !list->isArray() || list->asArray()->empty()) return;
    const KeyPath targetPath(*rule.denies);
    Value* target = mutableNode(value, targetPath);
    if (!target) return;
    // A deny list inside its own target is copied first, so that removals cannot disturb it.
    const KeyPath listPath(rule.path);
    const bool listInsideTarget =
        targetPath.components.size() <= listPath.components.size() &&
        std::equal(targetPath.components.begin(), targetPath.components.end(),
                   listPath.components.begin());
    Value::Array copy;
    if (listInsideTarget) copy = *list->asArray();
    const Value::Array& denied = listInsideTarget ? copy : *list->asArray();
    if (auto* entries = target->asObject()) {
      denyKeys(*entries, denied, rule, targetPath);
    } else if (auto* elements = target->asArray()) {
      denyElements(*elements, denied, rule, targetPath);
    } else {
      warn(targetPath, "deny rule target is neither a list nor a dictionary");
    }
  }

  // Removes the keys that the deny list names: by a text entry, or by an object entry's
  // `matchField` text.
  void denyKeys(Value::Object& entries, const Value::Array& denied, const MergeRule& rule,
                const KeyPath& targetPath) {
    TextSet keys(denied.size());
    for (const Value& element : denied) {
      if (const auto* text = element.asString()) {
        keys.insert(*text);
      } else if (const auto* object = element.asObject(); object && rule.matchField) {
        auto it = object->find(*rule.matchField);
        if (it != object->end() && it->second.isString()) keys.insert(*it->second.asString());
      }
    }
    const std::size_t removed =
        std::erase_if(entries, [&](const auto& entry) { return keys.contains(entry.first); });
    if (removed > 0) {
      warn(targetPath, "removed " + std::to_string(removed) + " key(s) denied by " + rule.path);
    }
  }

  // Removes the list entries equal to a deny-list entry or, with `matchField`, whose field value
  // equals that of one; the others keep their order.
  void denyElements(Value::Array& elements, const Value::Array& denied, const MergeRule& rule,
                    const KeyPath& targetPath) {
    const auto key = [&](const Value& x) -> const Value& {
      if (const auto* object = x.asObject()) {
        if (auto it = object->find(*rule.matchField); it != object->end()) return it->second;
      }
      return x;
    };
    const bool byField = rule.matchField.has_value();
    ValueSet equal(denied.size());
    ValueSet deniedKeys(byField ? denied.size() : 0);
    for (const Value& element : denied) {
      equal.insert(element);
      if (byField) deniedKeys.insert(key(element));
    }
    const std::size_t removed = equal.eraseHeld(elements, byField ? &deniedKeys : nullptr, key);
    if (removed > 0) {
      warn(targetPath,
           "removed " + std::to_string(removed) + " entr(y/ies) denied by " + rule.path);
    }
  }

  void warn(const KeyPath& path, const std::string& text) {
    warnings_.push_back(path.description() + ": " + text);
  }

  const std::vector<MergeRule>& rules_;
  std::vector<KeyPath> patterns_;
  KeyPath path_;
  std::vector<std::string>& warnings_;
};

}  // namespace

Merger::Merger(std::vector<MergeRule> rules) : rules_(std::move(rules)) {}

bool Merger::matches(const KeyPath& pattern, const KeyPath& path) noexcept {
  if (pattern.components.size() != path.components.size()) return false;
  for (std::size_t i = 0; i < pattern.components.size(); ++i) {
    if (pattern.components[i] != "*" && pattern.components[i] != path.components[i]) return false;
  }
  return true;
}

Merger::Result Merger::merge(const std::vector<Value>& values) const {
  std::vector<const Value*> pointers;
  pointers.reserve(values.size());
  for (const Value& value : values) pointers.push_back(&value);
  return merge(pointers);
}

Merger::Result Merger::merge(const std::vector<const Value*>& values) const {
  Result result;
  if (values.empty()) return result;
  Run run(rules_, result.warnings);
  result.value = run.mergeValues(values);
  run.applyDenies(result.value);
  return result;
}

}  // namespace tavra
