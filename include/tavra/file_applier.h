// FileApplier: the only component that changes harness configuration files on disk.
//
// It brings desired files to their bytes and mode, keeps an applied copy of everything it writes
// and a backup of every file it takes over, records all of it in <support>/state.json, corrects
// drift, and releases files that are no longer wanted (restoring the backup or deleting the file).
//
// Layout below the support directory: "state.json" (0600), "applied/<hex>" (0600 copies of the
// bytes last written), "backups/<hex>.bak" (the file as it was before the first write), where
// <hex> is sha256() of the text of the target's file key (file_key.h, which also tells which form
// of a file's name each layer sees).
//
// Safety: the applier runs as root while ordinary users may be able to write some allowed
// folders. Targets are reached by walking their parents one directory descriptor at a time
// without following links; temporary files are created exclusively, without following links,
// relative to the target's directory and renamed within it; targets are read through
// no-follow descriptors; nothing is deleted but a regular file at a target or an empty
// directory the applier created itself. A link or non-directory on a target's path fails that
// item; it is never followed.
//
// The applier is a small immutable value; it keeps nothing between calls. Not synchronised:
// callers run one apply at a time. Per-item failures are collected and reported; only a failed
// state save throws out of apply().
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/file_key.h"
#include "tavra/iso8601.h"
#include "tavra/path_policy.h"
#include "tavra/platform/clock.h"
#include "tavra/platform/file_system.h"
#include "tavra/raw_value.h"
#include "tavra/records_json.h"
#include "tavra/value.h"

namespace tavra {

namespace applier {
struct FileInfo;
}

class FileApplier {
 public:
  // One file that should exist with the given bytes. `path` is as the caller names it, not yet
  // checked or canonical: a catalog output's path as written, or the text of the file key for an
  // item rebuilt by lastApplied(). The item's failure is reported under it; its file is kept
  // under FileKey(path).
  struct Desired {
    std::string path;
    std::string data;
    std::uint16_t mode = 0644;
    std::string harnessID;
    std::string outputID;
  };

  // Outcome of one file. Its raw text (the table below the class) is its JSON and display form.
  enum class Action {
    unchanged,
    created,
    updated,
    driftCorrected,
    restoredBackup,
    removed,
    wouldWrite,
    wouldRemove,
  };

  // One reported outcome, under the canonical target path.
  struct Change {
    std::string path;
    std::string harnessID;
    Action action = Action::unchanged;

    // {"action", "harnessID", "path"}; decode() throws DecodingError.
    Value encode() const;
    static Change decode(const Value& value);
    friend bool operator==(const Change&, const Change&) = default;
  };

  // The persisted record of one managed file, stored under the text of its file key.
  struct StateEntry {
    std::string harnessID;
    std::string outputID;
    std::string sha256;
    std::optional<std::string> backupPath;
    std::string appliedCopyPath;
    Date managedSince;
    Date lastWritten;
    std::int64_t driftCorrections = 0;
    // The permission bits the file was last written with (or found with, holding what was
    // desired), kept as octal text ("0644"); absent in entries of an older state file until the
    // file's next pass.
    std::optional<std::uint16_t> mode;

    Value encode() const;
    static StateEntry decode(const Value& value);
    friend bool operator==(const StateEntry&, const StateEntry&) = default;
  };

  // The content of state.json. State{} is the empty state.
  struct State {
    // Under the text that the state file holds for each entry: a file key's, as the applier saves
    // it (a state file written before the keys were normalised may hold another spelling; the
    // loaded state has every entry under its key).
    std::map<std::string, StateEntry> entries;
    // Parent directories the applier created and has not removed again, in creation order.
    std::optional<std::vector<std::string>> createdDirectories;

    Value encode() const;
    static State decode(const Value& value);
    friend bool operator==(const State&, const State&) = default;
  };

  // The shared JSON encoder and decoder of the system's own files (state.json, status.json),
  // and the decoder's error: see records_json.h.
  using DecodingError = records::DecodingError;
  using Encoder = records::Encoder;
  using Decoder = records::Decoder;
  static constexpr Encoder encoder{};
  static constexpr Decoder decoder{};

  // What an apply left at each target it kept in line, under the target's file key: the
  // status of the file it wrote (taken from the file before it was put in place) or found
  // already holding the desired bytes, and in a dry run of the file it found; no status where it
  // found no file. A later look that finds another status means someone changed the file since.
  using LeftFiles = std::map<FileKey, std::optional<fs::FileStatus>>;

  // What one apply did: changes in the order produced, and per-item errors (path as given in the
  // desired item, or the text of the file key for a release or a refused entry) with the error's
  // description. A target taken over without a backup (the file was too large to copy) has both
  // its change and an error. `left` holds the targets of the items that did not fail.
  struct ApplyResult {
    std::vector<Change> changes;
    std::map<std::string, std::string> errors;
    LeftFiles left;
  };

  // `setRootOwnership`: every written file gets owner 0:0 and every directory the applier
  // creates too. Every file and directory is reached through `files`; `clock` gives "now" for an
  // apply. Neither may be null. `releaseOnlyAllowed`: a managed file is released only where the
  // allow-list admits it (for a state that someone else may have prepared, as in a folder of
  // simulate's); otherwise every managed file is released, also one below a prefix that has
  // since left the settings.
  FileApplier(std::string supportDirectory, PathPolicy pathPolicy, bool setRootOwnership,
              std::shared_ptr<const FileSystem> files, std::shared_ptr<const Clock> clock,
              bool releaseOnlyAllowed = false);

  const std::string& supportDirectory() const noexcept { return supportDirectory_; }
  const PathPolicy& pathPolicy() const noexcept { return pathPolicy_; }
  bool setRootOwnership() const noexcept { return setRootOwnership_; }
  bool releaseOnlyAllowed() const noexcept { return releaseOnlyAllowed_; }

  // Lowercase hex SHA-256 of `bytes` (content hashes and the names of copies and backups).
  static std::string sha256(std::string_view bytes);

  // The state in <support>/state.json; the empty state when it is missing, unreadable or does
  // not decode. Never fails.
  State loadState() const;

  // Ensures the support directory (0755 when created) and writes state.json atomically (0600).
  // Throws the failing step's error.
  void saveState(const State& state) const;

  // The file layer's atomic write (FileSystem::writeAtomically, the system's one) with the
  // applier's owner rule: a fresh ".tavra-<UUID>" file in the target's directory, all bytes,
  // owner 0:0 when set, exactly `mode`, fsync, then rename onto `path`. The directory part of
  // `path` is resolved as given; the temporary file never follows a link. Its failures come as
  // TavraError::io with the file layer's texts: "cannot create <temporary>: <error>" when the
  // temporary file cannot be created (nothing left behind), or "cannot write <path>: <error>"
  // for any later step (the temporary file is removed, the target untouched).
  void writeAtomically(std::string_view data, const std::string& path, std::uint16_t mode) const;

  // Brings every desired item to its bytes and mode, in order; with `unmanage`, releases every
  // managed file that is not desired (and was not failed) and removes the empty directories the
  // applier created (those below an allowed folder, or on the way to an allowed entry); with
  // `dryRun`, changes nothing at all and reports wouldWrite/wouldRemove. Saves the state after
  // every apply that is not a dry run; a failed save is thrown.
  //
  // The state file is data: the applier reaches only the applied copy and backup it names itself
  // for a file's key. An entry that records any other file for either is refused whole: it is
  // reported under its key, neither written, released nor re-asserted, and kept as it stands.
  ApplyResult apply(const std::vector<Desired>& desired, bool unmanage, bool dryRun) const;

  // Desired items rebuilt from the applied copies of the managed files (of the given harnesses,
  // or all when absent), in the order of their keys; each item's path is the text of its file's
  // key. Entries whose copy cannot be read, and refused entries (see apply()), are left out.
  // Each gets the mode its file was last written with, narrowed to the file's own mode only when
  // that file is root-owned, has one link and holds the copy's bytes; never a set-id bit. Never
  // fails.
  std::vector<Desired> lastApplied(
      const std::optional<std::set<std::string>>& harnessIDs = std::nullopt) const;

  // The largest target, backup, applied copy or state file the applier reads; a larger file
  // is never read, so a hostile file cannot exhaust memory. A larger target differs from any
  // desired bytes: it is corrected, or taken over without a backup (reported as an error).
  static constexpr std::int64_t maxFileSize = 64 * 1024 * 1024;

