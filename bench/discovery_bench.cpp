// Cost of one inventory over a number of users' homes, each with an executable behind a link, its
// package.json, an application folder with bundles and configuration paths, some of them globs.
// The same files are taken once as the users could read them (every path walked from "/" with its
// links followed by hand, as in a real pass) and once as paths of no user, read with discovery's
// own rights (the system's own path resolution), so the two can be compared.
//
// The tree lives below the working directory (TAVRA_BENCH_DIR puts it elsewhere).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tavra/discovery.h"

namespace tavra {
namespace {

class NoProcesses final : public platform::ProcessTable {
 public:
  std::vector<platform::ProcessInfo> processes() const override { return {}; }
  std::optional<std::string> accountName(std::uint32_t) const override { return std::nullopt; }
};

void writeFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << bytes;
}

struct Homes {
  std::string root;
  std::vector<Discovery::LocalUser> users;

  explicit Homes(int count) {
    const char* base = std::getenv("TAVRA_BENCH_DIR");
    std::string pattern = (base ? std::string(base) : std::filesystem::current_path().string()) +
                          "/tavra-bench.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a directory");
    root = pattern;
    for (int i = 0; i < count; ++i) {
      const std::string name = "user" + std::to_string(i);
      const std::string home = root + "/Users/" + name;
      const std::string tool = home + "/.npm/lib/node_modules/tool";
      writeFile(tool + "/package.json", R"({"name":"tool","version":"1.2.3"})");
      writeFile(tool + "/bin/tool.js", "#!/usr/bin/env node\n");
      std::filesystem::permissions(tool + "/bin/tool.js", std::filesystem::perms(0755));
      std::filesystem::create_directories(home + "/.local/bin");
      std::filesystem::create_symlink(tool + "/bin/tool.js", home + "/.local/bin/tool");
      for (const char* app : {"Tool.app", "Other.app", "Third.app"}) {
        writeFile(home + "/Applications/" + app + "/Contents/Info.plist",
                  R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                  "<key>CFBundleIdentifier</key><string>com.example." +
                      std::string(app) +
                      "</string><key>CFBundleShortVersionString</key><string>1.0</string>"
                      "</dict></plist>\n");
      }
      writeFile(home + "/.tool/settings.json", "{}");
      writeFile(home + "/.tool/agents/a.json", "{}");
      writeFile(home + "/.tool/agents/b.json", "{}");
      users.push_back({name, 501u + static_cast<std::uint32_t>(i), home});
    }
  }
  ~Homes() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  // The detection block of the "~/" patterns, or of every user's own paths spelled out whole.
  Catalog catalog(bool spelledOut) const {
    std::vector<std::string> bundles{"com.example.Tool.app", "com.example.Third.app"};
    std::vector<std::string> executables, configs;
    const std::vector<std::string> homes =
        spelledOut ? homesOf(users) : std::vector<std::string>{"~"};
    for (const std::string& home : homes) {
      executables.push_back(home + "/.local/bin/tool");
      configs.push_back(home + "/.tool/settings.json");
      configs.push_back(home + "/.tool/agents/*.json");
      configs.push_back(home + "/.missing/config.json");
    }
    Harness harness;
    harness.id = "tool";
    harness.displayName = "Tool";
    harness.detect = Detection{bundles, executables, std::nullopt, configs};
    return Catalog{2, "1", {harness}};
  }

  static std::vector<std::string> homesOf(const std::vector<Discovery::LocalUser>& users) {
    std::vector<std::string> homes;
    for (const auto& user : users) homes.push_back(user.home);
    return homes;
  }
};

// Every home's files read as its user could read them.
void asTheUsers(benchmark::State& state) {
  const Homes homes(int(state.range(0)));
  std::vector<std::string> applications;
  for (const auto& user : homes.users) applications.push_back(user.home + "/Applications");
  const Discovery discovery(std::make_shared<PosixFileSystem>(), std::make_shared<NoProcesses>(),
                            homes.users, applications);
  const Catalog catalog = homes.catalog(false);
  for (auto _ : state) benchmark::DoNotOptimize(discovery.run(catalog));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(asTheUsers)->Arg(1)->Arg(20)->Unit(benchmark::kMicrosecond);

// The same files, as paths of no user.
void withDiscoverysOwnRights(benchmark::State& state) {
  const Homes homes(int(state.range(0)));
  std::vector<std::string> applications;
  for (const auto& user : homes.users) applications.push_back(user.home + "/Applications");
  // Without users, no folder belongs to anyone.
  const Discovery discovery(std::make_shared<PosixFileSystem>(), std::make_shared<NoProcesses>(),
                            std::vector<Discovery::LocalUser>{}, applications);
  const Catalog catalog = homes.catalog(true);
  for (auto _ : state) benchmark::DoNotOptimize(discovery.run(catalog));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(withDiscoverysOwnRights)->Arg(1)->Arg(20)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavra
