// The file applier's files: its own directories, the state file and the atomic write.
#include <algorithm>
#include <stdexcept>

#include "apply/target_file.h"
#include "tavra/error.h"
#include "tavra/file_applier.h"
#include "tavra/platform/digest.h"

namespace tavra {

FileApplier::FileApplier(std::string supportDirectory, PathPolicy pathPolicy, bool setRootOwnership,
                         std::shared_ptr<const FileSystem> files,
                         std::shared_ptr<const Clock> clock)
    : supportDirectory_(std::move(supportDirectory)),
      pathPolicy_(std::move(pathPolicy)),
      setRootOwnership_(setRootOwnership),
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

std::string FileApplier::appliedCopyPath(const std::string& key) const {
  return supportDirectory_ + "/applied" + "/" + sha256(key);
}

std::string FileApplier::backupPath(const std::string& key) const {
  return supportDirectory_ + "/backups" + "/" + sha256(key) + ".bak";
}

namespace {

// The state with every entry under its file's key. A state file written before the keys were
// normalised may hold one file under two spellings; the entry that took the file over first
// stays, since only its backup can hold the user's own file.
FileApplier::State underFileKeys(FileApplier::State state) {
  const bool normalised = std::all_of(state.entries.begin(), state.entries.end(), [](auto& entry) {
    return PathPolicy::fileKey(entry.first) == entry.first;
  });
  if (normalised) return state;
  std::map<std::string, FileApplier::StateEntry> entries;
  for (auto& [path, entry] : state.entries) {
    auto [it, inserted] = entries.try_emplace(PathPolicy::fileKey(path), entry);
    if (!inserted && entry.managedSince < it->second.managedSince) it->second = std::move(entry);
  }
  state.entries = std::move(entries);
  return state;
}

}  // namespace

FileApplier::State FileApplier::loadState() const {
  const fs::ReadResult file =
      files_->readFile(supportDirectory_ + "/state.json", {.maxBytes = maxFileSize});
  if (!file) return State();
  try {
    return underFileKeys(State::decode(decoder(file.bytes)));
  } catch (const std::exception&) {
    return State();
  }
}

void FileApplier::saveState(const State& state) const {
  const fs::Walk support = ensureDirectory(supportDirectory_, 0755);
  // Rewritten in full on every pass, also when nothing changed, so the file always comes out of
  // the atomic write: exactly 0600, root-owned when required, never a link.
  writeTarget(support.directory, supportDirectory_ + "/state.json", encoder(state.encode()), 0600);
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
