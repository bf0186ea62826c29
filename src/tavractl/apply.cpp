#include "apply.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupApply(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<ApplyOptions>();
  CLI::App& command = tree.addCommand(
      parent, "apply", "Ask the daemon to re-apply now (or run once in-process with --local).");
  tree.addFlag(command, "local", options->local,
               "Run a reconcile in this process instead of signalling tavrad (requires root).");
  tree.setRun(command, [options, &context = tree.context()] { runApply(*options, context); });
}

void runApply(const ApplyOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("apply");
}

}  // namespace tavra::ctl
