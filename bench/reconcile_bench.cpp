// Cost of one reconcile pass, steady state (nothing to change) and first pass (every file
// created), for a catalog of five harnesses and a growing number of fragments, on the disk and on
// tmpfs, next to the floor of a steady pass: what any pass must do to find that nothing changed.
//
// The floor: list the managed-preferences folder and parse every fragment plist with libplist;
// read the catalog and its signature and verify the signature once (Ed25519); probe the five
// outputs (lstat, read, SHA-256); write state.json and status.json (the same bytes the pass
// writes) atomically and synced. BM_SteadyPassOverFloor runs the floor and the pass in turn in
// every iteration and reports both and their ratio, so a busy machine slows both alike. The floor
// reads each file the plain way, by its path into a buffer of its own; the pass reads the
// fragments relative to their opened folder into one shared buffer.
//
// Arguments: fragments; medium (0: the disk, below the working directory or TAVRA_BENCH_DIR;
// 1: tmpfs, /dev/shm or TAVRA_BENCH_TMPFS); keys (1: every fragment sets a key of its own, so the
// merged files grow with the fragments; 0: all set the same eight keys, the files stay small).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>

#include "tavra/base64.h"
#include "tavra/platform/crypto.h"
#include "tavra/platform/digest.h"
#include "tavra/plist.h"
#include "tavra/reconciler.h"
#include "tavra/support_layout.h"

namespace tavra {
namespace {

class NullLogger final : public Logger {
 public:
  NullLogger() : Logger("com.zelkorandin.tavra", "reconcile") {}
  void write(Level, std::string_view) noexcept override {}
};

std::string benchRoot(bool tmpfs) {
  const char* base = std::getenv(tmpfs ? "TAVRA_BENCH_TMPFS" : "TAVRA_BENCH_DIR");
  std::string pattern = (base    ? std::string(base)
                         : tmpfs ? std::string("/dev/shm")
                                 : std::filesystem::current_path().string()) +
                        "/tavra-bench.XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed in " + pattern);
  return pattern;
}

Catalog benchCatalog(const std::string& out, std::vector<std::string>& outputs) {
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
  return catalog;
}

std::string fragmentPlist(int f, bool uniqueKeys) {
  Value::Object harnesses;
  for (int h = 0; h < 5; ++h) {
    harnesses.emplace(
        "h" + std::to_string(h),
        Value::Object{{"main", Value::Object{{"k" + std::to_string(uniqueKeys ? f : f % 8), f},
                                             {"shared", "from " + std::to_string(f)},
                                             {"nested", Value::Object{{"n", f}}}}}});
  }
  return plist::writeXML(Value(Value::Object{{"PolicyID", "p" + std::to_string(f)},
                                             {"Priority", f % 7},
                                             {"Harnesses", std::move(harnesses)}}));
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Tree {
  std::shared_ptr<const FileSystem> files = std::make_shared<PosixFileSystem>();
  std::string root, prefs, out, support, floor;
  std::vector<std::string> outputs;
  std::string publicKey;

  Tree(int fragments, bool uniqueKeys, bool tmpfs)
      : root(benchRoot(tmpfs)),
        prefs(root + "/prefs"),
        out(root + "/out"),
        support(root + "/support"),
        floor(root + "/floor") {
    for (const auto& folder : {prefs, out, floor}) std::filesystem::create_directories(folder);
    auto key = crypto::Ed25519PrivateKey::generate();
    publicKey = base64::encode(key.publicKey().raw());
    const std::string bytes = benchCatalog(out, outputs).encode();
    store().install(bytes, base64::encode(key.sign(bytes)));
    for (int f = 0; f < fragments; ++f) {
      std::ofstream(prefs + "/com.zelkorandin.tavra.policy.p" + std::to_string(f) + ".plist")
          << fragmentPlist(f, uniqueKeys);
    }
  }
  ~Tree() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  CatalogStore store() const {
    return CatalogStore(supportLayout::catalogDirectory(support), {publicKey}, files);
  }

  Environment environment() const {
    return Environment{
        .preferences = ManagedPreferences(prefs, false, files),
        .catalogStore = store(),
        .supportDirectory = support,
        .keys = std::make_shared<InMemoryKeyProvider>(std::vector<crypto::P256PrivateKey>{}),
        .builtInPathPrefixes = {out + "/"},
        .services = {.fileSystem = files,
                     .clock = std::make_shared<SystemClock>(),
                     .reconcileLog = std::make_shared<NullLogger>(),
                     .daemonLog = std::make_shared<NullLogger>()},
    };
  }

  StatusReport pass() const { return Reconciler(environment(), {}).run(false); }

  // Back to the state before any pass: no outputs, no state, no applied copies.
  void reset() const {
    std::error_code ignored;
    std::filesystem::remove_all(out, ignored);
    std::filesystem::create_directories(out);
    std::filesystem::remove_all(supportLayout::appliedDirectory(support), ignored);
    std::filesystem::remove(supportLayout::stateFile(support), ignored);
    std::filesystem::remove(supportLayout::statusFile(support), ignored);
  }
};

// ---- the floor ----

std::string readWhole(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat info {};
  ::fstat(fd, &info);
  std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
  const ssize_t got = ::read(fd, bytes.data(), bytes.size());
  ::close(fd);
  if (got != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("short read " + path);
  return bytes;
}

void parse(const std::string& bytes, std::string_view name) {
  plist_t root = nullptr;
  plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (root == nullptr) throw std::runtime_error("unparsable " + std::string(name));
  plist_free(root);
}

// Plainly: each file by its path, into a buffer of its own.
void parseFragments(const std::string& prefs) {
  DIR* directory = ::opendir(prefs.c_str());
  if (directory == nullptr) throw std::runtime_error("cannot list " + prefs);
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (!name.ends_with(".plist")) continue;
    parse(readWhole(prefs + "/" + std::string(name)), name);
  }
  ::closedir(directory);
}

// As the pass reads them: relative to the opened folder, all into one buffer.
void parseFragmentsSharingABuffer(const std::string& prefs) {
  DIR* directory = ::opendir(prefs.c_str());
  if (directory == nullptr) throw std::runtime_error("cannot list " + prefs);
  std::string bytes;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (!name.ends_with(".plist")) continue;
    const int fd = ::openat(::dirfd(directory), entry->d_name, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) throw std::runtime_error("cannot open " + prefs);
    bytes.resize(static_cast<std::size_t>(info.st_size));
    const ssize_t got = ::read(fd, bytes.data(), bytes.size());
    ::close(fd);
    if (got != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("short read");
    parse(bytes, name);
  }
  ::closedir(directory);
}

void verifyCatalog(const std::string& folder, const crypto::Ed25519PublicKey& key) {
  const std::string catalog = readWhole(folder + "/catalog.json");
  std::string signature = readWhole(folder + "/catalog.json.sig");
  while (!signature.empty() && (signature.back() == '\n' || signature.back() == ' ')) {
    signature.pop_back();
  }
  if (!key.isValidSignature(*base64::decode(signature), catalog)) {
    throw std::runtime_error("bad signature");
  }
}

void probe(const std::vector<std::string>& outputs) {
  for (const auto& path : outputs) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) throw std::runtime_error("missing " + path);
    benchmark::DoNotOptimize(digest::sha256Hex(readWhole(path)));
  }
}

