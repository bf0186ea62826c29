// The file applier's apply pass: every desired file brought to its bytes and mode, then the
// release of the unwanted ones and the state save.
#include <algorithm>
#include <limits>

#include "apply/target_file.h"
#include "tavra/error.h"
#include "tavra/file_applier.h"
#include "tavra/support_layout.h"

namespace tavra {

namespace {

using Action = FileApplier::Action;
using Stop = fs::Walk::Stop;

void countDrift(FileApplier::StateEntry& entry) {
  if (entry.driftCorrections < std::numeric_limits<std::int64_t>::max()) ++entry.driftCorrections;
}

// What writing over `current` is: a new file, the adoption of a file met for the first time, an
// update of a managed file left as last written (with the desired mode), or a drift correction.
Action actionFor(const std::optional<applier::FileInfo>& current,
                 const FileApplier::StateEntry* entry, std::uint16_t mode) {
  if (!entry) return current ? Action::updated : Action::created;
  if (current && current->sha256 == entry->sha256 && current->mode == mode) return Action::updated;
  return Action::driftCorrected;
}

}  // namespace

FileApplier::ApplyResult FileApplier::apply(const std::vector<Desired>& desired, bool unmanage,
                                            bool dryRun) const {
  LoadedState loaded = load();
  State& state = loaded.state;
  // What each entry may reach: the copy and backup the applier names for its key. An entry that
  // records other files is not the applier's own record (someone wrote it into the state file):
  // it is refused whole and kept as it stands.
  std::map<FileKey, EntryFiles> own;
  std::map<FileKey, TavraError> refused;
  for (const auto& [stored, entry] : state.entries) {
    const FileKey key(stored);
    try {
      own.emplace(key, entryFiles(key, entry, loaded));
    } catch (const TavraError& error) {
      refused.emplace(key, error);
    }
  }

  ApplyResult result;
  const Date when = now();
  std::set<FileKey> seen;
  // The files this pass found in place or wrote: the folders that hold them are not empty.
  std::vector<FileKey> inPlace;
  for (const Desired& d : desired) {
    // A failure stops this item only; it is reported under the path as given.
    try {
      const std::string p = pathPolicy_.check(d.path);
      const FileKey key(p);
      seen.insert(key);
      if (const auto refusal = refused.find(key); refusal != refused.end()) throw refusal->second;
      const auto files = own.find(key);
      const Target target{
          p, key, files != own.end() ? files->second.appliedCopy : appliedCopyPath(key.text())};
      ItemOutcome outcome = applyItem(d, target, state, when, dryRun);
      result.changes.push_back({p, d.harnessID, outcome.action});
      // Under the file's key: two spellings of one file leave one file, the last one written.
      result.left[key] = outcome.left;
      if (outcome.warning) result.errors[d.path] = *outcome.warning;
      inPlace.push_back(key);
    } catch (const std::exception& error) {
      result.errors[d.path] = describe(error);
    }
  }
  if (unmanage) releaseUnwanted(state, seen, own, dryRun, result);
  if (unmanage && !dryRun) removeEmptyCreatedDirectories(state, inPlace);
  // Every refused entry is reported under its key, once: a desired item of it that failed here
  // has named it already.
  for (const auto& refusal : refused) {
    const FileKey& key = refusal.first;
    const bool named = std::any_of(result.errors.begin(), result.errors.end(),
                                   [&](auto& failed) { return FileKey(failed.first) == key; });
    if (!named) result.errors[key.text()] = describe(refusal.second);
  }
  if (dryRun) return result;
  saveState(state);
  return result;
}

FileApplier::ItemOutcome FileApplier::applyItem(const Desired& d, const Target& target,
                                                State& state, Date when, bool dryRun) const {
  const std::string& p = target.path;
  // Only the permission bits can be given to a file; bits above them (a catalog's "100644")
  // would otherwise never match the file and make every pass a drift correction.
  const std::uint16_t mode = d.mode & 07777;
  const std::optional<applier::FileInfo> cur = applier::currentFile(*files_, p, maxFileSize);
  // A file that holds the desired bytes has their hash already. One too large to be read holds
  // other bytes.
  const bool holdsWanted = cur && !cur->oversized && cur->content == d.data;
  const std::string want = holdsWanted ? cur->sha256 : sha256(d.data);
  const auto found = state.entries.find(target.key.text());
  StateEntry* existing = found == state.entries.end() ? nullptr : &found->second;

  if (holdsWanted && cur->mode == mode && (cur->rootOwned || !setRootOwnership_) && existing) {
    // Nothing is written to the file. Its record may still be behind it: a pass that wrote these
    // bytes and then could not save its state or applied copy. Left so, a later re-assertion of
    // the applied copy would take the file back to older bytes.
    if (!dryRun) catchUpRecord(d, target, want, mode, *existing, when);
    return {Action::unchanged, cur->status, std::nullopt};
  }
  if (dryRun) return {Action::wouldWrite, cur ? std::optional(cur->status) : std::nullopt, {}};

  StateEntry entry;
  if (existing) {
    entry = *existing;
  } else {
    entry.sha256 = want;
    entry.appliedCopyPath = appliedCopyPath(target.key.text());
    entry.managedSince = when;
  }
  const Action action = actionFor(cur, existing, mode);
  ItemOutcome outcome{action, std::nullopt, std::nullopt};
  if (!existing && cur) {
    entry.backupPath = takeBackup(target.key, *cur);
    if (!entry.backupPath) {
      // Taken over all the same: the policy's file matters more than the user's copy of it.
      outcome.warning =
          describe(TavraError::io(p + " is larger than " + std::to_string(maxFileSize) +
                                  " bytes; no backup kept, replaced all the same"));
    }
  }
  if (action == Action::driftCorrected) countDrift(entry);

  const fs::Walk directory = targetDirectory(p, state);
  outcome.left = writeTarget(directory.directory, p, d.data, mode);
  ensureDirectory(supportLayout::appliedDirectory(supportDirectory_), 0700);
  writeAtomically(d.data, target.appliedCopy, 0600);

  entry.harnessID = d.harnessID;
  entry.outputID = d.outputID;
  entry.sha256 = want;
  entry.mode = mode;
  entry.lastWritten = when;
  state.entries[target.key.text()] = entry;
  return outcome;
}

void FileApplier::catchUpRecord(const Desired& d, const Target& target, const std::string& want,
                                std::uint16_t mode, StateEntry& entry, Date when) const {
  if (entry.sha256 != want) {
    // The applied copy first: the entry names these bytes only once the copy holds them.
    ensureDirectory(supportLayout::appliedDirectory(supportDirectory_), 0700);
    writeAtomically(d.data, target.appliedCopy, 0600);
    entry.sha256 = want;
    entry.lastWritten = when;
  }
  entry.mode = mode;
  entry.harnessID = d.harnessID;
  entry.outputID = d.outputID;
}

std::optional<std::string> FileApplier::takeBackup(const FileKey& key,
                                                   const applier::FileInfo& current) const {
  // Taking over a file met for the first time: keep what was there. The bytes are the ones just
  // probed through a no-follow descriptor, not a second read by path. A backup already there is
  // never overwritten. A file too large to read cannot be kept: nothing, unless a backup is
  // there already.
  const std::string backup = backupPath(key.text());
  ensureDirectory(supportLayout::backupDirectory(supportDirectory_), 0700);
  std::error_code error;
  if (files_->status(backup, fs::Links::notFinal, error)) return backup;
  if (current.oversized) return std::nullopt;
  writeAtomically(current.content, backup, applier::withoutSetID(current.mode));
  return backup;
}

fs::Walk FileApplier::targetDirectory(const std::string& p, State& state) const {
  fs::Walk directory = files_->makeDirectories(
      fs::splitPath(p).directory,
      {.mode = 0755, .links = fs::Links::never, .rootOwnership = setRootOwnership_});
  // What the walk created is ours, also when it stopped later, and the clean-up must know it.
  if (!directory.created.empty()) {
    if (!state.createdDirectories) state.createdDirectories.emplace();
    state.createdDirectories->insert(state.createdDirectories->end(), directory.created.begin(),
                                     directory.created.end());
  }
  if (directory.stop == Stop::symlink) {
    throw TavraError::io(directory.at + " is a symlink; refusing to write through it");
  }
  if (directory.stop == Stop::notDirectory) {
    throw TavraError::io(directory.at + " is not a directory");
  }
  if (!directory) throw fs::systemError(directory.error, "cannot create directory " + directory.at);
  return directory;
}

}  // namespace tavra
