#include "tavra/merger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/policy/merger_rules.h"

namespace tavra::test {
namespace {

// The hashed union, intersect and deny steps and the grouped object merge against plain versions
// of the same rules, on lists long enough to pass the look-ahead window and with many repeats and
// near-misses (1 against 1.0, objects sharing a name).
class MergerReferenceTest : public ::testing::Test {
 protected:
  Value element() {
    const int n = static_cast<int>(random_() % 12);
    switch (random_() % 5) {
      case 0:
        return Value(n);
      case 1:
        return Value(static_cast<double>(n));
      case 2:
        return Value("s" + std::to_string(n));
      case 3:
        return Value::Object{{"name", Value("s" + std::to_string(n))},
                             {"v", Value(static_cast<int>(random_() % 2))}};
      default:
        return Value::Object{{"name", Value(n)}};
    }
  }
  Value list(std::size_t size) {
    Value::Array elements;
    for (std::size_t i = 0; i < size; ++i) elements.push_back(element());
    return Value(std::move(elements));
  }

  static bool holds(const Value::Array& elements, const Value& x) {
    return std::find(elements.begin(), elements.end(), x) != elements.end();
  }
  static Value unite(const std::vector<Value>& arrays) {
    Value::Array result;
    for (const Value& array : arrays) {
      for (const Value& x : *array.asArray()) {
        if (!holds(result, x)) result.push_back(x);
      }
    }
    return Value(std::move(result));
  }
  static Value intersect(const std::vector<Value>& arrays) {
    Value::Array result;
    for (const Value& x : *arrays.front().asArray()) {
      const bool everywhere = std::all_of(arrays.begin(), arrays.end(), [&](const Value& array) {
        return holds(*array.asArray(), x);
      });
      if (everywhere && !holds(result, x)) result.push_back(x);
    }
    return Value(std::move(result));
  }
  static const Value& key(const Value& x, const std::string& field) {
    if (const auto* object = x.asObject()) {
      if (auto it = object->find(field); it != object->end()) return it->second;
    }
    return x;
  }
  static Value denyEntries(const Value& target, const Value& denied,
                           const std::optional<std::string>& field) {
    Value::Array kept;
    for (const Value& e : *target.asArray()) {
      const bool drop = std::any_of(
          denied.asArray()->begin(), denied.asArray()->end(),
          [&](const Value& d) { return e == d || (field && key(e, *field) == key(d, *field)); });
      if (!drop) kept.push_back(e);
    }
    return Value(std::move(kept));
  }

  // The default merge of objects, key by key, in the plain way: the keys of each value in turn
  // that no earlier value has, and for each the values holding it, found by lookup.
  static Value mergeObjects(const std::vector<const Value*>& values, KeyPath& path,
                            std::vector<std::string>& warnings) {
    Value::Object result;
    for (std::size_t first = 0; first < values.size(); ++first) {
      for (const auto& entry : *values[first]->asObject()) {
        const std::string& key = entry.first;
        const auto holds = [&](const Value* value) { return value->asObject()->contains(key); };
        if (std::any_of(values.begin(), values.begin() + first, holds)) continue;
        std::vector<const Value*> holders;
        for (std::size_t j = first; j < values.size(); ++j) {
          if (holds(values[j])) holders.push_back(&values[j]->asObject()->at(key));
        }
        path.components.push_back(key);
        result.emplace(key, mergeScalarsOrObjects(holders, path, warnings));
        path.components.pop_back();
      }
    }
    return Value(std::move(result));
  }
  static Value mergeScalarsOrObjects(const std::vector<const Value*>& values, KeyPath& path,
                                     std::vector<std::string>& warnings) {
    if (values.size() == 1) return *values.front();
    const auto isObject = [](const Value* value) { return value->isObject(); };
    if (std::all_of(values.begin(), values.end(), isObject)) {
      return mergeObjects(values, path, warnings);
    }
    const auto kind = [](const Value* value) {
      return value->isDouble() ? Value::Kind::int_ : value->kind();
    };
    if (std::any_of(values.begin(), values.end(),
                    [&](const Value* value) { return kind(value) != kind(values.front()); })) {
      warnings.push_back(
          path.description() +
          ": fragments disagree on the value type; using the highest-priority value");
    }
    return *values.front();
  }
  // An object of up to `size` keys out of a few dozen, holding scalars of every kind and, while
  // `depth` allows, objects of the same sort.
  Value object(std::size_t size, int depth) {
    Value::Object entries;
    for (std::size_t i = 0; i < size; ++i) {
      const std::string key = "k" + std::to_string(random_() % 40);
      switch (random_() % (depth > 0 ? 5 : 4)) {
        case 0:
          entries.insert_or_assign(key, Value(static_cast<int>(random_() % 3)));
          break;
        case 1:
          entries.insert_or_assign(key, Value(0.5));
          break;
        case 2:
          entries.insert_or_assign(key, Value("t"));
          break;
        case 3:
          entries.insert_or_assign(key, Value(true));
          break;
        default:
          entries.insert_or_assign(key, object(size / 4, depth - 1));
      }
    }
    return Value(std::move(entries));
  }

