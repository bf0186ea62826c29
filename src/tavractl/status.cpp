#include "status.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupStatus(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<StatusOptions>();
  CLI::App& command =
      tree.addCommand(parent, "status", "Show the result of the daemon's last run.");
  tree.addFlag(command, "json", options->json, "Print the raw status JSON.");
  tree.addFlag(command, "check", options->check, "Exit code 1 unless health is ok (for scripts).");
  tree.addFlag(command, "line", options->line,
               "One line for Jamf Extension Attributes / Intune custom attributes.");
  tree.addOption(command, "file", options->file,
                 "Read this status.json instead (e.g. from a support case or `tavractl simulate`).",
                 Completion::file);
  tree.setRun(command, [options, &context = tree.context()] { runStatus(*options, context); });
}

void runStatus(const StatusOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("status");
}

}  // namespace tavra::ctl
