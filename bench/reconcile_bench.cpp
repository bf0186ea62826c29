// Cost of one reconcile pass, steady state (nothing to change) and first pass (every file
// created), for a catalog of five harnesses and a growing number of fragments, next to the floor:
// lstat, read and SHA-256 of the same output files done directly.
//
// The tree lives below the working directory (run from a disk-backed folder to include the
// file system's sync cost, or set TAVRA_BENCH_DIR to put it elsewhere, e.g. on tmpfs).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tavra/base64.h"
#include "tavra/platform/crypto.h"
#include "tavra/platform/digest.h"
#include "tavra/plist.h"
#include "tavra/reconciler.h"

namespace tavra {
namespace {

class NullLogger final : public Logger {
 public:
  NullLogger() : Logger("com.zelkorandin.tavra", "reconcile") {}
  void write(Level, std::string_view) noexcept override {}
};

struct Tree {
  std::shared_ptr<const FileSystem> files = std::make_shared<PosixFileSystem>();
  std::string root;
  std::string prefs, out, support;
  std::vector<std::string> outputs;
  std::string publicKey;

  Tree(int fragments, bool uniqueKeys) {
    const char* base = std::getenv("TAVRA_BENCH_DIR");
    std::string pattern = (base ? std::string(base) : std::filesystem::current_path().string()) +
                          "/tavra-bench.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    root = buffer.data();
    prefs = root + "/prefs";
    out = root + "/out";
    support = root + "/support";
    std::filesystem::create_directories(prefs);
    std::filesystem::create_directories(out);

    const Output::Format formats[] = {Output::Format::json, Output::Format::toml,
                                      Output::Format::plist, Output::Format::json,
                                      Output::Format::json};
    const char* extensions[] = {"json", "toml", "plist", "json", "json"};
    Catalog catalog{2, "2026.1.0", {}};
    for (int h = 0; h < 5; ++h) {
      Harness harness;
      harness.id = "h" + std::to_string(h);
      harness.displayName = harness.id;
      harness.vendor = "bench";
      Output output;
      output.id = "main";
      output.path = out + "/" + harness.id + "/config." + extensions[h];
      output.format = formats[h];
      outputs.push_back(output.path);
      harness.outputs.push_back(output);
      catalog.harnesses.push_back(harness);
    }
    auto key = crypto::Ed25519PrivateKey::generate();
    publicKey = base64::encode(key.publicKey().raw());
    std::string bytes = catalog.encode();
    store().install(bytes, base64::encode(key.sign(bytes)));

    for (int f = 0; f < fragments; ++f) {
      Value::Object harnesses;
      for (int h = 0; h < 5; ++h) {
        harnesses.emplace(
            "h" + std::to_string(h),
            Value::Object{{"main", Value::Object{{"k" + std::to_string(uniqueKeys ? f : f % 8), f},
                                                 {"shared", "from " + std::to_string(f)},
                                                 {"nested", Value::Object{{"n", f}}}}}});
      }
      Value payload(Value::Object{{"PolicyID", "p" + std::to_string(f)},
                                  {"Priority", f % 7},
                                  {"Harnesses", std::move(harnesses)}});
      std::ofstream(prefs + "/com.zelkorandin.tavra.policy.p" + std::to_string(f) + ".plist")
          << plist::writeXML(payload);
    }
  }
  ~Tree() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  CatalogStore store() const { return CatalogStore(support + "/catalog", {publicKey}, files); }

  Environment environment() const {
    return Environment{
        ManagedPreferences(prefs, false, files),
        store(),
        support,
        std::make_shared<InMemoryKeyProvider>(std::vector<crypto::P256PrivateKey>{}),
        {out + "/"},
        false,
        std::nullopt,
        nullptr,
        Services{files, std::make_shared<SystemClock>(), std::make_shared<NullLogger>(),
                 std::make_shared<NullLogger>(), nullptr, nullptr, nullptr}};
  }

  StatusReport pass() const { return Reconciler(environment(), {}).run(false); }

  // Back to the state before any pass: no outputs, no state, no applied copies.
  void reset() const {
    std::error_code ignored;
    std::filesystem::remove_all(out, ignored);
    std::filesystem::create_directories(out);
    std::filesystem::remove_all(support + "/applied", ignored);
    std::filesystem::remove(support + "/state.json", ignored);
    std::filesystem::remove(support + "/status.json", ignored);
  }
};

// range(0): fragments; range(1): 1 when every fragment sets a key of its own (the merged files
// grow with the fragments), 0 when they all set the same eight keys (the files stay small).
void BM_SteadyStatePass(benchmark::State& state) {
  Tree tree(static_cast<int>(state.range(0)), state.range(1) != 0);
  if (tree.pass().changes.size() != 5) state.SkipWithError("first pass did not create 5 files");
  for (auto _ : state) {
    StatusReport report = tree.pass();
    if (!report.changes.empty() || report.health != StatusReport::Health::ok) {
      state.SkipWithError("steady-state pass changed something");
      break;
    }
    benchmark::DoNotOptimize(report);
  }
}

void BM_FirstPass(benchmark::State& state) {
  Tree tree(static_cast<int>(state.range(0)), state.range(1) != 0);
  for (auto _ : state) {
    state.PauseTiming();
    tree.reset();
    state.ResumeTiming();
    StatusReport report = tree.pass();
    if (report.changes.size() != 5) {
      state.SkipWithError("first pass did not create 5 files");
      break;
    }
    benchmark::DoNotOptimize(report);
  }
}

// lstat, read and SHA-256 of the five output files, done directly.
void BM_Floor(benchmark::State& state) {
  Tree tree(static_cast<int>(state.range(0)), state.range(1) != 0);
  tree.pass();
  for (auto _ : state) {
    for (const auto& path : tree.outputs) {
      struct stat info {};
      if (lstat(path.c_str(), &info) != 0) state.SkipWithError("missing output");
      std::ifstream in(path, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      benchmark::DoNotOptimize(digest::sha256Hex(bytes.str()));
    }
  }
}

BENCHMARK(BM_Floor)->ArgsProduct({{10, 100, 1000}, {1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SteadyStatePass)
    ->ArgsProduct({{10, 100, 1000}, {1, 0}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FirstPass)->ArgsProduct({{10, 100, 1000}, {1, 0}})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavra
