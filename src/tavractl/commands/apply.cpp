#include "apply.h"

#include <signal.h>

#include <memory>
#include <string_view>

#include "errors.h"
#include "pass_text.h"

namespace tavra::ctl {
namespace {

constexpr std::string_view daemonName = "tavrad";

// The last component of a path, trailing slashes ignored ("/usr/local/bin/tavrad" gives
// "tavrad").
std::string_view lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

void setupApply(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<ApplyOptions>();
  CLI::App& command = tree.addCommand(
      parent, "apply", "Ask the daemon to re-apply now (or run once in-process with --local).");
  tree.addFlag(command, "local", options->local,
               "Run a reconcile in this process instead of signalling tavrad (requires root).");
  tree.setRun(command, [options, &context = tree.context()] { runApply(*options, context); });
}

void runApply(const ApplyOptions& options, Context& context) {
  if (context.realUserID() != 0) throw ValidationError("must be run as root (sudo)");

  if (options.local) {
    context.out << passText(context.localPass());
    return;
  }

  std::vector<std::int32_t> daemons;
  for (const auto& process : context.processTable()) {
    if (lastPathComponent(process.path) == daemonName) daemons.push_back(process.pid);
  }
  if (daemons.empty()) {
    throw ValidationError("tavrad is not running (use --local to apply once)");
  }
  for (std::int32_t pid : daemons) context.sendSignal(pid, SIGHUP);
  context.out << "Signalled tavrad; see `tavractl status` in a few seconds.\n";
}

}  // namespace tavra::ctl
