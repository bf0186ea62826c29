#include "profile.h"

#include <memory>

#include "errors.h"
#include "input_file.h"
#include "output_file.h"
#include "tavra/constants.h"
#include "tavra/platform/unicode.h"
#include "tavra/policy_fragment.h"
#include "tavra/profile_builder.h"
#include "terminal_text.h"

namespace tavra::ctl {
namespace {

// The payload in the input file: JSON for a name ending in ".json", a property list otherwise.
// A configuration profile is not unpacked; its whole content is the payload.
Value readPayload(const FileSystem& files, const std::string& path) {
  const std::string bytes = readInputFileOrRefuse(files, path, "cannot read " + path);
  return path.ends_with(".json") ? Value::parseJSON(bytes) : Value::parsePlist(bytes);
}

// A fragment name is one or more letters or numbers (accented ones too), "-" and "_".
bool isFragmentName(const std::string& name) {
  if (name.empty()) return false;
  for (const std::string_view character : unicode::graphemeClusters(name)) {
    if (character != "-" && character != "_" && !unicode::isLetterOrNumber(character)) {
      return false;
    }
  }
  return true;
}

}  // namespace

void setupProfile(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<ProfileOptions>();
  CLI::App& command =
      tree.addCommand(parent, "profile",
                      "Generate a .mobileconfig for a policy fragment or for the daemon settings.");
  tree.addRequiredArgument(command, "input", options->input,
                           "Fragment or settings file (.json or .plist).", Completion::file);
  tree.addOption(command, "name", options->name,
                 "Fragment name; the domain becomes com.zelkorandin.tavra.policy.<name>. Omit with "
                 "--settings.");
  tree.addFlag(command, "settings", options->settings,
               "Build the daemon settings profile (domain com.zelkorandin.tavra).");
  tree.addOption(command, "organization", options->organization, "PayloadOrganization.");
  tree.addOption(command, "output", options->output, "Output file (default: stdout).",
                 Completion::file);
  tree.setRun(command, [options, &context = tree.context()] { runProfile(*options, context); });
}

void runProfile(const ProfileOptions& options, Context& context) {
  const Value payload = readPayload(*context.services.fileSystem, options.input);
  std::string domain(Constants::settingsDomain);
  std::string displayName = "Tavra settings";
  if (!options.settings) {
    if (!options.name || !isFragmentName(*options.name)) {
      throw ValidationError("--name is required (letters, digits, - and _)");
    }
    domain = std::string(Constants::policyDomainPrefix) + *options.name;
    displayName = "Tavra policy: " + *options.name;
    // Only a payload the daemon would accept becomes a profile; a switched-off one is accepted.
    if (!PolicyFragment::parse(domain, payload)) {
      const Value::Object* object = payload.asObject();
      if (object != nullptr && !object->empty() && !object->contains("Enabled")) {
        throw ValidationError("invalid fragment");
      }
    }
  }
  const std::string profile =
      ProfileBuilder::mobileconfig(domain, payload, displayName, options.organization);
  if (!options.output) {
    writeVerbatim(context.out, profile);
    return;
  }
  writeOutputFile(*context.services.fileSystem, *options.output, profile);
  context.out << "wrote " << *options.output << " (domain " << domain << ")\n";
}

}  // namespace tavra::ctl
