#include "tavra/file_key.h"

#include <ostream>

#include "tavra/path_policy.h"

namespace tavra {

namespace {

std::string keyOf(std::string_view path) {
  if (path.find("//") == std::string_view::npos && (path.size() <= 1 || path.back() != '/')) {
    return PathPolicy::canonical(path);
  }
  std::string single;
  single.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !single.empty() && single.back() == '/') continue;
    single.push_back(c);
  }
  if (single.size() > 1 && single.back() == '/') single.pop_back();
  // Canonical once the slashes are single: "//etc/x" is /etc/x, so /private/etc/x.
  return PathPolicy::canonical(single);
}

}  // namespace

FileKey::FileKey(std::string_view path) : text_(keyOf(path)) {}

std::ostream& operator<<(std::ostream& out, const FileKey& key) {
  return out << key.text();
}

}  // namespace tavra
