#include "validate.h"

#include <algorithm>
#include <map>
#include <memory>

#include "errors.h"
#include "load_catalog.h"

namespace tavra::ctl {
namespace {

// The problems of one fragment's harness entries against the catalog.
void checkHarnesses(const PolicyFragment& fragment, const Catalog& catalog,
                    std::vector<std::string>& problems) {
  for (const auto& [harnessID, outputs] : fragment.harnesses) {
    const std::optional<Harness> harness = catalog.harness(harnessID);
    if (!harness) {
      problems.push_back(fragment.id + ": unknown harness " + harnessID);
      continue;
    }
    if (harness->status == Harness::Status::planned) {
      problems.push_back(fragment.id + ": harness " + harnessID + " is planned, not yet supported");
    }
    for (const auto& entry : outputs) {
      const std::string& outputID = entry.first;
      const bool known = std::any_of(harness->outputs.begin(), harness->outputs.end(),
                                     [&](const Output& output) { return output.id == outputID; });
      if (!known)
        problems.push_back(fragment.id + ": unknown output " + harnessID + "." + outputID);
    }
  }
}

}  // namespace

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
  const FragmentInputs::Loaded loaded = options.inputs.load(*context.services.fileSystem);
  std::vector<std::string> problems = loaded.errors;
  const Catalog catalog = loadCatalog(options.catalog, /*verify=*/false, context);

  std::map<std::string, std::string> domainOfID;
  for (const PolicyFragment& fragment : loaded.fragments) {
    if (auto seen = domainOfID.find(fragment.id); seen != domainOfID.end()) {
      problems.push_back("duplicate PolicyID " + fragment.id + " (" + seen->second + ", " +
                         fragment.sourceDomain + ")");
    }
    domainOfID[fragment.id] = fragment.sourceDomain;
    checkHarnesses(fragment, catalog, problems);
  }

  if (!problems.empty()) {
    for (const std::string& problem : problems) context.out << "\u2717 " << problem << "\n";
    throw ExitCode(exitFailure);
  }
  context.out << "\u2713 " << loaded.fragments.size() << " fragment(s) valid against catalog "
              << catalog.catalogVersion << "\n";
}

}  // namespace tavra::ctl
