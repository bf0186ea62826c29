// PathPolicy: the write allow-list of the system, and the canonical form of a path, in which
// paths are checked, reported and compared (file_key.h tells which form of a file's name each
// layer sees).
//
// Every path the file applier is about to write or adopt passes check() first (and one it is about
// to release, when it releases only allowed files), and only the canonical form check() returns,
// and the file key made from it, is used afterwards. The system's own support directory and
// its own preference domains are refused even when an allowed prefix covers them. check() is pure
// text work: it never touches the file system and keeps no state. Plain immutable value; safe to
// share between threads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavra {

class PathPolicy {
 public:
  // The allow-list is `prefixes` followed by `additional`, each entry in canonical form, in the
  // order given; nothing is validated, trimmed or deduplicated. An entry ending in "/" allows
  // everything below it, any other entry exactly that path.
  PathPolicy(std::vector<std::string> prefixes, std::vector<std::string> additional);

  const std::vector<std::string>& prefixes() const noexcept { return prefixes_; }

  // The harness locations that are writable without any setting, in their fixed order.
  static const std::vector<std::string>& builtInPrefixes();

  // "/etc", "/var" and "/tmp", and the paths below them, gain the prefix "/private"; every other
  // text is returned unchanged (no link resolution, no "." or ".." handling, no slash clean-up).
  static std::string canonical(std::string_view path);

  // Whether `path` lies in a place kept for the system itself (its support directory, its own
  // preference domains), which no allow-list entry can open. The names count in any ASCII case
  // and with "/" doubled anywhere, as those spellings reach the same files.
  static bool isReserved(std::string_view path);

  // The canonical form of `path` when the allow-list admits it; otherwise throws
  // TavraError::pathNotAllowed whose message carries the path as given:
  //   "<path>: must be an absolute, normalised path" (relative, or a "." or ".." piece),
  //   "<path>: reserved for Tavra" (the support directory or the system's own domains),
  //   "<path>" (no entry admits it).
  std::string check(std::string_view path) const;

 private:
  std::vector<std::string> prefixes_;
};

}  // namespace tavra
