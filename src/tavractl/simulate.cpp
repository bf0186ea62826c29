#include "simulate.h"

#include <memory>
#include <string>

#include "errors.h"

namespace tavra::ctl {
namespace {

const std::string simulateDiscussion =
    "Vendor files are written below <out> at their real paths (e.g. "
    "<out>/etc/codex/requirements.toml),\n"
    "the report goes to <out>/Library/Application Support/Tavra/status.json. Read it with\n"
    "`tavractl status --file …`. Nothing outside <out> is touched.";

}  // namespace

void setupSimulate(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<SimulateOptions>();
  CLI::App& command = tree.addCommand(
      parent, "simulate",
      "Run a complete Tavra pass into a folder, as if the fragments were installed on a Mac.",
      simulateDiscussion);
  options->inputs.setup(tree, command);
  tree.addRequiredOption(command, "catalog", options->catalog, "Catalog file (unsigned allowed).",
                         Completion::file);
  tree.addRequiredOption(command, "out", options->out, "Output folder.", Completion::directory);
  tree.addOption(
      command, "key", options->key,
      "PEM private key to decrypt envelopes (without it, harnesses with secrets end up degraded).",
      Completion::file);
  tree.setRun(command, [options, &context = tree.context()] { runSimulate(*options, context); });
}

void runSimulate(const SimulateOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("simulate");
}

}  // namespace tavra::ctl
