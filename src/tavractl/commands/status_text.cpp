#include "status_text.h"

#include <chrono>
#include <cstdint>

#include "pass_text.h"
#include "tavra/joined.h"

namespace tavra::ctl {
namespace {

using State = StatusReport::HarnessState;

bool isProblem(const StatusReport::HarnessStatus& harness) {
  return harness.state == State::degraded || harness.state == State::error;
}

// The whole minutes from `from` to `to`, truncated toward zero (negative when `to` is earlier).
// Counted in whole seconds plus a fraction: the clock's own unit cannot hold the distance
// between dates centuries apart, which a status file may carry.
std::int64_t wholeMinutesBetween(Date from, Date to) {
  using namespace std::chrono;
  const sys_seconds fromSeconds = floor<seconds>(from);
  const sys_seconds toSeconds = floor<seconds>(to);
  std::int64_t whole = (toSeconds - fromSeconds).count();
  // Each part is under one second, so neither this difference nor the sum below overflows.
  Date::duration fraction = (to - toSeconds) - (from - fromSeconds);
  if (fraction < Date::duration::zero()) {
    whole -= 1;
    fraction += seconds(1);
  }
  // whole + fraction, with 0 <= fraction < 1 s: toward zero, a negative count gains the fraction.
  if (whole < 0 && fraction > Date::duration::zero()) whole += 1;
  return whole / 60;
}

}  // namespace

std::string statusLine(const StatusReport& report, Date now) {
  std::vector<std::string> managed;
  std::vector<std::string> problems;
  for (const auto& harness : report.harnesses) {
    if (harness.state == State::managed) managed.push_back(harness.id);
    if (isProblem(harness))
      problems.push_back(harness.id + ":" + std::string(harness.state.text()));
  }
  const std::int64_t minutes = wholeMinutesBetween(report.timestamp, now);
  std::vector<std::string> parts = {
      std::string(rawValue(report.health)),
      "catalog " + report.catalogVersion.value_or("none"),
      "managed " + (managed.empty() ? std::string("none") : joined(managed, ",")),
      "last run " + std::to_string(minutes) + "m ago",
  };
  if (!problems.empty()) parts.push_back("problems " + joined(problems, ","));
  return joined(parts, " | ");
}

std::string statusListing(const StatusReport& report,
                          const std::function<std::string(Date)>& formatDate) {
  std::string text = "Tavra " + report.tavraVersion + " \u2014 last run " +
                     formatDate(report.timestamp) + (report.dryRun ? " (dry run)" : "") + "\n";
  text += "Health: " + std::string(rawValue(report.health)) + "\n";
  text += "Catalog: " + report.catalogVersion.value_or("none") + "\n";
  text += "Fragments: " +
          (report.fragments.empty() ? std::string("none") : joined(report.fragments, ", ")) + "\n";
  for (const auto& [domain, message] : report.fragmentErrors) {
    text += "  ! " + domain + ": " + message + "\n";
  }
  text += "\n";
  for (const auto& harness : report.harnesses) {
    if (harness.state == State::unmanaged && harness.errors.empty()) continue;
    text += harness.id + ": " + std::string(harness.state.text()) + " [" +
            joined(harness.fragments, ", ") + "]\n";
    for (const auto& output : harness.outputs) text += "    \u2192 " + output + "\n";
    for (const auto& warning : harness.warnings) text += "    \u26A0\uFE0E " + warning + "\n";
    for (const auto& error : harness.errors) text += "    \u2717 " + error + "\n";
  }
  if (!report.changes.empty()) {
    text += "\nChanges in last run:\n";
    for (const auto& change : report.changes) text += changeLine(change);
  }
  for (const auto& error : report.errors) text += "\u2717 " + error + "\n";
  return text;
}

}  // namespace tavra::ctl
