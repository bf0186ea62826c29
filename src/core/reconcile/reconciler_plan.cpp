// The first half of a pass: from the cached catalog and the fragments to the files the managed
// harnesses must have, one status per harness and the pass-level errors.
#include <algorithm>
#include <deque>

#include "tavra/error.h"
#include "tavra/joined.h"
#include "tavra/merger.h"
#include "tavra/reconciler.h"
#include "tavra/renderer.h"
#include "tavra/secret_envelope.h"

namespace tavra {
namespace {

using Plan = Reconciler::Plan;
using State = StatusReport::HarnessState;
// The fragments that name a harness, each with its outputs for it, looked up once.
using Contributors = std::vector<std::pair<const PolicyFragment*, const PolicyFragment::Outputs*>>;

// The outputs a fragment gives for a harness, or none when it does not name the harness.
const PolicyFragment::Outputs* outputsFor(const PolicyFragment& fragment, const std::string& id) {
  auto found = fragment.harnesses.find(id);
  return found == fragment.harnesses.end() ? nullptr : &found->second;
}

// The verified cached catalog; without one the plan holds its single error and is incomplete.
std::optional<Catalog> loadCatalog(const CatalogStore& store, Plan& plan) {
  std::optional<Catalog> catalog;
  try {
    catalog = store.cached();
  } catch (const std::exception& error) {
    plan.errors = {"cached catalog rejected: " + describe(error)};
    plan.complete = false;
    return std::nullopt;
  }
  if (!catalog) {
    plan.errors = {"no verified vendor catalog installed"};
    plan.complete = false;
    return std::nullopt;
  }
  plan.catalogVersion = catalog->catalogVersion;
  return catalog;
}

// The readable fragments in precedence order, listed in the plan with the unreadable ones; none
// (and the plan's single error) when the managed preferences cannot be read at all.
std::optional<std::vector<PolicyFragment>> loadFragments(const ManagedPreferences& preferences,
                                                         Plan& plan) {
  ManagedPreferences::FragmentScan scan;
  try {
    scan = preferences.fragments();
  } catch (const std::exception& error) {
    plan.errors = {"cannot read managed preferences: " + describe(error)};
    plan.complete = false;
    return std::nullopt;
  }
  std::vector<PolicyFragment> fragments = sortedByPrecedence(std::move(scan.fragments));
  for (const auto& fragment : fragments) {
    plan.fragmentIDs.push_back(fragment.id + " (priority " + std::to_string(fragment.priority) +
                               ")");
  }
  plan.fragmentErrors = std::move(scan.errors);
  if (!plan.fragmentErrors.empty()) {
    plan.complete = false;
    plan.errors.push_back(std::to_string(plan.fragmentErrors.size()) +
                          " fragment(s) unreadable; keeping last applied configuration");
  }
  return fragments;
}

// One error for every harness key of a fragment that the catalog does not know.
void reportUnknownHarnesses(const Catalog& catalog, const std::vector<PolicyFragment>& fragments,
                            std::vector<std::string>& errors) {
  std::set<std::string, std::less<>> known;
  for (const auto& harness : catalog.harnesses) known.insert(harness.id);
  for (const auto& fragment : fragments) {
    for (const auto& [key, outputs] : fragment.harnesses) {
      if (!known.count(key)) {
        errors.push_back("fragment " + fragment.id + ": unknown harness '" + key + "'");
      }
    }
  }
}

// A warning for every conflicting preference domain that has a file in the managed preferences.
void warnAboutConflictingProfiles(const Harness& harness, const FileSystem& files,
                                  const std::string& preferencesDirectory,
                                  StatusReport::HarnessStatus& status) {
  for (const auto& domain :
       harness.conflictingPreferenceDomains.value_or(std::vector<std::string>{})) {
    std::error_code error;
    if (files.status(preferencesDirectory + "/" + domain + ".plist", fs::Links::notFinal, error)) {
      status.warnings.push_back("an MDM profile for " + domain +
                                " is also installed and may take precedence over Tavra's output");
    }
  }
}

// A warning for every output key of a contributing fragment that the harness does not have.
void warnAboutUnknownOutputs(const Harness& harness, const Contributors& contributors,
                             StatusReport::HarnessStatus& status) {
  std::vector<std::string> outputIDs;
  for (const auto& output : harness.outputs) outputIDs.push_back(output.id);
  std::vector<std::string> sortedIDs = outputIDs;
  std::sort(sortedIDs.begin(), sortedIDs.end());
  const std::string expected = joined(sortedIDs, ", ");
  for (const auto& [fragment, outputs] : contributors) {
    for (const auto& [key, value] : *outputs) {
      if (std::find(outputIDs.begin(), outputIDs.end(), key) == outputIDs.end()) {
        status.warnings.push_back("fragment " + fragment->id + ": unknown output '" + key +
                                  "' ignored (expected: " + expected + ")");
      }
    }
  }
}

// The file of one output, with its merge and forbidden-key warnings; nothing when no fragment
// gives the output a value. Throws when a value cannot be decrypted or rendered.
std::optional<FileApplier::Desired> buildOutput(const Harness& harness, const Output& output,
                                                const Contributors& contributors,
                                                const DecryptionKeyProvider& keys,
                                                StatusReport::HarnessStatus& status) {
  // Values are merged where the fragments hold them; only one that holds an envelope is copied,
  // with the envelopes opened.
  std::vector<const Value*> values;
  std::deque<Value> opened;
  for (const auto& [fragment, outputs] : contributors) {
    auto value = outputs->find(output.id);
    if (value == outputs->end()) continue;
    if (SecretEnvelope::containsEnvelope(value->second)) {
      values.push_back(&opened.emplace_back(SecretEnvelope::decryptAll(value->second, keys)));
    } else {
      values.push_back(&value->second);
    }
  }
  if (values.empty()) return std::nullopt;
  Merger::Result merged =
      Merger(output.mergeRules.value_or(std::vector<MergeRule>{})).merge(values);
  for (const auto& warning : merged.warnings) {
    status.warnings.push_back(output.id + ": " + warning);
  }
  for (const auto& key : output.forbiddenKeys.value_or(std::vector<std::string>{})) {
    if (merged.value.lookup(KeyPath(key))) {
      status.warnings.push_back(output.id + ": key '" + key +
                                "' is not allowed here and was dropped");
    }
  }
  std::string bytes = Renderer::render(merged.value, output);
  status.outputs.push_back(output.path);
  return FileApplier::Desired{output.path, std::move(bytes), output.fileMode(), harness.id,
                              output.id};
}

}  // namespace

Reconciler::Plan Reconciler::plan() const {
  Plan plan;
  const std::optional<Catalog> catalog = loadCatalog(environment_.catalogStore, plan);
  if (!catalog) return plan;
  const std::optional<std::vector<PolicyFragment>> fragments =
      loadFragments(environment_.preferences, plan);
  if (!fragments) return plan;
  reportUnknownHarnesses(*catalog, *fragments, plan.errors);
  for (const Harness& harness : catalog->harnesses) {
    plan.harnesses.push_back(planHarness(harness, *fragments, plan));
  }
  return plan;
}

StatusReport::HarnessStatus Reconciler::planHarness(const Harness& harness,
                                                    const std::vector<PolicyFragment>& fragments,
                                                    Plan& plan) const {
  StatusReport::HarnessStatus status;
  status.id = harness.id;
  status.state = State::unmanaged;
  Contributors contributors;
  for (const auto& fragment : fragments) {
    if (const auto* outputs = outputsFor(fragment, harness.id)) {
      contributors.emplace_back(&fragment, outputs);
      status.fragments.push_back(fragment.id);
    }
  }

  if (contributors.empty()) return status;  // nobody asks for this harness
  if (settings_.disabledHarnesses.count(harness.id)) {
    status.state = State::disabled;
    status.warnings = {"disabled via DisabledHarnesses; outputs removed"};
  } else if (harness.status == Harness::Status::planned) {
    status.state = State::error;
    status.errors = {"harness is listed as planned in catalog " + *plan.catalogVersion +
                     "; not applied"};
  } else if (!plan.fragmentErrors.empty()) {
    status.state = State::degraded;
    plan.frozenHarnesses.insert(harness.id);
  } else {
    buildHarness(harness, contributors, status, plan);
  }
  return status;
}

void Reconciler::buildHarness(const Harness& harness, const Contributors& contributors,
                              StatusReport::HarnessStatus& status, Plan& plan) const {
  warnAboutConflictingProfiles(harness, *environment_.services.fileSystem,
                               environment_.preferences.directory(), status);
  warnAboutUnknownOutputs(harness, contributors, status);

  // Without a key provider there are no keys at all: every envelope fails to open.
  const InMemoryKeyProvider noKeys({});
  const DecryptionKeyProvider& keys = environment_.keys ? *environment_.keys : noKeys;
  std::vector<FileApplier::Desired> files;
  try {
    for (const Output& output : harness.outputs) {
      if (auto file = buildOutput(harness, output, contributors, keys, status)) {
        files.push_back(std::move(*file));
      }
    }
  } catch (const std::exception& error) {
    // The harness keeps its last applied files; the outputs built so far are dropped.
    status.state = State::degraded;
    status.errors = {describe(error)};
    plan.frozenHarnesses.insert(harness.id);
    return;
  }
  status.state = State::managed;
  for (auto& file : files) plan.desired.push_back(std::move(file));
}

}  // namespace tavra