 private:
  // A desired item's file: its canonical path as checked (the file is reached and reported
  // under it), its key, under which its state entry, applied copy and backup are kept, and the
  // applied copy written for it.
  struct Target {
    std::string path;
    FileKey key;
    std::string appliedCopy;
  };

  // The state as loaded (every entry under its key's text), and for each key the spelling under
  // which the state file held its entry where that is not the key's text (a state file from
  // before the keys were normalised).
  struct LoadedState {
    State state;
    std::map<FileKey, std::string> storedUnder;
  };
  // The files of one state entry, as the applier names them.
  struct EntryFiles {
    std::string appliedCopy;
    std::optional<std::string> backup;
  };

  // The names of the applied copy and backup kept for the file stored under `spelling` (a key's
  // text, or an older state file's spelling of it).
  std::string appliedCopyPath(const std::string& spelling) const;
  std::string backupPath(const std::string& spelling) const;
  LoadedState load() const;
  // The applied copy and backup of the entry under `key`: the applier's own names for the key
  // (or for the spelling the state file held it under), when the entry records exactly those.
  // Throws TavraError::io naming the recorded path when it records any other file.
  EntryFiles entryFiles(const FileKey& key, const StateEntry& entry,
                        const LoadedState& loaded) const;
  // The directory at `path`, open, made when missing.
  fs::Walk ensureDirectory(const std::string& path, std::uint16_t mode) const;
  // apply(): one desired item, the record of a file found already as desired, the backup of a
  // file taken over, the target's directory (created directories recorded in `state`), and the
  // release pass.
  struct ItemOutcome {
    Action action = Action::unchanged;
    std::optional<fs::FileStatus> left;  // see LeftFiles
    std::optional<std::string> warning;  // what went wrong without stopping the item
  };
  ItemOutcome applyItem(const Desired& d, const Target& target, State& state, Date when,
                        bool dryRun) const;
  void catchUpRecord(const Desired& d, const Target& target, const std::string& want,
                     std::uint16_t mode, StateEntry& entry, Date when) const;
  // The backup's path, or nothing when the file is too large to be kept.
  std::optional<std::string> takeBackup(const FileKey& key, const applier::FileInfo& current) const;
  fs::Walk targetDirectory(const std::string& p, State& state) const;
  void releaseUnwanted(State& state, const std::set<FileKey>& seen,
                       const std::map<FileKey, EntryFiles>& own, bool dryRun,
                       ApplyResult& result) const;
  // The atomic write into the directory of a target (or of the applier's own file), already
  // open.
  std::optional<fs::FileStatus> writeTarget(const fs::FileDescriptor& directory,
                                            const std::string& path, std::string_view data,
                                            std::uint16_t mode) const;
  Action release(const std::string& path, const EntryFiles& entry) const;
  // lastApplied(): the mode to re-assert the file at `path` with, holding `copy`.
  std::uint16_t reassertedMode(const std::string& path, const StateEntry& entry,
                               std::string_view copy) const;
  // Leaves alone the folders above `inPlace`, the files the pass found in place or wrote, and
  // those the allow-list has no part in.
  void removeEmptyCreatedDirectories(State& state, const std::vector<FileKey>& inPlace) const;
  // Whether `directory` lies below an allowed folder or on the way to an allowed entry.
  bool mayHaveCreated(const std::string& directory) const;
  Date now() const;

  std::string supportDirectory_;
  PathPolicy pathPolicy_;
  bool setRootOwnership_;
  bool releaseOnlyAllowed_;
  std::shared_ptr<const FileSystem> files_;
  std::shared_ptr<const Clock> clock_;
};

template <>
struct RawValues<FileApplier::Action> {
  using enum FileApplier::Action;
  static constexpr CaseText<FileApplier::Action> table[] = {
      {unchanged, "unchanged"},
      {created, "created"},
      {updated, "updated"},
      {driftCorrected, "driftCorrected"},
      {restoredBackup, "restoredBackup"},
      {removed, "removed"},
      {wouldWrite, "wouldWrite"},
      {wouldRemove, "wouldRemove"},
  };
};

std::ostream& operator<<(std::ostream& out, const FileApplier::Change& change);

}  // namespace tavra
