#include "pass_text.h"

namespace tavra::ctl {

std::string passText(const StatusReport& report) {
  std::string text = report.summary() + "\n";
  for (const auto& change : report.changes) text += changeLine(change);
  for (const auto& error : report.errors) text += "\u2717 " + error + "\n";
  return text;
}

std::string changeLine(const FileApplier::Change& change) {
  return "  " + std::string(rawValue(change.action)) + ": " + change.path + "\n";
}

}  // namespace tavra::ctl
