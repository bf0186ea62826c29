#include "simulate.h"

#include <unistd.h>

#include <memory>
#include <string>

#include "errors.h"
#include "input_file.h"
#include "key_option.h"
#include "pass_text.h"
#include "services.h"
#include "simulate_folder.h"
#include "tavra/base64.h"
#include "tavra/catalog_signer.h"
#include "tavra/constants.h"
#include "tavra/path_policy.h"
#include "tavra/plist.h"
#include "tavra/support_layout.h"

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
  const FileSystem& files = *context.services.fileSystem;
  const FragmentInputs::Loaded loaded = options.inputs.load(files);
  for (const auto& error : loaded.errors) context.out << "\u2717 " << error << "\n";

  const std::string folder = outputFolder(files, options.out);
  // Below the root the pass would be a real one, over the machine's own preferences, catalog
  // cache and state, with a catalog signed by a key nobody else trusts.
  if (isFileSystemRoot(files, folder)) {
    throw ValidationError("--out " + options.out +
                          " is the root folder; simulate needs a folder of its own");
  }
  const std::string preferences = below(folder, Constants::managedPreferencesDirectory);
  const std::string support = below(folder, Constants::supportDirectory);

  // From here on every file of the simulation is reached from the folder opened now, without
  // following a link: what another user does meanwhile cannot carry a write out of it.
  Services confined = context.services;
  confined.fileSystem = openSimulationFolder(context.services.fileSystem, folder, options.out,
                                             {context.realUserID(), ::geteuid()});
  const FileSystem& inside = *confined.fileSystem;
  for (const auto& fragment : loaded.fragments) {
    replaceFile(inside, preferences + "/" + fragmentFileName(fragment.sourceDomain),
                plist::writeXML(fragmentPayload(fragment)));
  }

  Catalog catalog = Catalog::decode(
      readInputFileOrRefuse(files, options.catalog, "cannot read " + options.catalog));
  // A path a Mac keeps for the system itself stays as it is, so that the pass refuses it as there
  // instead of writing over the simulation's own state and fragments.
  for (auto& harness : catalog.harnesses) {
    for (auto& output : harness.outputs) {
      if (!PathPolicy::isReserved(output.path)) output.path = below(folder, output.path);
    }
  }

  // A throw-away key signs the moved catalog; it lives only in this process.
  const crypto::Ed25519PrivateKey signingKey = crypto::Ed25519PrivateKey::generate();
  const std::string catalogBytes = catalog.encode();
  const std::string signature = CatalogSigner::sign(catalogBytes, base64::encode(signingKey.raw()));
  const CatalogStore store =
      simulationCatalogStore(confined, supportLayout::catalogDirectory(support),
                             base64::encode(signingKey.publicKey().raw()));
  store.install(catalogBytes, signature);

  const std::shared_ptr<const DecryptionKeyProvider> keys = keyProvider(files, options.key);

  StatusReport report = runSimulationPass(confined,
                                          {.preferencesFolder = preferences,
                                           .supportFolder = support,
                                           .outputPrefix = folder + "/",
                                           .keys = keys},
                                          store);
  rewriteForMac(report, folder);
  const std::string statusFile = supportLayout::statusFile(support);
  replaceFile(inside, statusFile, report.encode());

  context.out << passText(report);
  context.out << "Status: " << statusFile << "\n";
}

}  // namespace tavra::ctl
