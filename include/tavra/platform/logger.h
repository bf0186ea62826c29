// Logging: the system's log lines, each tagged with a subsystem ("com.zelkorandin.tavra") and a
// category ("daemon", "reconcile"), at one of three levels: default, info or error.
//
// Callers hand in finished lines: every interpolated value is already in its place as plain
// text. A logger never throws and never blocks for long; every implementation may be called
// from any thread. Loggers are shared by reference (std::shared_ptr) between the parts of one
// program that write under the same category.
//
// This machine's implementation (systemLogger) sends each line to syslog(3), where the journal
// collects it; nothing is printed on the terminal. MemoryLogger keeps the lines in memory, for
// tests and for callers that want to show what a pass logged.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tavra {

class Logger {
 public:
  enum class Level { default_, info, error };

  Logger(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}
  virtual ~Logger() = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  const std::string& subsystem() const noexcept { return subsystem_; }
  const std::string& category() const noexcept { return category_; }

  // Writes one line at `level`.
  virtual void write(Level level, std::string_view line) noexcept = 0;

  void log(std::string_view line) noexcept { write(Level::default_, line); }
  void info(std::string_view line) noexcept { write(Level::info, line); }
  void error(std::string_view line) noexcept { write(Level::error, line); }

 private:
  std::string subsystem_;
  std::string category_;
};

// "default", "info" or "error".
std::string_view levelName(Logger::Level level) noexcept;

// A logger that keeps every line, in the order written. Thread-safe.
class MemoryLogger final : public Logger {
 public:
  struct Line {
    Level level;
    std::string text;
    friend bool operator==(const Line&, const Line&) = default;
  };

  using Logger::Logger;

  void write(Level level, std::string_view line) noexcept override;
  std::vector<Line> lines() const;
  // Only the texts, in order.
  std::vector<std::string> texts() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

// This machine's system log for `subsystem` and `category` (syslog: the subsystem is the
// identity, the category is put in front of every line in brackets; default maps to LOG_NOTICE,
// info to LOG_INFO, error to LOG_ERR).
std::shared_ptr<Logger> systemLogger(std::string subsystem, std::string category);

}  // namespace tavra
