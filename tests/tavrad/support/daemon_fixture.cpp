#include "tavrad/support/daemon_fixture.h"

#include <filesystem>

#include "support/scratch_environment.h"

namespace tavra::test {

namespace {

// Any fixed moment will do; it only has to be a real date.
const Date epoch = Date{} + std::chrono::hours(24 * 365 * 50);

}  // namespace

DaemonTest::DaemonTest() {
  makeFolder("/Library/Managed Preferences");
}

DaemonTest::~DaemonTest() {
  // The daemon goes before the loop it has sources on.
  daemon.reset();
}

Daemon::Collaborators DaemonTest::collaborators() {
  return Daemon::Collaborators{
      .readSettings =
          [this] {
            ++settingsReads;
            return settings;
          },
      .environment =
          [this](const TavraSettings&) {
            return test::scratchEnvironment(
                {.folder = tree.root(), .catalogDirectory = tree.path("catalog")});
          },
      .reconcile =
          [this](const Environment&, const TavraSettings&) {
            passes.push_back(loop.now());
            if (duringPass) duringPass();
            if (passThrows) throw std::runtime_error("the pass broke");
            return Reconciler::Outcome{report, left};
          },
      .verifiedCatalogInstalled = [this](const Environment&) { return catalogInstalled; },
      .updateCatalog =
          [this](const CatalogStore& store, const URL& from,
                 const std::optional<std::string>& pin) {
            updateCalls.push_back({store.directory(), from.text(), pin});
            if (updateOutcomes.empty()) return UpdateResult::unchanged("1.0");
            UpdateOutcome next = updateOutcomes.front();
            updateOutcomes.pop_front();
            if (auto* error = std::get_if<std::exception_ptr>(&next)) {
              std::rethrow_exception(*error);
            }
            return std::get<UpdateResult>(next);
          },
      .openWatch =
          [this](const std::string& path, EventLoop::Task task, std::error_code& error) {
            watchRequests.push_back(path);
            return loop.watch(local(path), std::move(task), error);
          },
      .fileStatus =
          [this](const std::string& path) {
            std::error_code error;
            return files.status(local(path), fs::Links::notFinal, error);
          },
      .runInBackground =
          [this](std::function<void()> work) {
            if (backgroundFails) {
              throw std::system_error(EAGAIN, std::generic_category(), "no thread");
            }
            heldBack.push_back(std::move(work));
          },
      .now = [this] { return epoch + clockShift + loop.now(); },
      .realUserID = [this] { return uid; },
      .exit = [this](int status) { exits.push_back(status); },
  };
}

void DaemonTest::start() {
  daemon = Daemon::create(loop, log, collaborators());
  daemon->start();
}

double DaemonTest::seconds() const {
  return std::chrono::duration<double>(loop.now()).count();
}

void DaemonTest::advanceTo(double at) {
  const auto target =
      std::chrono::duration_cast<EventLoop::Duration>(std::chrono::duration<double>(at));
  ASSERT_GE(target, loop.now());
  loop.advance(target - loop.now());
}

std::vector<double> DaemonTest::runTimes() const {
  std::vector<double> times;
  for (auto at : passes) times.push_back(std::chrono::duration<double>(at).count());
  return times;
}

std::vector<std::string> DaemonTest::linesAt(Logger::Level level) const {
  std::vector<std::string> texts;
  for (const auto& line : log->lines()) {
    if (line.level == level) texts.push_back(line.text);
  }
  return texts;
}

void DaemonTest::finishRefreshes() {
  std::vector<std::function<void()>> work;
  work.swap(heldBack);
  for (auto& item : work) item();
  loop.runReady();
}

StatusReport DaemonTest::reportWith(std::vector<std::vector<std::string>> outputs) {
  StatusReport result;
  result.catalogVersion = "1.0";
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    StatusReport::HarnessStatus harness;
    harness.id = "h" + std::to_string(i);
    harness.state = StatusReport::HarnessState::managed;
    harness.outputs = std::move(outputs[i]);
    result.harnesses.push_back(std::move(harness));
  }
  return result;
}

void DaemonTest::makeFile(const std::string& canonicalPath) const {
  tree.write(canonicalPath.substr(1), "content");
}

void DaemonTest::makeFolder(const std::string& canonicalPath) const {
  tree.mkdir(canonicalPath.substr(1));
}

void DaemonTest::passWrites(const std::string& canonicalPath, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(local(canonicalPath)).parent_path());
  left[FileKey(canonicalPath)] = files.writeAtomically(local(canonicalPath), bytes, {.mode = 0644});
}

void DaemonTest::passFinds(const std::string& canonicalPath) {
  std::error_code error;
  left[FileKey(canonicalPath)] = files.status(local(canonicalPath), fs::Links::notFinal, error);
}

}  // namespace tavra::test
