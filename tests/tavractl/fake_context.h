// A Context for driving the tool's commands in-process: captured output, a fixed clock, and a
// machine that is whatever each test makes of it. Members a test does not set fail loudly.
#pragma once

#include <signal.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "context.h"
#include "support/services.h"
#include "tool.h"

namespace tavra::test {

struct ToolResult {
  int status = -1;
  std::string output;
  std::string errors;
};

class FakeContext {
 public:
  struct Signal {
    std::int32_t pid;
    int signal;
    friend bool operator==(const Signal&, const Signal&) = default;
  };

  FakeContext()
      : context{
            .out = out,
            .in = in,
            .services = test::services(),
            .now = [this] { return now; },
            .formatDate = [](Date date) { return "date " + iso8601(date); },
            .realUserID = [this] { return uid; },
            .processTable = [this] { return processes; },
            .sendSignal =
                [this](std::int32_t pid, int signal) {
                  signals.push_back({pid, signal});
                },
            .makeDiscovery = []() -> Discovery {
              throw std::logic_error("no discovery in this test");
            },
            .statusPath = "/nonexistent/status.json",
            .installedCatalog = []() -> std::optional<Catalog> { return std::nullopt; },
            .localPass = []() -> StatusReport {
              throw std::logic_error("no system pass in this test");
            },
        } {}

  // Runs the tool with `words` and gives what it printed; the output buffers start empty.
  ToolResult run(const std::vector<std::string>& words) {
    out.str("");
    out.clear();
    std::ostringstream errors;
    ToolResult result;
    result.status = ctl::runTool(words, context, errors);
    result.output = out.str();
    result.errors = errors.str();
    return result;
  }

  std::ostringstream out;
  std::istringstream in;
  Date now = Date(std::chrono::seconds(1'750'000'000));
  uid_t uid = 0;
  std::vector<Discovery::RunningProcess> processes;
  std::vector<Signal> signals;
  ctl::Context context;
};

}  // namespace tavra::test
