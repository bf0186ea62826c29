// FileKey: the one name of a file, whatever the spelling of the path that reaches it.
//
// A file's name takes four forms on its way from the catalog to the disk, and each layer sees one:
//
// 1. Catalog text: an output's path as the catalog writes it ("/etc//codex/config.toml"). Desired
//    items carry it, and the harness outputs of the report list it; the applier's per-item errors
//    are under it, so the run matches each failure to its output exactly.
// 2. Canonical (PathPolicy::canonical): /etc, /tmp and /var below "/private", nothing else
//    changed. The allow-list checks this form and gives it back; the applier's changes are
//    reported under it, the daemon watches it, and the file layer (FileSystem) takes it.
// 3. File key (FileKey): the canonical form once every run of "/" is one "/" and a final "/" is
//    dropped. The applier keeps a file's state entry under it (state.json holds its text), names
//    the file's applied copy and backup after it, and says under it what a pass left at the file;
//    so two spellings of one file are one file. An item that the applier rebuilds from its state
//    (FileApplier::lastApplied) carries its key's text where catalog text would be.
// 4. Host path (hostPath, platform/host_path.h): where a canonical path lives on this machine.
//    Only code at the platform's edge asks for it, right where a path is handed to the system
//    (the file layer's implementation, the daemon's watches); src/core never sees it.
//
// Each form is pure text work on the one before it (no file-system access, no link resolution),
// and each is still a path of the forms before it: a key is a canonical path, so it may be handed
// on wherever one is taken. A FileKey is a plain immutable value; safe to share between threads.
#pragma once

#include <compare>
#include <iosfwd>
#include <string>
#include <string_view>

namespace tavra {

class FileKey {
 public:
  // The key of the file `path` names: every run of "/" written as one, a final "/" dropped, then
  // the canonical form ("/etc//codex/a.toml/", "//etc/codex/a.toml" and
  // "/private/etc/codex/a.toml" all give "/private/etc/codex/a.toml"). A key's own text gives the
  // key back.
  explicit FileKey(std::string_view path);

  const std::string& text() const noexcept { return text_; }

  friend bool operator==(const FileKey&, const FileKey&) = default;
  friend std::strong_ordering operator<=>(const FileKey&, const FileKey&) = default;

 private:
  std::string text_;
};

std::ostream& operator<<(std::ostream& out, const FileKey& key);

}  // namespace tavra
