// `profile`: Generate a .mobileconfig for a policy fragment or for the daemon settings.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct ProfileOptions {
  std::string input;
  std::optional<std::string> name;
  bool settings = false;
  std::optional<std::string> organization;
  std::optional<std::string> output;
};

// Declares the command on `parent`.
void setupProfile(CommandTree& tree, CLI::App& parent);

void runProfile(const ProfileOptions& options, Context& context);

}  // namespace tavra::ctl
