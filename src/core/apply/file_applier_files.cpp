// The file applier's files: its own directories, the state file and the atomic write.
#include <algorithm>
#include <stdexcept>

#include "apply/target_file.h"
#include "tavra/error.h"
#include "tavra/file_applier.h"
#include "tavra/platform/digest.h"
#include "tavra/support_layout.h"

namespace tavra {

FileApplier::FileApplier(std::string supportDirectory, PathPolicy pathPolicy, bool setRootOwnership,
                         std::shared_ptr<const FileSystem> files,
                         std::shared_ptr<const Clock> clock, bool releaseOnlyAllowed)
    : supportDirectory_(std::move(supportDirectory)),
      pathPolicy_(std::move(pathPolicy)),
      setRootOwnership_(setRootOwnership),
      releaseOnlyAllowed_(releaseOnlyAllowed),
      files_(std::move(files)),
      clock_(std::move(clock)) {
  if (!files_ || !clock_) throw std::invalid_argument("FileApplier needs a FileSystem and a Clock");
}

std::string FileApplier::sha256(std::string_view bytes) {
  return digest::sha256Hex(bytes);
}

Date FileApplier::now() const {
  // Whole seconds, as the state file keeps them, so a saved and a loaded state compare equal.
  return std::chrono::floor<std::chrono::seconds>(clock_->now());
}

std::string FileApplier::appliedCopyPath(const std::string& spelling) const {
  return supportLayout::appliedDirectory(supportDirectory_) + "/" + sha256(spelling);
}

std::string FileApplier::backupPath(const std::string& spelling) const {
  return supportLayout::backupDirectory(supportDirectory_) + "/" + sha256(spelling) + ".bak";
}

namespace {

// The state with every entry under its file's key. A state file written before the keys were
// normalised may hold one file under two spellings; the entry that took the file over first
// stays, since only its backup can hold the user's own file. `storedUnder` gets the spelling of
// each entry kept that was not held under its key.
FileApplier::State underFileKeys(FileApplier::State state,
                                 std::map<FileKey, std::string>& storedUnder) {
  const bool normalised = std::all_of(state.entries.begin(), state.entries.end(), [](auto& entry) {
    return FileKey(entry.first).text() == entry.first;
  });
  if (normalised) return state;
  std::map<std::string, FileApplier::StateEntry> entries;
  for (auto& [path, entry] : state.entries) {
    const FileKey key(path);
    auto [it, inserted] = entries.try_emplace(key.text(), entry);
    if (!inserted && !(entry.managedSince < it->second.managedSince)) continue;
    if (!inserted) it->second = std::move(entry);
    if (path == key.text()) {
      storedUnder.erase(key);
    } else {
      storedUnder[key] = path;
    }
  }
  state.entries = std::move(entries);
  return state;
}

// Whether `recorded` and `computed` name one file, whatever their spelling (/tmp/x and
// /private/tmp/x, a doubled "/").
bool sameFile(const std::string& recorded, const std::string& computed) {
  return FileKey(recorded) == FileKey(computed);
}

}  // namespace

FileApplier::LoadedState FileApplier::load() const {
  const fs::ReadResult file =
      files_->readFile(supportLayout::stateFile(supportDirectory_), {.maxBytes = maxFileSize});
  LoadedState loaded;
  if (!file) return loaded;
  try {
    loaded.state = underFileKeys(State::decode(decoder(file.bytes)), loaded.storedUnder);
  } catch (const std::exception&) {
    loaded = LoadedState();
  }
  return loaded;
}

FileApplier::State FileApplier::loadState() const {
  return load().state;
}

FileApplier::EntryFiles FileApplier::entryFiles(const FileKey& key, const StateEntry& entry,
                                                const LoadedState& loaded) const {
  // The spellings whose names the applier may have given this file's copies: its key, and in an
  // older state file the key as it was stored there (which names the same file).
  std::vector<std::string> spellings{key.text()};
  if (const auto stored = loaded.storedUnder.find(key); stored != loaded.storedUnder.end()) {
    spellings.push_back(stored->second);
  }
  const auto own = [&](const std::string& recorded, auto nameFor) -> std::optional<std::string> {
    for (const std::string& spelling : spellings) {
      std::string computed = (this->*nameFor)(spelling);
      if (sameFile(recorded, computed)) return computed;
    }
    return std::nullopt;
  };
  const auto refuse = [&](const std::string& what, const std::string& recorded,
                          const std::string& computed) {
    return TavraError::io("state entry refused: its " + what + " is recorded as " + recorded +
                          ", not " + computed + "; nothing is read, written or removed for it");
  };

  EntryFiles files;
  std::optional<std::string> applied = own(entry.appliedCopyPath, &FileApplier::appliedCopyPath);
  if (!applied) throw refuse("applied copy", entry.appliedCopyPath, appliedCopyPath(key.text()));
  files.appliedCopy = std::move(*applied);
  if (entry.backupPath) {
    files.backup = own(*entry.backupPath, &FileApplier::backupPath);
    if (!files.backup) throw refuse("backup", *entry.backupPath, backupPath(key.text()));
  }
  return files;
}

void FileApplier::saveState(const State& state) const {
  const fs::Walk support = ensureDirectory(supportDirectory_, 0755);
  // Rewritten in full on every pass, also when nothing changed, so the file always comes out of
  // the atomic write: exactly 0600, root-owned when required, never a link.
  writeTarget(support.directory, supportLayout::stateFile(supportDirectory_),
              encoder(state.encode()), 0600);
}

void FileApplier::writeAtomically(std::string_view data, const std::string& path,
                                  std::uint16_t mode) const {
  try {
    files_->writeAtomically(path, data, {.mode = mode, .rootOwnership = setRootOwnership_});
  } catch (const fs::WriteError& error) {
    throw applier::ioError(error);
  }
}

std::optional<fs::FileStatus> FileApplier::writeTarget(const fs::FileDescriptor& directory,
                                                       const std::string& path,
                                                       std::string_view data,
                                                       std::uint16_t mode) const {
  try {
    return files_->writeAtomicallyAt(directory, path, data,
                                     {.mode = mode, .rootOwnership = setRootOwnership_});
  } catch (const fs::WriteError& error) {
    throw applier::ioError(error);
  }
}

fs::Walk FileApplier::ensureDirectory(const std::string& path, std::uint16_t mode) const {
  // Links are followed here: the support directory and its folders are the administrator's.
  fs::Walk made = files_->makeDirectories(
      path, {.mode = mode, .links = fs::Links::follow, .rootOwnership = setRootOwnership_});
  if (made) return made;
  std::error_code error;
  const auto status = files_->status(path, fs::Links::follow, error);
  if (status && !status->isDirectory()) throw TavraError::io(path + " is not a directory");
  throw fs::systemError(made.error, "cannot create directory " + path);
}

}  // namespace tavra
