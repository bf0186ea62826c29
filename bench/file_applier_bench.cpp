// Cost of one apply pass over a number of output files: steady state (every file unchanged),
// every file rewritten (content alternates between passes), and lastApplied, next to the floor
// of a steady pass: open, read and SHA-256 of the same files done directly.
//
// The tree lives below the working directory (run from a disk-backed folder to include the
// file system's sync cost, or set TAVRA_BENCH_DIR to put it elsewhere, e.g. on tmpfs).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tavra/file_applier.h"
#include "tavra/platform/digest.h"

namespace tavra {
namespace {

struct Tree {
  std::string root;
  std::vector<FileApplier::Desired> first, second;

  explicit Tree(int files) {
    const char* base = std::getenv("TAVRA_BENCH_DIR");
    std::string pattern = (base ? std::string(base) : std::filesystem::current_path().string()) +
                          "/tavra-bench.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a directory");
    root = pattern;
    for (int i = 0; i < files; ++i) {
      const std::string path =
          root + "/allowed/h" + std::to_string(i % 5) + "/f" + std::to_string(i) + ".json";
      const std::string body(4096, char('a' + i % 26));
      first.push_back({path, "{\"v\":1,\"b\":\"" + body + "\"}", 0644, "h", "o"});
      second.push_back({path, "{\"v\":2,\"b\":\"" + body + "\"}", 0644, "h", "o"});
    }
  }
  ~Tree() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  FileApplier applier() const {
    return FileApplier(root + "/support", PathPolicy({}, {root + "/allowed/"}), geteuid() == 0,
                       std::make_shared<PosixFileSystem>(), std::make_shared<SystemClock>());
  }
};

void steadyPass(benchmark::State& state) {
  const Tree tree(int(state.range(0)));
  const FileApplier applier = tree.applier();
  applier.apply(tree.first, true, false);
  for (auto _ : state) benchmark::DoNotOptimize(applier.apply(tree.first, true, false));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(steadyPass)->Arg(5)->Arg(50)->Unit(benchmark::kMicrosecond);

void rewritePass(benchmark::State& state) {
  const Tree tree(int(state.range(0)));
  const FileApplier applier = tree.applier();
  bool flip = false;
  for (auto _ : state) {
    benchmark::DoNotOptimize(applier.apply(flip ? tree.first : tree.second, true, false));
    flip = !flip;
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(rewritePass)->Arg(5)->Arg(50)->Unit(benchmark::kMicrosecond);

void lastApplied(benchmark::State& state) {
  const Tree tree(int(state.range(0)));
  const FileApplier applier = tree.applier();
  applier.apply(tree.first, true, false);
  for (auto _ : state) benchmark::DoNotOptimize(applier.lastApplied());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(lastApplied)->Arg(50)->Unit(benchmark::kMicrosecond);

// The floor of a steady pass: what any implementation must do to compare the files.
void readAndHashFloor(benchmark::State& state) {
  const Tree tree(int(state.range(0)));
  tree.applier().apply(tree.first, true, false);
  for (auto _ : state) {
    for (const auto& item : tree.first) {
      std::ifstream in(item.path, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      benchmark::DoNotOptimize(digest::sha256Hex(bytes.str()));
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(readAndHashFloor)->Arg(5)->Arg(50)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavra
