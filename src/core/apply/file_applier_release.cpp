// The file applier's release of files no longer wanted, the clean-up of the directories it
// created, and the rebuild of desired items from the applied copies.
#include <algorithm>

#include "apply/target_file.h"
#include "tavra/error.h"
#include "tavra/file_applier.h"
#include "tavra/platform/unicode.h"

namespace tavra {

namespace {

using Stop = fs::Walk::Stop;

// Whether a read found nothing usable to restore: no file, or something other than a file.
bool isGone(const fs::ReadResult& read) {
  using Failure = fs::ReadResult::Failure;
  if (read.failure == Failure::notRegular) return true;
  return read.failure == Failure::absent && (read.error == std::errc::no_such_file_or_directory ||
                                             read.error == std::errc::not_a_directory);
}

}  // namespace

void FileApplier::releaseUnwanted(State& state, const std::set<FileKey>& seen,
                                  const std::map<FileKey, EntryFiles>& own, bool dryRun,
                                  ApplyResult& result) const {
  std::vector<FileKey> keys;
  for (const auto& [stored, entry] : state.entries) keys.emplace_back(stored);
  for (const FileKey& key : keys) {
    if (seen.contains(key)) continue;
    // The entries of desired items that failed in this pass are never released by it.
    const bool failedNow =
        std::any_of(result.errors.begin(), result.errors.end(),
                    [&](const auto& error) { return FileKey(error.first) == key; });
    if (failedNow) continue;
    // A refused entry (one that records files the applier did not name) is reported by apply().
    const auto files = own.find(key);
    if (files == own.end()) continue;
    // Released and reported under its key, which is a canonical path.
    const std::string& k = key.text();
    if (releaseOnlyAllowed_) {
      try {
        pathPolicy_.check(k);
      } catch (const std::exception& error) {
        result.errors[k] = describe(error);
        continue;
      }
    }
    const StateEntry e = state.entries.at(k);
    if (dryRun) {
      result.changes.push_back({k, e.harnessID, Action::wouldRemove});
      continue;
    }
    try {
      const Action action = release(k, files->second);
      state.entries.erase(k);
      result.changes.push_back({k, e.harnessID, action});
    } catch (const std::exception& error) {
      result.errors[k] = describe(error);
    }
  }
}

FileApplier::Action FileApplier::release(const std::string& path, const EntryFiles& entry) const {
  std::error_code error;
  files_->remove(entry.appliedCopy, error);  // a missing copy is fine

  const fs::PathParts parts = fs::splitPath(path);
  if (entry.backup) {
    const fs::ReadResult backup =
        files_->readFile(*entry.backup, {.maxBytes = maxFileSize, .links = fs::Links::notFinal});
    // A backup that is there but cannot be read now (an I/O error) fails the release: deleting
    // the target instead would lose the user's original for good. The entry stays, and the next
    // pass tries again.
    if (!backup && !isGone(backup)) throw TavraError::io("cannot read " + *entry.backup);
    if (backup) {
      const fs::Walk directory = files_->openDirectory(parts.directory, fs::Links::never);
      if (!directory) throw applier::unreachableDirectory(directory, parts.directory);
      writeTarget(directory.directory, path, backup.bytes,
                  applier::withoutSetID(backup.status.permissions()));
      if (!files_->remove(*entry.backup, error)) {
        throw fs::systemError(error, "cannot remove " + *entry.backup);
      }
      return Action::restoredBackup;
    }
  }

  // Only a regular file at the target is deleted, found without following any link; a link or
  // directory put in its place stays, and so does anything a link on the way points at.
  const fs::Walk directory = files_->openDirectory(parts.directory, fs::Links::never);
  if (!directory) return Action::removed;
  const auto status = files_->statusAt(directory.directory, parts.name, error);
  if (status && status->isRegular() &&
      !files_->removeAt(directory.directory, parts.name, false, error)) {
    throw fs::systemError(error, "cannot remove " + path);
  }
  return Action::removed;
}

void FileApplier::removeEmptyCreatedDirectories(State& state,
                                                const std::vector<FileKey>& inPlace) const {
  if (!state.createdDirectories || state.createdDirectories->empty()) return;
  std::vector<std::string>& remaining = *state.createdDirectories;
  const auto forget = [&](const std::string& directory) { std::erase(remaining, directory); };
  // A folder above a file this pass found or wrote holds it: it is not looked at.
  const auto holdsAFile = [&](const std::string& directory) {
    const std::string below = FileKey(directory).text() + "/";
    return std::any_of(inPlace.begin(), inPlace.end(),
                       [&](const FileKey& file) { return file.text().starts_with(below); });
  };

  // Longest first, so the subdirectories the applier made go before their parents.
  std::vector<std::pair<std::size_t, std::string>> visits;
  for (const auto& directory : remaining) {
    // A folder the allow-list has no part in was never made for a target: the list names it only
    // because someone wrote it into the state file.
    if (holdsAFile(directory) || !mayHaveCreated(directory)) continue;
    visits.emplace_back(unicode::graphemeClusters(directory).size(), directory);
  }
  std::stable_sort(visits.begin(), visits.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });

  for (const auto& [length, directory] : visits) {
    const fs::PathParts parts = fs::splitPath(directory);
    const fs::Walk parent = files_->openDirectory(parts.directory, fs::Links::never);
    if (parent.stop == Stop::symlink) continue;  // not followed; kept for a later pass
    if (!parent) {
      forget(directory);
      continue;
    }
    std::error_code error;
    const fs::FileDescriptor opened = files_->openDirectoryAt(parent.directory, parts.name, error);
    const auto entries = opened ? files_->list(opened, error) : std::nullopt;
    if (!entries) {
      forget(directory);
    } else if (entries->empty() && files_->removeAt(parent.directory, parts.name, true, error)) {
      forget(directory);
    }
  }
  if (remaining.empty()) state.createdDirectories.reset();
}

bool FileApplier::mayHaveCreated(const std::string& directory) const {
  const std::string d = FileKey(directory).text();
  const auto admits = [&](const std::string& prefix) {
    const std::string entry = FileKey(prefix).text();
    const bool folder = prefix.ends_with("/");
    // Below an allowed folder: the folders of targets.
    if (folder && (entry == "/" || d.starts_with(entry + "/"))) return true;
    // On the way to an entry: the allowed folder itself and the folders above it.
    return (folder && d == entry) || d == "/" || entry.starts_with(d + "/");
  };
  return std::any_of(pathPolicy_.prefixes().begin(), pathPolicy_.prefixes().end(), admits);
}

std::vector<FileApplier::Desired> FileApplier::lastApplied(
    const std::optional<std::set<std::string>>& harnessIDs) const {
  const LoadedState loaded = load();
  std::vector<Desired> items;
  for (const auto& [stored, entry] : loaded.state.entries) {
    if (harnessIDs && !harnessIDs->contains(entry.harnessID)) continue;
    const FileKey key(stored);
    std::string appliedCopy;
    try {
      appliedCopy = entryFiles(key, entry, loaded).appliedCopy;
    } catch (const TavraError&) {
      continue;  // a refused entry: apply() reports it
    }
    fs::ReadResult copy =
        files_->readFile(appliedCopy, {.maxBytes = maxFileSize, .links = fs::Links::notFinal});
    if (!copy) continue;
    const std::uint16_t mode = reassertedMode(key.text(), entry, copy.bytes);
    // Named by its key: the state keeps no catalog text.
    items.push_back({key.text(), std::move(copy.bytes), mode, entry.harnessID, entry.outputID});
  }
  return items;
}

std::uint16_t FileApplier::reassertedMode(const std::string& path, const StateEntry& entry,
                                          std::string_view copy) const {
  // The file's own mode counts only where nobody but root can have given it: a root-owned
  // regular file with no second name, holding exactly the bytes of the applied copy. That is
  // the file of our last write, whose mode an administrator may since have narrowed. A user who
  // can write the folder could otherwise put a link to any root-owned file there and choose the
  // mode of the rebuilt one (0000 locks the harness out, 04755 makes it set-uid).
  std::optional<applier::FileInfo> target;
  try {
    // A file the allow-list refuses is not looked at: apply() refuses the item anyway.
    pathPolicy_.check(path);
    target = applier::currentFile(*files_, path, maxFileSize);
  } catch (const std::exception&) {
    // Not allowed, not a regular file, or unreadable: its mode says nothing.
  }
  const bool trusted =
      target && target->rootOwned && target->links == 1 && target->sha256 == sha256(copy);
  if (entry.mode) {
    // Never wider than the last write, and never set-id.
    const auto written = applier::withoutSetID(*entry.mode & 07777);
    return trusted ? static_cast<std::uint16_t>(target->mode & written) : written;
  }
  // An entry from before the mode was recorded: the trusted file's mode, else the catalog's
  // default.
  return trusted ? applier::withoutSetID(target->mode) : std::uint16_t(0644);
}

}  // namespace tavra
