#include "preview.h"

#include <memory>

#include "errors.h"
#include "key_option.h"
#include "load_catalog.h"
#include "tavra/merger.h"
#include "tavra/platform/unicode.h"
#include "tavra/renderer.h"
#include "tavra/secret_envelope.h"

namespace tavra::ctl {
namespace {

// The values the fragments give one output, highest precedence first, with their envelopes
// opened where the keys allow; a value that cannot be opened is shown as it is.
std::vector<Value> outputValues(const std::vector<const PolicyFragment*>& fragments,
                                const std::string& harnessID, const std::string& outputID,
                                const DecryptionKeyProvider& keys) {
  std::vector<Value> values;
  for (const PolicyFragment* fragment : fragments) {
    const PolicyFragment::Outputs& outputs = fragment->harnesses.find(harnessID)->second;
    const auto found = outputs.find(outputID);
    if (found == outputs.end()) continue;
    try {
      values.push_back(SecretEnvelope::decryptAll(found->second, keys));
    } catch (const std::exception&) {
      values.push_back(found->second);
    }
  }
  return values;
}

}  // namespace

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
  const FragmentInputs::Loaded loaded = options.inputs.load(*context.services.fileSystem);
  for (const std::string& error : loaded.errors) context.out << "\u2717 " << error << "\n";
  const Catalog catalog = loadCatalog(options.catalog, /*verify=*/false, context);
  const std::unique_ptr<const DecryptionKeyProvider> keys =
      keyProvider(*context.services.fileSystem, options.key);

  const std::vector<PolicyFragment> fragments = sortedByPrecedence(loaded.fragments);
  context.out << "Fragments (highest priority first): ";
  for (std::size_t i = 0; i < fragments.size(); ++i) {
    context.out << (i == 0 ? "" : ", ") << fragments[i].id << "=" << fragments[i].priority;
  }
  context.out << "\n\n";

  for (const Harness& harness : catalog.harnesses) {
    if (options.harness && *options.harness != harness.id) continue;
    std::vector<const PolicyFragment*> naming;
    for (const PolicyFragment& fragment : fragments) {
      if (fragment.harnesses.contains(harness.id)) naming.push_back(&fragment);
    }
    if (naming.empty()) continue;
    for (const Output& output : harness.outputs) {
      const std::vector<Value> values = outputValues(naming, harness.id, output.id, *keys);
      if (values.empty()) continue;
      const Merger::Result merged =
          Merger(output.mergeRules.value_or(std::vector<MergeRule>{})).merge(values);
      const std::string rendered = Renderer::render(merged.value, output);
      context.out << "\u2500\u2500 " << harness.displayName << " \u00b7 " << output.id << " \u2192 "
                  << output.path << "\n";
      for (const std::string& warning : merged.warnings) {
        context.out << "   \u26a0\ufe0e " << warning << "\n";
      }
      context.out << unicode::repairedUTF8(rendered) << "\n";
    }
  }
}

}  // namespace tavra::ctl