void writeSynced(const std::string& path, const std::string& bytes, mode_t mode) {
  const std::string temporary = path + ".tmp";
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("cannot create " + temporary);
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                  ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}

struct Floor {
  const Tree& tree;
  crypto::Ed25519PublicKey key = crypto::Ed25519PublicKey::fromRaw(*base64::decode(tree.publicKey));
  std::string state = slurp(supportLayout::stateFile(tree.support));
  std::string status = slurp(supportLayout::statusFile(tree.support));

  void run(bool sharedBuffer = false) const {
    if (sharedBuffer) {
      parseFragmentsSharingABuffer(tree.prefs);
    } else {
      parseFragments(tree.prefs);
    }
    verifyCatalog(supportLayout::catalogDirectory(tree.support), key);
    probe(tree.outputs);
    writeSynced(tree.floor + "/state.json", state, 0600);
    writeSynced(tree.floor + "/status.json", status, 0644);
  }
};

// ---- the benchmarks ----

double secondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Floor(benchmark::State& state) {
  const Tree tree(int(state.range(0)), state.range(2) != 0, state.range(1) != 0);
  tree.pass();
  const Floor floor{tree};
  for (auto _ : state) floor.run();
}

// The pass is the measured time; the floor of each iteration is run just before it, once plainly
// and once reading the fragments as the pass does (floor_shared, ratio_shared).
void BM_SteadyPassOverFloor(benchmark::State& state) {
  const Tree tree(int(state.range(0)), state.range(2) != 0, state.range(1) != 0);
  if (tree.pass().changes.size() != 5) state.SkipWithError("first pass did not create 5 files");
  const Floor floor{tree};
  double floorSeconds = 0, sharedSeconds = 0, passSeconds = 0;
  for (auto _ : state) {
    floorSeconds += secondsOf([&] { floor.run(); });
    sharedSeconds += secondsOf([&] { floor.run(true); });
    StatusReport report;
    const double pass = secondsOf([&] { report = tree.pass(); });
    if (!report.changes.empty() || report.health != StatusReport::Health::ok) {
      state.SkipWithError("steady-state pass changed something");
      break;
    }
    passSeconds += pass;
    state.SetIterationTime(pass);
  }
  state.counters["floor_us"] =
      benchmark::Counter(floorSeconds * 1e6, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = floorSeconds > 0 ? passSeconds / floorSeconds : 0;
  state.counters["floor_shared_us"] =
      benchmark::Counter(sharedSeconds * 1e6, benchmark::Counter::kAvgIterations);
  state.counters["ratio_shared"] = sharedSeconds > 0 ? passSeconds / sharedSeconds : 0;
}

void BM_FirstPass(benchmark::State& state) {
  const Tree tree(int(state.range(0)), state.range(2) != 0, state.range(1) != 0);
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

BENCHMARK(BM_Floor)
    ->ArgNames({"fragments", "tmpfs", "uniqueKeys"})
    ->ArgsProduct({{10, 100, 1000}, {0, 1}, {1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SteadyPassOverFloor)
    ->ArgNames({"fragments", "tmpfs", "uniqueKeys"})
    ->ArgsProduct({{10, 100, 1000}, {0, 1}, {1, 0}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FirstPass)
    ->ArgNames({"fragments", "tmpfs", "uniqueKeys"})
    ->ArgsProduct({{10, 100, 1000}, {0, 1}, {1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavra
