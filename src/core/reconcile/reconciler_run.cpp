// The second half of a pass: apply the plan, flush the preferences cache when a managed
// preferences file really changed, fold the apply errors in, compute the health, take the
// inventory, write status.json and log.
#include <algorithm>

#include "tavra/error.h"
#include "tavra/reconciler.h"

namespace tavra {
namespace {

bool isRealChange(FileApplier::Action action) {
  using Action = FileApplier::Action;
  switch (action) {
    case Action::created:
    case Action::updated:
    case Action::driftCorrected:
    case Action::restoredBackup:
    case Action::removed:
      return true;
    case Action::unchanged:
    case Action::wouldWrite:
    case Action::wouldRemove:
      return false;
  }
  return false;
}

}  // namespace

Reconciler::Reconciler(Environment environment, TavraSettings settings)
    : environment_(std::move(environment)), settings_(std::move(settings)) {}

StatusReport Reconciler::run(bool includeInventory) const {
  Plan plan;
  try {
    plan = this->plan();
  } catch (const std::exception& error) {
    // plan() never throws by design; a failure of memory still must not escape a pass.
    plan.complete = false;
    plan.errors = {"plan failed: " + describe(error)};
  }

  std::vector<std::string> errors = plan.errors;
  std::vector<FileApplier::Change> changes;
  std::map<std::string, std::string> failures;
  try {
    FileApplier applier(
        environment_.supportDirectory,
        PathPolicy(environment_.builtInPathPrefixes, settings_.additionalAllowedPaths),
        environment_.setRootOwnership, environment_.services.fileSystem,
        environment_.services.clock);

    std::vector<FileApplier::Desired> desired;
    if (plan.complete) {
      desired = plan.desired;
      if (!plan.frozenHarnesses.empty()) {
        for (auto& item : applier.lastApplied(plan.frozenHarnesses)) {
          desired.push_back(std::move(item));
        }
      }
    } else {
      std::set<std::string> planned;
      for (const auto& item : plan.desired) planned.insert(PathPolicy::canonical(item.path));
      for (const auto& item : plan.desired) {
        if (!plan.frozenHarnesses.count(item.harnessID)) desired.push_back(item);
      }
      for (auto& item : applier.lastApplied()) {
        if (!planned.count(item.path) || plan.frozenHarnesses.count(item.harnessID)) {
          desired.push_back(std::move(item));
        }
      }
    }

    auto result = applier.apply(desired, plan.complete, settings_.dryRun);
    changes = std::move(result.changes);
    failures = std::move(result.errors);
  } catch (const std::exception& error) {
    errors.push_back("apply failed: " + describe(error));
    changes.clear();
    failures.clear();
  }

  const std::string prefix = PathPolicy::canonical(environment_.preferences.directory()) + "/";
  for (const auto& change : changes) {
    if (!isRealChange(change.action) || PathPolicy::canonical(change.path).rfind(prefix, 0) != 0) {
      continue;
    }
    if (environment_.flushPreferencesCache) {
      try {
        environment_.flushPreferencesCache();
      } catch (...) {
        // The flush reports nothing.
      }
      log().log("managed preferences changed; flushed the cfprefsd cache");
    }
    break;
  }

  // The failures come sorted by path (std::map).
  for (const auto& [path, message] : failures) {
    errors.push_back(path + ": " + message);
    for (auto& harness : plan.harnesses) {
      if (std::find(harness.outputs.begin(), harness.outputs.end(), path) ==
          harness.outputs.end()) {
        continue;
      }
      harness.errors.push_back(message);
      harness.state = "error";
      break;
    }
  }

  StatusReport::Health health = StatusReport::Health::ok;
  if (!plan.catalogVersion) {
    health = StatusReport::Health::error;
  } else if (!errors.empty()) {
    health = StatusReport::Health::degraded;
  } else {
    for (const auto& harness : plan.harnesses) {
      if (harness.state == "degraded" || harness.state == "error") {
        health = StatusReport::Health::degraded;
      }
    }
  }

  std::optional<std::vector<Discovery::HarnessInventory>> inventory;
  if (includeInventory && environment_.discovery) {
    try {
      if (auto catalog = environment_.catalogStore.cached()) {
        inventory = environment_.discovery->run(*catalog);
      }
    } catch (const std::exception&) {
      // No verified catalog now: no inventory.
    }
  }

  StatusReport report;
  // Whole seconds, the precision of status.json, so the returned report equals the written one.
  report.timestamp = std::chrono::floor<std::chrono::seconds>(environment_.services.clock->now());
  report.health = health;
  report.dryRun = settings_.dryRun;
  report.catalogVersion = plan.catalogVersion;
  report.fragments = std::move(plan.fragmentIDs);
  report.fragmentErrors = std::move(plan.fragmentErrors);
  report.harnesses = std::move(plan.harnesses);
  for (auto& change : changes) {
    if (change.action != FileApplier::Action::unchanged)
      report.changes.push_back(std::move(change));
  }
  report.errors = std::move(errors);
  report.inventory = std::move(inventory);

  writeStatus(report);

  for (const auto& change : report.changes) {
    log().log(std::string(FileApplier::rawValue(change.action)) + " " + change.path + " [" +
              change.harnessID + "]");
  }
  for (const auto& error : report.errors) log().error(error);
  log().info("run finished: " + report.summary());
  return report;
}

void Reconciler::writeStatus(const StatusReport& report) const {
  try {
    const FileSystem& files = *environment_.services.fileSystem;
    FileApplier writer(environment_.supportDirectory, PathPolicy({}, {}),
                       environment_.setRootOwnership, environment_.services.fileSystem,
                       environment_.services.clock);
    // A missing support directory is made with the platform's default attributes.
    const fs::Walk made = files.makeDirectories(environment_.supportDirectory, {});
    if (!made) {
      throw fs::systemError(made.error, "cannot create directory " + environment_.supportDirectory);
    }
    writer.writeAtomically(report.encode(), environment_.supportDirectory + "/status.json", 0644);
  } catch (const std::exception& error) {
    log().error("cannot write status: " + describe(error));
  }
}

}  // namespace tavra
