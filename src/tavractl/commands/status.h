// `status`: Show the result of the daemon's last run.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct StatusOptions {
  bool json = false;
  bool check = false;
  bool line = false;
  std::optional<std::string> file;
};

// Declares the command on `parent`.
void setupStatus(CommandTree& tree, CLI::App& parent);

void runStatus(const StatusOptions& options, Context& context);

}  // namespace tavra::ctl
