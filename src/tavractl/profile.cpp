#include "profile.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

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
  (void)options;
  (void)context;
  notBuiltYet("profile");
}

}  // namespace tavra::ctl
