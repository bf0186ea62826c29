#include "support/recording_launcher.h"

namespace tavra::test {

std::optional<int> RecordingLauncher::run(
    const std::string& path, const std::vector<std::string>& arguments) const noexcept {
  const std::lock_guard lock(mutex_);
  runs_.push_back({path, arguments});
  return answer_;
}

std::vector<RecordingLauncher::Run> RecordingLauncher::runs() const {
  const std::lock_guard lock(mutex_);
  return runs_;
}

}  // namespace tavra::test
