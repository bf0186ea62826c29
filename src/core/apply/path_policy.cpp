#include "tavra/path_policy.h"

#include "tavra/error.h"
#include "tavra/file_key.h"
#include "tavra/platform/file_system.h"

namespace tavra {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The system's own places, compared without regard to ASCII case: a Mac's disk is usually
// case-insensitive, so another spelling of these names reaches the same files.
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

constexpr std::string_view reservedSupportFolder = "/Library/Application Support/Tavra/";
constexpr std::string_view reservedDomains = "/Library/Managed Preferences/com.zelkorandin.tavra";

}  // namespace

PathPolicy::PathPolicy(std::vector<std::string> prefixes, std::vector<std::string> additional) {
  prefixes_.reserve(prefixes.size() + additional.size());
  for (const auto& entry : prefixes) prefixes_.push_back(canonical(entry));
  for (const auto& entry : additional) prefixes_.push_back(canonical(entry));
}

const std::vector<std::string>& PathPolicy::builtInPrefixes() {
  static const std::vector<std::string> entries{
      "/Library/Application Support/ClaudeCode/",
      "/Library/Application Support/opencode/",
      "/Library/Application Support/GeminiCli/",
      "/private/etc/codex/",
      "/Library/Managed Preferences/com.anthropic.claudefordesktop.plist",
  };
  return entries;
}

std::string PathPolicy::canonical(std::string_view path) {
  for (std::string_view root : {"/etc", "/var", "/tmp"}) {
    if (path == root ||
        (startsWith(path, root) && path.size() > root.size() && path[root.size()] == '/')) {
      return "/private" + std::string(path);
    }
  }
  return std::string(path);
}

bool PathPolicy::isReserved(std::string_view path) {
  // Both the text as given and the file it names: "/Library/Application Support//Tavra/x" is the
  // support folder's file too.
  const std::string c = canonical(path);
  for (const std::string& spelling : {c, FileKey(c).text()}) {
    if (startsWithIgnoringCase(spelling, reservedSupportFolder) ||
        startsWithIgnoringCase(spelling, reservedDomains)) {
      return true;
    }
  }
  return false;
}

std::string PathPolicy::check(std::string_view path) const {
  std::string c = canonical(path);

  bool normalised = startsWith(c, "/");
  for (const std::string& piece : fs::pathComponents(c)) {
    if (piece == "." || piece == "..") normalised = false;
  }
  if (!normalised) {
    throw TavraError::pathNotAllowed(std::string(path) + ": must be an absolute, normalised path");
  }

  if (isReserved(c)) {
    throw TavraError::pathNotAllowed(std::string(path) + ": reserved for Tavra");
  }

  for (const auto& prefix : prefixes_) {
    // A folder entry admits what lies below the folder, not the folder's own name.
    const bool folder = !prefix.empty() && prefix.back() == '/';
    const bool below = folder && startsWith(c, prefix) &&
                       c.find_first_not_of('/', prefix.size()) != std::string::npos;
    if (below || (!folder && c == prefix)) return c;
  }
  throw TavraError::pathNotAllowed(std::string(path));
}

}  // namespace tavra
