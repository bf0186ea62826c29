#include "status.h"

#include <memory>

#include "errors.h"
#include "input_file.h"
#include "print_json.h"
#include "status_text.h"

namespace tavra::ctl {

void setupStatus(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<StatusOptions>();
  CLI::App& command =
      tree.addCommand(parent, "status", "Show the result of the daemon's last run.");
  tree.addFlag(command, "json", options->json, "Print the raw status JSON.");
  tree.addFlag(command, "check", options->check, "Exit code 1 unless health is ok (for scripts).");
  tree.addFlag(command, "line", options->line,
               "One line for Jamf Extension Attributes / Intune custom attributes.");
  tree.addOption(command, "file", options->file,
                 "Read this status.json instead (e.g. from a support case or `tavractl simulate`).",
                 Completion::file);
  tree.setRun(command, [options, &context = tree.context()] { runStatus(*options, context); });
}

void runStatus(const StatusOptions& options, Context& context) {
  std::optional<StatusReport> report;
  try {
    // A report named with --file may come down a pipe; the daemon's own is a regular file.
    report = options.file
                 ? StatusReport::decode(readInputFile(*context.services.fileSystem, *options.file))
                 : StatusReport::load(*context.services.fileSystem, context.statusPath);
  } catch (const std::exception&) {
    // Any unreadable or undecodable report counts as no report.
  }
  if (!report) {
    if (options.line) {
      context.out << "no-status\n";
      throw ExitCode(options.check ? exitFailure : exitSuccess);
    }
    throw ValidationError(
        "no status yet; is tavrad running? (sudo launchctl print "
        "system/com.zelkorandin.tavra.daemon)");
  }
  if (options.json) {
    printJSON(context.out, *report);
    return;
  }
  if (options.line) {
    context.out << statusLine(*report, context.now()) << "\n";
  } else {
    context.out << statusListing(*report, context.formatDate);
  }
  if (options.check && report->health != StatusReport::Health::ok) throw ExitCode(exitFailure);
}

}  // namespace tavra::ctl