  std::mt19937 random_{20260101};
};

TEST_F(MergerReferenceTest, ObjectsMergeAsThePlainVersion) {
  for (std::size_t fragments : {2u, 3u, 6u}) {
    for (std::size_t size : {1u, 8u, 60u}) {
      SCOPED_TRACE(std::to_string(fragments) + " x " + std::to_string(size));
      std::vector<Value> values;
      for (std::size_t i = 0; i < fragments; ++i) values.push_back(object(size, 2));
      std::vector<const Value*> pointers;
      for (const Value& value : values) pointers.push_back(&value);
      KeyPath root;
      std::vector<std::string> warnings;
      const Value expected = mergeObjects(pointers, root, warnings);
      const Merger::Result result = Merger({}).merge(values);
      EXPECT_EQ(result.value, expected);
      EXPECT_EQ(result.warnings, warnings);
    }
  }
}

TEST_F(MergerReferenceTest, UnionAndIntersectMatchPairwiseVersions) {
  const std::size_t sizes[] = {0, 1, 31, 32, 33, 64, 257};
  for (std::size_t a : sizes) {
    for (std::size_t b : sizes) {
      for (std::size_t fragments : {1u, 2u, 3u}) {
        std::vector<Value> values{list(a), list(b), list(a + b)};
        values.resize(fragments);
        SCOPED_TRACE(std::to_string(a) + "/" + std::to_string(b) + " x" +
                     std::to_string(fragments));
        const Merger::Result united = Merger({strategyRule("", S::union_)}).merge(values);
        EXPECT_EQ(united.value, unite(values));
        EXPECT_TRUE(united.warnings.empty());
        // The default merge of arrays is the same union.
        EXPECT_EQ(Merger({}).merge(values).value, fragments == 1 ? values[0] : unite(values));

        const Merger::Result common = Merger({strategyRule("", S::intersect)}).merge(values);
        const Value expected = intersect(values);
        EXPECT_EQ(common.value, expected);
        const bool warned = fragments >= 2 && expected.asArray()->empty();
        EXPECT_EQ(common.warnings.size(), warned ? 1u : 0u);
      }
    }
  }
}

TEST_F(MergerReferenceTest, DeniesMatchPairwiseVersions) {
  for (std::size_t size : {1u, 5u, 33u, 100u, 300u}) {
    for (std::size_t deniedSize : {1u, 2u, 40u}) {
      for (const std::optional<std::string>& field :
           {std::optional<std::string>(), std::optional<std::string>("name")}) {
        SCOPED_TRACE(std::to_string(size) + " deny " + std::to_string(deniedSize) +
                     (field ? " by name" : ""));
        const Value denied = list(deniedSize);
        const Value target = list(size);
        const Value merged = Merger({denyRule("d", "t", field)})
                                 .merge({Value::Object{{"d", denied}, {"t", target}}})
                                 .value;
        EXPECT_EQ(*merged.lookup("t"), denyEntries(target, denied, field));

        // An object target: keys named by the list's texts (and, by name, its objects' texts).
        Value::Object entries;
        for (int i = 0; i < static_cast<int>(size); ++i) {
          entries.emplace("s" + std::to_string(i % 15), Value(i));
        }
        Value::Object expected = entries;
        for (const Value& d : *denied.asArray()) {
          if (d.isString()) expected.erase(*d.asString());
          if (field && d.isObject() && key(d, *field).isString())
            expected.erase(*key(d, *field).asString());
        }
        const Merger::Result result = Merger({denyRule("d", "t", field)})
                                          .merge({Value::Object{{"d", denied}, {"t", entries}}});
        EXPECT_EQ(*result.value.lookup("t"), Value(expected));
        const std::size_t removed = entries.size() - expected.size();
        EXPECT_EQ(result.warnings,
                  removed == 0 ? std::vector<std::string>{}
                               : std::vector<std::string>{"t: removed " + std::to_string(removed) +
                                                          " key(s) denied by d"});
      }
    }
  }
}

}  // namespace
}  // namespace tavra::test
