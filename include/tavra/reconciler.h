// Reconciler: one reconcile pass over an Environment and the daemon's settings.
//
// run() is the one entry of a pass: it plans (reads the verified cached catalog and the policy
// fragments, decrypts, merges and renders every output of every managed harness), lets the file
// applier write and release the files, flushes the preferences cache when a managed-preferences
// file really changed, computes the health, optionally takes an inventory, writes status.json in
// the support directory and logs. It never throws: every failure ends up as text in the returned
// report or in the log. plan() is run's first half; it writes nothing and never throws.
//
// A Reconciler is built for one pass and discarded; it owns copies of the environment and the
// settings and is used by one thread at a time. Everything it reaches beyond them comes from the
// environment's services: its files, its clock (report and state dates) and its log
// (services.reconcileLog: subsystem "com.zelkorandin.tavra", category "reconcile").
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tavra/catalog.h"
#include "tavra/environment.h"
#include "tavra/file_applier.h"
#include "tavra/iso8601.h"
#include "tavra/platform/logger.h"
#include "tavra/policy_fragment.h"
#include "tavra/settings.h"
#include "tavra/status_report.h"

namespace tavra {

class Reconciler {
 public:
  struct Plan {
    // The files of the managed harnesses: harness by harness, outputs in catalog order.
    std::vector<FileApplier::Desired> desired;
    // Harnesses whose files stay as last applied.
    std::set<std::string> frozenHarnesses;
    // False when the pass cannot see the whole policy; an incomplete plan releases nothing.
    bool complete = true;
    std::vector<StatusReport::HarnessStatus> harnesses;  // one per catalog harness
    std::vector<std::string> errors;
    std::vector<std::string> fragmentIDs;  // "<id> (priority <n>)", in precedence order
    std::map<std::string, std::string, std::less<>> fragmentErrors;
    std::optional<std::string> catalogVersion;
  };

  // A pass with what its report does not carry: the files it left at each target it kept in
  // line (FileApplier::LeftFiles), for a caller that watches them afterwards.
  struct Outcome {
    StatusReport report;
    FileApplier::LeftFiles left;
  };

  Reconciler(Environment environment, TavraSettings settings);

  const Environment& environment() const noexcept { return environment_; }
  const TavraSettings& settings() const noexcept { return settings_; }

  Plan plan() const;
  StatusReport run(bool includeInventory) const { return pass(includeInventory).report; }
  // run(), with what the pass left.
  Outcome pass(bool includeInventory) const;

 private:
  // plan(): the decision for one catalog harness, and the files of one to be managed.
  StatusReport::HarnessStatus planHarness(const Harness& harness,
                                          const std::vector<PolicyFragment>& fragments,
                                          Plan& plan) const;
  // The fragments that name a harness, each with its outputs for that harness.
  using Contributors =
      std::vector<std::pair<const PolicyFragment*, const PolicyFragment::Outputs*>>;
  void buildHarness(const Harness& harness, const Contributors& contributors,
                    StatusReport::HarnessStatus& status, Plan& plan) const;

  // run(): the items handed to the applier, the apply itself, the preferences flush, the
  // inventory, and writing the report.
  std::vector<FileApplier::Desired> desiredItems(const Plan& plan,
                                                 const FileApplier& applier) const;
  FileApplier::ApplyResult apply(const Plan& plan, std::vector<std::string>& errors) const;
  void flushPreferencesAfter(const std::vector<FileApplier::Change>& changes) const;
  std::optional<std::vector<Discovery::HarnessInventory>> inventory(bool includeInventory) const;
  void writeStatus(const StatusReport& report) const;
  void logReport(const StatusReport& report) const;
  Logger& log() const { return *environment_.services.reconcileLog; }

  Environment environment_;
  TavraSettings settings_;
};

}  // namespace tavra
