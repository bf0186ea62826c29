#include "validate.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupValidate(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<ValidateOptions>();
  CLI::App& command =
      tree.addCommand(parent, "validate", "Check fragment files against the catalog.");
  options->inputs.setup(tree, command);
  tree.addOption(command, "catalog", options->catalog, "Catalog file. Default: installed catalog.",
                 Completion::file);
  tree.setRun(command, [options, &context = tree.context()] { runValidate(*options, context); });
}

void runValidate(const ValidateOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("validate");
}

}  // namespace tavra::ctl
