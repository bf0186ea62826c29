#include "support/services.h"

#include <string>

#include "support/recording_launcher.h"

namespace tavra::test {

namespace {

// Each process gets its index as its uid, and the index names its user.
class FixedProcessTable final : public platform::ProcessTable {
 public:
  FixedProcessTable(std::vector<Discovery::RunningProcess> processes,
                    std::map<std::uint32_t, std::vector<std::uint32_t>> groups)
      : processes_(std::move(processes)), groups_(std::move(groups)) {}

  std::vector<platform::ProcessInfo> processes() const override {
    std::vector<platform::ProcessInfo> table;
    for (std::size_t i = 0; i < processes_.size(); ++i) {
      table.push_back({processes_[i].pid, processes_[i].path, static_cast<std::uint32_t>(i)});
    }
    return table;
  }

  std::optional<std::string> accountName(std::uint32_t uid) const override {
    if (uid >= processes_.size() || processes_[uid].user == "?") return std::nullopt;
    return processes_[uid].user;
  }

  std::vector<std::uint32_t> accountGroups(std::uint32_t uid) const override {
    auto found = groups_.find(uid);
    return found == groups_.end() ? std::vector<std::uint32_t>{} : found->second;
  }

 private:
  std::vector<Discovery::RunningProcess> processes_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> groups_;
};

class FunctionClock final : public Clock {
 public:
  explicit FunctionClock(std::function<Date()> now) : now_(std::move(now)) {}
  std::chrono::system_clock::time_point now() const override { return now_(); }

 private:
  std::function<Date()> now_;
};

}  // namespace

std::shared_ptr<const Clock> clock(std::function<Date()> now) {
  return std::make_shared<FunctionClock>(std::move(now));
}

std::shared_ptr<const FileSystem> files() {
  return std::make_shared<PosixFileSystem>();
}

std::shared_ptr<const platform::ProcessTable> processTable(
    std::vector<Discovery::RunningProcess> processes,
    std::map<std::uint32_t, std::vector<std::uint32_t>> groups) {
  return std::make_shared<FixedProcessTable>(std::move(processes), std::move(groups));
}

Services services() {
  return Services{
      .fileSystem = files(),
      .clock = std::make_shared<SystemClock>(),
      .reconcileLog = std::make_shared<MemoryLogger>("com.zelkorandin.tavra", "reconcile"),
      .daemonLog = std::make_shared<MemoryLogger>("com.zelkorandin.tavra", "daemon"),
      .processes = processTable(),
      .programs = std::make_shared<RecordingLauncher>(),
  };
}

}  // namespace tavra::test
