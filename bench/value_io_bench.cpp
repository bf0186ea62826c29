// Reading and writing Values: JSON, XML and binary property lists of about 100 bytes of JSON per
// entry (1 MB at 10,000 entries), including the property-list guards.
#include <plist/plist.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "../src/core/value/plist_handle.h"
#include "server_document.h"
#include "tavra/json.h"
#include "tavra/plist.h"
#include "tavra/value.h"

namespace {

using tavra::Value;

using tavra::bench::serverDocument;

// The same document as a binary property list, converted by libplist from our XML.
std::string binaryPlist(const std::string& xml) {
  tavra::PlistHandle tree;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), tree.out());
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(tree.get(), &bytes, &length);
  std::string out(bytes, length);
  std::free(bytes);
  return out;
}

template <typename F>
void run(benchmark::State& state, const std::string& input, F f) {
  for (auto _ : state) benchmark::DoNotOptimize(f(input));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void BM_ParseJSON(benchmark::State& state) {
  run(state, tavra::json::write(serverDocument(state.range(0))),
      [](const std::string& s) { return Value::parseJSON(s); });
}

void BM_ParsePlistXML(benchmark::State& state) {
  run(state, tavra::plist::writeXML(serverDocument(state.range(0))),
      [](const std::string& s) { return Value::parsePlist(s); });
}

void BM_ParsePlistBinary(benchmark::State& state) {
  run(state, binaryPlist(tavra::plist::writeXML(serverDocument(state.range(0)))),
      [](const std::string& s) { return Value::parsePlist(s); });
}

void BM_WriteJSON(benchmark::State& state) {
  const Value value = serverDocument(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = tavra::json::write(value, {.pretty = state.range(1) != 0});
    bytes = text.size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_WritePlistXML(benchmark::State& state) {
  const Value value = serverDocument(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = tavra::plist::writeXML(value);
    bytes = text.size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

BENCHMARK(BM_ParseJSON)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParsePlistXML)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParsePlistBinary)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteJSON)->Args({10000, 0})->Args({10000, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePlistXML)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
