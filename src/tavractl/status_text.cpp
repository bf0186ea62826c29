#include "status_text.h"

#include <chrono>

namespace tavra::ctl {
namespace {

using State = StatusReport::HarnessState;

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

bool isProblem(const StatusReport::HarnessStatus& harness) {
  return harness.state == State::degraded || harness.state == State::error;
}

}  // namespace

std::string statusLine(const StatusReport& report, Date now) {
  std::vector<std::string> managed;
  std::vector<std::string> problems;
  for (const auto& harness : report.harnesses) {
    if (harness.state == State::managed) managed.push_back(harness.id);
    if (isProblem(harness))
      problems.push_back(harness.id + ":" + std::string(rawValue(harness.state)));
  }
  // Whole minutes, truncated toward zero; a report from the future gives 0 or less.
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now - report.timestamp).count();
  std::vector<std::string> parts = {
      std::string(rawValue(report.health)),
      "catalog " + report.catalogVersion.value_or("none"),
      "managed " + (managed.empty() ? std::string("none") : joined(managed, ",")),
      "last run " + std::to_string(seconds / 60) + "m ago",
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
    text += harness.id + ": " + std::string(rawValue(harness.state)) + " [" +
            joined(harness.fragments, ", ") + "]\n";
    for (const auto& output : harness.outputs) text += "    \u2192 " + output + "\n";
    for (const auto& warning : harness.warnings) text += "    \u26A0\uFE0E " + warning + "\n";
    for (const auto& error : harness.errors) text += "    \u2717 " + error + "\n";
  }
  if (!report.changes.empty()) {
    text += "\nChanges in last run:\n";
    for (const auto& change : report.changes) {
      text += "  " + std::string(FileApplier::rawValue(change.action)) + ": " + change.path + "\n";
    }
  }
  for (const auto& error : report.errors) text += "\u2717 " + error + "\n";
  return text;
}

}  // namespace tavra::ctl
