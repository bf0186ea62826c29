// Rendering a large merged value (about 1 MB of JSON) to each output format.
#include <benchmark/benchmark.h>

#include <string>

#include "server_document.h"
#include "tavra/renderer.h"

namespace {

using tavra::Output;
namespace Renderer = tavra::Renderer;
using tavra::Value;

using tavra::bench::serverDocument;

void render(benchmark::State& state, Output::Format format) {
  const std::int64_t entries = state.range(0);
  const Value value = serverDocument(entries);
  Output output;
  output.id = "bench";
  output.path = "/tmp/bench";
  output.format = format;
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string rendered = Renderer::render(value, output);
    bytes = rendered.size();
    benchmark::DoNotOptimize(rendered);
  }
  state.counters["output_bytes"] = static_cast<double>(bytes);
  state.counters["json_bytes"] = static_cast<double>(Renderer::jsonString(value, false).size());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

void BM_RenderJSON(benchmark::State& state) {
  render(state, Output::Format::json);
}
void BM_RenderTOML(benchmark::State& state) {
  render(state, Output::Format::toml);
}
void BM_RenderPlist(benchmark::State& state) {
  render(state, Output::Format::plist);
}

}  // namespace

// 8,000 entries make about 1 MB of compact JSON; 800 and 80,000 entries show the growth on
// either side of the processor caches.
BENCHMARK(BM_RenderJSON)->Arg(800)->Arg(8000)->Arg(80000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderTOML)->Arg(800)->Arg(8000)->Arg(80000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderPlist)->Arg(800)->Arg(8000)->Arg(80000)->Unit(benchmark::kMillisecond);
