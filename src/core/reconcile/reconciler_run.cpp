// The second half of a pass: apply the plan, flush the preferences cache when a managed
// preferences file really changed, fold the apply errors in, compute the health, take the
// inventory, write status.json and log.
#include <algorithm>
#include <stdexcept>

#include "tavra/error.h"
#include "tavra/reconciler.h"
#include "tavra/support_layout.h"

namespace tavra {
namespace {

using Plan = Reconciler::Plan;
using State = StatusReport::HarnessState;

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

// Each per-path failure, sorted by path (a std::map), becomes a report error; the first harness
// that lists the path among its outputs takes the message and the state "error".
void foldFailures(const std::map<std::string, std::string>& failures,
                  std::vector<StatusReport::HarnessStatus>& harnesses,
                  std::vector<std::string>& errors) {
  for (const auto& [path, message] : failures) {
    errors.push_back(path + ": " + message);
    for (auto& harness : harnesses) {
      if (std::find(harness.outputs.begin(), harness.outputs.end(), path) ==
          harness.outputs.end()) {
        continue;
      }
      harness.errors.push_back(message);
      harness.state = State::error;
      break;
    }
  }
}

StatusReport::Health healthOf(const Plan& plan, const std::vector<std::string>& errors) {
  if (!plan.catalogVersion) return StatusReport::Health::error;
  if (!errors.empty()) return StatusReport::Health::degraded;
  for (const auto& harness : plan.harnesses) {
    if (harness.state == State::degraded || harness.state == State::error) {
      return StatusReport::Health::degraded;
    }
  }
  return StatusReport::Health::ok;
}

}  // namespace

Reconciler::Reconciler(Environment environment, TavraSettings settings)
    : environment_(std::move(environment)), settings_(std::move(settings)) {
  const Services& services = environment_.services;
  if (!services.fileSystem || !services.clock || !services.reconcileLog) {
    throw std::invalid_argument("a pass needs a file system, a clock and a log in its services");
  }
}

Reconciler::Outcome Reconciler::pass(bool includeInventory) const {
  Plan plan;
  try {
    plan = this->plan();
  } catch (const std::exception& error) {
    // plan() never throws by design; a failure of memory still must not escape a pass.
    plan.complete = false;
    plan.errors = {"plan failed: " + describe(error)};
  }

  std::vector<std::string> errors = plan.errors;
  FileApplier::ApplyResult applied = apply(plan, errors);
  flushPreferencesAfter(applied.changes);
  foldFailures(applied.errors, plan.harnesses, errors);

  StatusReport report;
  report.health = healthOf(plan, errors);
  report.inventory = inventory(includeInventory);
  // Whole seconds, the precision of status.json, so the returned report equals the written one.
  report.timestamp = std::chrono::floor<std::chrono::seconds>(environment_.services.clock->now());
  report.dryRun = settings_.dryRun;
  report.catalogVersion = plan.catalogVersion;
  report.fragments = std::move(plan.fragmentIDs);
  report.fragmentErrors = std::move(plan.fragmentErrors);
  report.harnesses = std::move(plan.harnesses);
  for (auto& change : applied.changes) {
    if (change.action != FileApplier::Action::unchanged) {
      report.changes.push_back(std::move(change));
    }
  }
  report.errors = std::move(errors);

  writeStatus(report);
  logReport(report);
  return {std::move(report), std::move(applied.left)};
}

std::vector<FileApplier::Desired> Reconciler::desiredItems(const Plan& plan,
                                                           const FileApplier& applier) const {
  // What harnesses that are not frozen planned afresh wins over a last applied copy of the same
  // file: handing the applier both would write the file twice in every pass, the stale copy last.
  // The plan names files by catalog text and the copies by their keys, so both are compared as
  // keys.
  std::set<FileKey> planned;
  for (const auto& item : plan.desired) planned.emplace(item.path);
  const auto isPlanned = [&](const FileApplier::Desired& item) {
    return planned.contains(FileKey(item.path));
  };
  std::vector<FileApplier::Desired> desired;
  if (plan.complete) {
    // The plan's files, then the frozen harnesses' last applied copies.
    desired = plan.desired;
    if (!plan.frozenHarnesses.empty()) {
      for (auto& item : applier.lastApplied(plan.frozenHarnesses)) {
        if (!isPlanned(item)) desired.push_back(std::move(item));
      }
    }
    return desired;
  }
  // Incomplete: every other last applied copy is kept, a frozen harness's always.
  for (const auto& item : plan.desired) {
    if (!plan.frozenHarnesses.count(item.harnessID)) desired.push_back(item);
  }
  for (auto& item : applier.lastApplied()) {
    if (!isPlanned(item) || plan.frozenHarnesses.count(item.harnessID)) {
      desired.push_back(std::move(item));
    }
  }
  return desired;
}

FileApplier::ApplyResult Reconciler::apply(const Plan& plan,
                                           std::vector<std::string>& errors) const {
  try {
    const FileApplier applier(
        environment_.supportDirectory,
        PathPolicy(environment_.builtInPathPrefixes, settings_.additionalAllowedPaths),
        environment_.setRootOwnership, environment_.services.fileSystem,
        environment_.services.clock, environment_.releaseOnlyAllowedPaths);
    return applier.apply(desiredItems(plan, applier), plan.complete, settings_.dryRun);
  } catch (const std::exception& error) {
    errors.push_back("apply failed: " + describe(error));
    return {};
  }
}

void Reconciler::flushPreferencesAfter(const std::vector<FileApplier::Change>& changes) const {
  const std::string prefix = PathPolicy::canonical(environment_.preferences.directory()) + "/";
  const auto changedPreferences = std::find_if(changes.begin(), changes.end(), [&](const auto& c) {
    return isRealChange(c.action) && PathPolicy::canonical(c.path).starts_with(prefix);
  });
  if (changedPreferences == changes.end() || !environment_.flushPreferencesCache) return;
  try {
    environment_.flushPreferencesCache();
  } catch (...) {
    // The flush reports nothing.
  }
  log().log("managed preferences changed; flushed the cfprefsd cache");
}

std::optional<std::vector<Discovery::HarnessInventory>> Reconciler::inventory(
    bool includeInventory) const {
  if (!includeInventory || !environment_.discovery) return std::nullopt;
  try {
    if (auto catalog = environment_.catalogStore.cached()) {
      return environment_.discovery->run(*catalog);
    }
  } catch (const std::exception&) {
    // No verified catalog now: no inventory.
  }
  return std::nullopt;
}

void Reconciler::writeStatus(const StatusReport& report) const {
  try {
    const FileSystem& files = *environment_.services.fileSystem;
    // A missing support directory is made with the platform's default attributes; the report is
    // written into it as it was opened.
    const fs::Walk made = files.makeDirectories(environment_.supportDirectory, {});
    if (!made) {
      throw fs::systemError(made.error, "cannot create directory " + environment_.supportDirectory);
    }
    try {
      files.writeAtomicallyAt(
          made.directory, supportLayout::statusFile(environment_.supportDirectory), report.encode(),
          {.mode = 0644, .rootOwnership = environment_.setRootOwnership});
    } catch (const fs::WriteError& error) {
      throw TavraError::io(error.what());  // as the applier's atomic write reports it
    }
  } catch (const std::exception& error) {
    log().error("cannot write status: " + describe(error));
  }
}

void Reconciler::logReport(const StatusReport& report) const {
  for (const auto& change : report.changes) {
    log().log(std::string(rawValue(change.action)) + " " + change.path + " [" + change.harnessID +
              "]");
  }
  for (const auto& error : report.errors) log().error(error);
  log().info("run finished: " + report.summary());
}

}  // namespace tavra
