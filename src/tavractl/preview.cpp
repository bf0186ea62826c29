#include "preview.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupPreview(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<PreviewOptions>();
  CLI::App& command = tree.addCommand(
      parent, "preview",
      "Show the vendor files Tavra would write for a set of fragments. Nothing is written.");
  options->inputs.setup(tree, command);
  tree.addOption(command, "catalog", options->catalog,
                 "Catalog file (unsigned allowed for preview). Default: installed catalog.",
                 Completion::file);
  tree.addOption(command, "harness", options->harness, "Only show this harness.");
  tree.addOption(command, "key", options->key,
                 "PEM private key to decrypt envelopes for the preview.", Completion::file);
  tree.setRun(command, [options, &context = tree.context()] { runPreview(*options, context); });
}

void runPreview(const PreviewOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("preview");
}

}  // namespace tavra::ctl
