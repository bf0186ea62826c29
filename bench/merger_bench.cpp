// Merge costs on large inputs: union and intersect of two arrays, the default merge of objects from
// several fragments, and a deny rule cleaning a large object and a large array, for 1,000 to
// 100,000 entries (1,000,000 shows the growth once everything is far beyond the processor caches).
// Each should grow linearly with the input.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tavra/merger.h"

namespace {

using tavra::Merger;
using tavra::MergeRule;
using tavra::Value;

// {"list": ["entry-<first>", ... ]} with `count` entries.
Value listFragment(std::int64_t first, std::int64_t count) {
  Value::Array elements;
  elements.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = first; i < first + count; ++i)
    elements.emplace_back("entry-" + std::to_string(i));
  return Value(Value::Object{{"list", Value(std::move(elements))}});
}

void mergeTwoLists(benchmark::State& state, MergeRule::Strategy strategy) {
  const std::int64_t n = state.range(0);
  // Half of the second list overlaps the first.
  const std::vector<Value> values{listFragment(0, n), listFragment(n / 2, n)};
  const Merger merger({MergeRule{"list", strategy}});
  for (auto _ : state) {
    Merger::Result result = merger.merge(values);
    benchmark::DoNotOptimize(result);
  }
  state.SetComplexityN(n);
  state.SetItemsProcessed(state.iterations() * 2 * n);
}

void BM_Union(benchmark::State& state) {
  mergeTwoLists(state, MergeRule::Strategy::union_);
}
void BM_Intersect(benchmark::State& state) {
  mergeTwoLists(state, MergeRule::Strategy::intersect);
}

// Four fragments of n servers each, {"servers": {"srv-<i>": {"port": <i>, "enabled": <bool>}}},
// each overlapping the next by half, so most servers are merged from two fragments, each a small
// object of its own: the figures show the per-key work of the default merge as much as its size.
std::vector<Value> serverFragments(std::int64_t n) {
  std::vector<Value> fragments;
  for (std::int64_t f = 0; f < 4; ++f) {
    Value::Object servers;
    for (std::int64_t i = f * n / 2; i < f * n / 2 + n; ++i) {
      servers.emplace("srv-" + std::to_string(i),
                      Value(Value::Object{{"port", Value(8000 + i % 1000)},
                                          {"enabled", Value((i + f) % 2 == 0)}}));
    }
    fragments.push_back(Value(Value::Object{{"servers", Value(std::move(servers))}}));
  }
  return fragments;
}

void BM_MergeObjects(benchmark::State& state) {
  const std::int64_t n = state.range(0);
  const std::vector<Value> values = serverFragments(n);
  const Merger merger({});
  for (auto _ : state) {
    Merger::Result result = merger.merge(values);
    benchmark::DoNotOptimize(result);
  }
  state.SetComplexityN(n);
  state.SetItemsProcessed(state.iterations() * 4 * n);
}

// One fragment holding a target of n entries and a deny list naming every other one of them,
// half by text and half through the match field. The entries are kept small (a port number, a
// short text) so that the figures show the deny step rather than the allocator copying the tree.
std::vector<Value> denyFragment(std::int64_t n, bool objectTarget) {
  Value::Array denied;
  Value::Object targetObject;
  Value::Array targetArray;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::string name = "srv-" + std::to_string(i);
    if (i % 4 == 0) denied.push_back(Value(name));
    if (i % 4 == 2) denied.push_back(Value(Value::Object{{"name", Value(name)}}));
    if (objectTarget) {
      targetObject.emplace(name, Value(8000 + i % 1000));
    } else {
      targetArray.push_back(Value(name));
    }
  }
  Value::Object root{{"deny", Value(std::move(denied))}};
  root.emplace("servers",
               objectTarget ? Value(std::move(targetObject)) : Value(std::move(targetArray)));
  return {Value(std::move(root))};
}

void denyOver(benchmark::State& state, bool objectTarget) {
  const std::int64_t n = state.range(0);
  const std::vector<Value> values = denyFragment(n, objectTarget);
  const Merger merger({MergeRule{"deny", std::nullopt, "servers", "name"}});
  for (auto _ : state) {
    Merger::Result result = merger.merge(values);
    benchmark::DoNotOptimize(result);
  }
  state.SetComplexityN(n);
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_DenyObject(benchmark::State& state) {
  denyOver(state, true);
}
// The floor under BM_DenyObject: the merge result owns a copy of the fragment, so copying and
// dropping the same tree is part of every deny figure.
void BM_CopyDenyObjectFragment(benchmark::State& state) {
  const std::int64_t n = state.range(0);
  const std::vector<Value> values = denyFragment(n, true);
  for (auto _ : state) {
    Value copy = values.front();
    benchmark::DoNotOptimize(copy);
  }
  state.SetComplexityN(n);
  state.SetItemsProcessed(state.iterations() * n);
}
void BM_DenyArray(benchmark::State& state) {
  denyOver(state, false);
}

}  // namespace

BENCHMARK(BM_Union)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();
BENCHMARK(BM_Intersect)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();
// Up to 100,000 servers a fragment: a million builds four million map nodes and takes seconds.
BENCHMARK(BM_MergeObjects)
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();
BENCHMARK(BM_DenyObject)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();
BENCHMARK(BM_CopyDenyObjectFragment)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();
BENCHMARK(BM_DenyArray)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();
