#include <syslog.h>

#include <mutex>
#include <set>

#include "tavra/platform/logger.h"

namespace tavra {

std::string_view levelName(Logger::Level level) noexcept {
  switch (level) {
    case Logger::Level::default_:
      return "default";
    case Logger::Level::info:
      return "info";
    case Logger::Level::error:
      return "error";
  }
  return "default";
}

void MemoryLogger::write(Level level, std::string_view line) noexcept {
  try {
    std::lock_guard lock(mutex_);
    lines_.push_back({level, std::string(line)});
  } catch (...) {
    // Out of memory: the line is lost, the caller goes on.
  }
}

std::vector<MemoryLogger::Line> MemoryLogger::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> MemoryLogger::texts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(lines_.size());
  for (const auto& line : lines_) out.push_back(line.text);
  return out;
}

void MemoryLogger::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

namespace {

// openlog keeps the identity pointer for the life of the process, and the connection is
// process-wide: identities are therefore kept here for good and the last one opened wins.
std::mutex syslogMutex;

const char* keptIdentity(const std::string& subsystem) {
  static std::set<std::string> identities;
  return identities.insert(subsystem).first->c_str();
}

class SyslogLogger final : public Logger {
 public:
  SyslogLogger(std::string subsystem, std::string category)
      : Logger(std::move(subsystem), std::move(category)) {
    std::lock_guard lock(syslogMutex);
    openlog(keptIdentity(this->subsystem()), LOG_PID | LOG_NDELAY, LOG_DAEMON);
  }

  void write(Level level, std::string_view line) noexcept override {
    int priority = LOG_NOTICE;
    if (level == Level::info) priority = LOG_INFO;
    if (level == Level::error) priority = LOG_ERR;
    std::lock_guard lock(syslogMutex);
    syslog(priority, "[%s] %.*s", category().c_str(), static_cast<int>(line.size()), line.data());
  }
};

}  // namespace

std::shared_ptr<Logger> systemLogger(std::string subsystem, std::string category) {
  return std::make_shared<SyslogLogger>(std::move(subsystem), std::move(category));
}

}  // namespace tavra
