// The first half of a pass: from the cached catalog and the fragments to the files the managed
// harnesses must have, one status per harness and the pass-level errors.
#include <algorithm>

#include "tavra/error.h"
#include "tavra/merger.h"
#include "tavra/reconciler.h"
#include "tavra/renderer.h"
#include "tavra/secret_envelope.h"

namespace tavra {
namespace {

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

// The outputs a fragment gives for a harness, or none when it does not name the harness.
const PolicyFragment::Outputs* outputsFor(const PolicyFragment& fragment, const std::string& id) {
  auto found = fragment.harnesses.find(id);
  return found == fragment.harnesses.end() ? nullptr : &found->second;
}

}  // namespace

Reconciler::Plan Reconciler::plan() const {
  Plan plan;
  // Without a key provider there are no keys at all: every envelope fails to open.
  const InMemoryKeyProvider noKeys({});
  const DecryptionKeyProvider& keys = environment_.keys ? *environment_.keys : noKeys;

  std::optional<Catalog> catalog;
  try {
    catalog = environment_.catalogStore.cached();
  } catch (const std::exception& error) {
    plan.errors = {"cached catalog rejected: " + describe(error)};
    plan.complete = false;
    return plan;
  }
  if (!catalog) {
    plan.errors = {"no verified vendor catalog installed"};
    plan.complete = false;
    return plan;
  }
  plan.catalogVersion = catalog->catalogVersion;

  ManagedPreferences::FragmentScan scan;
  try {
    scan = environment_.preferences.fragments();
  } catch (const std::exception& error) {
    plan.errors = {"cannot read managed preferences: " + describe(error)};
    plan.complete = false;
    return plan;
  }

  const std::vector<PolicyFragment> fragments = sortedByPrecedence(std::move(scan.fragments));
  for (const auto& fragment : fragments) {
    plan.fragmentIDs.push_back(fragment.id + " (priority " + std::to_string(fragment.priority) +
                               ")");
  }
  plan.fragmentErrors = scan.errors;
  const bool someUnreadable = !plan.fragmentErrors.empty();
  if (someUnreadable) {
    plan.complete = false;
    plan.errors.push_back(std::to_string(plan.fragmentErrors.size()) +
                          " fragment(s) unreadable; keeping last applied configuration");
  }

  std::set<std::string, std::less<>> known;
  for (const auto& harness : catalog->harnesses) known.insert(harness.id);
  for (const auto& fragment : fragments) {
    for (const auto& [key, outputs] : fragment.harnesses) {
      if (!known.count(key)) {
        plan.errors.push_back("fragment " + fragment.id + ": unknown harness '" + key + "'");
      }
    }
  }

  for (const Harness& harness : catalog->harnesses) {
    StatusReport::HarnessStatus status;
    status.id = harness.id;
    status.state = "unmanaged";
    std::vector<const PolicyFragment*> contributing;
    for (const auto& fragment : fragments) {
      if (outputsFor(fragment, harness.id)) {
        contributing.push_back(&fragment);
        status.fragments.push_back(fragment.id);
      }
    }

    if (contributing.empty()) {
      // Nobody asks for this harness.
    } else if (settings_.disabledHarnesses.count(harness.id)) {
      status.state = "disabled";
      status.warnings = {"disabled via DisabledHarnesses; outputs removed"};
    } else if (harness.status == Harness::Status::planned) {
      status.state = "error";
      status.errors = {"harness is listed as planned in catalog " + *plan.catalogVersion +
                       "; not applied"};
    } else if (someUnreadable) {
      status.state = "degraded";
      plan.frozenHarnesses.insert(harness.id);
    } else {
      for (const auto& domain :
           harness.conflictingPreferenceDomains.value_or(std::vector<std::string>{})) {
        std::error_code error;
        if (environment_.services.fileSystem->status(
                environment_.preferences.directory() + "/" + domain + ".plist", fs::Links::notFinal,
                error)) {
          status.warnings.push_back("an MDM profile for " + domain +
                                    " is also installed and may take precedence over Tavra's "
                                    "output");
        }
      }
      std::vector<std::string> outputIDs;
      for (const auto& output : harness.outputs) outputIDs.push_back(output.id);
      std::vector<std::string> sortedIDs = outputIDs;
      std::sort(sortedIDs.begin(), sortedIDs.end());
      const std::string expected = joined(sortedIDs, ", ");
      for (const PolicyFragment* fragment : contributing) {
        for (const auto& [key, value] : *outputsFor(*fragment, harness.id)) {
          if (std::find(outputIDs.begin(), outputIDs.end(), key) == outputIDs.end()) {
            status.warnings.push_back("fragment " + fragment->id + ": unknown output '" + key +
                                      "' ignored (expected: " + expected + ")");
          }
        }
      }

      std::vector<FileApplier::Desired> files;
      try {
        for (const Output& output : harness.outputs) {
          std::vector<Value> values;
          for (const PolicyFragment* fragment : contributing) {
            const auto* outputs = outputsFor(*fragment, harness.id);
            auto value = outputs->find(output.id);
            if (value == outputs->end()) continue;
            values.push_back(SecretEnvelope::decryptAll(value->second, keys));
          }
          if (values.empty()) continue;
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
          files.push_back(FileApplier::Desired{output.path, std::move(bytes), output.fileMode(),
                                               harness.id, output.id});
          status.outputs.push_back(output.path);
        }
        status.state = "managed";
        for (auto& file : files) plan.desired.push_back(std::move(file));
      } catch (const std::exception& error) {
        status.state = "degraded";
        status.errors = {describe(error)};
        plan.frozenHarnesses.insert(harness.id);
      }
    }
    plan.harnesses.push_back(std::move(status));
  }
  return plan;
}

}  // namespace tavra
