// ManagedPreferences: reads the managed-preference domains of one directory, where the MDM system
// places one property-list file per domain, named after the domain followed by ".plist".
//
// A plain immutable value: the directory (given without a trailing "/") and whether only
// root-owned regular files are read. The production reader points at
// Constants::managedPreferencesDirectory with the ownership check on; offline simulation points
// one at a folder of its own with the check off. Nothing is cached: every call reads the files
// again. Synchronous; no shared state, so distinct calls may run on distinct threads.
//
// Failures: read() throws TavraError::fragment for an entry that fails the ownership check,
// TavraError::io for a file that cannot be read (also for anything but a regular file, such as a
// folder or a FIFO, which is never opened for a blocking read), and the property-list reader's
// and value conversion's own errors unchanged; a file whose status cannot be taken for another
// reason than its absence throws std::system_error. fragments() throws only when the directory
// exists and cannot be listed, or its status cannot be taken (std::system_error); each bad file
// becomes an entry of the scan's errors. settings() never fails. Files are reached through the
// FileSystem given.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/platform/file_system.h"
#include "tavra/policy_fragment.h"
#include "tavra/settings.h"
#include "tavra/value.h"

namespace tavra {

class ManagedPreferences {
 public:
  // The result of one scan of the policy-fragment domains. A scanned domain lands in exactly one
  // of the three fields, or in none when no file is found for it.
  struct FragmentScan {
    // The enabled fragments that parsed, in ascending file-name order (not by precedence).
    std::vector<PolicyFragment> fragments;
    // Domain to the description of the error that kept it out (describe(), so a TavraError
    // reads with its prefix, e.g. "policy fragment: ...").
    std::map<std::string, std::string, std::less<>> errors;
    // The domains whose fragment is switched off, in file-name order.
    std::vector<std::string> disabled;

    friend bool operator==(const FragmentScan&, const FragmentScan&) = default;
  };

  ManagedPreferences(std::string directory, bool requireRootOwned,
                     std::shared_ptr<const FileSystem> files);

  const std::string& directory() const noexcept { return directory_; }
  bool requireRootOwned() const noexcept { return requireRootOwned_; }

  // The file of a domain: directory + "/" + domain + ".plist", by plain concatenation.
  std::string path(std::string_view domain) const;

  // The parsed root value of the domain's file (of any kind), or no value when no entry exists
  // at its path (a symbolic link that leads nowhere, dangling or in a loop, counts as none; an
  // I/O error does not).
  std::optional<Value> read(std::string_view domain) const;

  // Whether an entry exists at the domain's path (following symbolic links; no ownership check).
  bool exists(std::string_view domain) const;

  // Reads and parses every policy-fragment domain of the directory; one bad file never stops the
  // scan. A missing directory gives an empty scan.
  FragmentScan fragments() const;

  // The settings from the settings domain; any error reading the file leaves all defaults.
  TavraSettings settings() const;

  friend bool operator==(const ManagedPreferences&, const ManagedPreferences&) = default;

 private:
  // The parsed file of a read of the domain's file, or none, or the read's error as read()
  // reports it.
  std::optional<Value> valueOf(const fs::ReadResult& read, std::string_view domain) const;
  // read() of the domain whose file is `name` in `folder`, the folder open already.
  // The bytes are read into `buffer`, which keeps them for the next file's read.
  std::optional<Value> readIn(const fs::FileDescriptor& folder, const std::string& name,
                              std::string_view domain, std::string& buffer) const;

  std::string directory_;
  bool requireRootOwned_;
  std::shared_ptr<const FileSystem> files_;
};

}  // namespace tavra
