#include "tavra/platform/host_path.h"

namespace tavra {

std::string hostPath(std::string_view canonicalPath) {
  constexpr std::string_view privateRoot = "/private";
  if (canonicalPath.substr(0, privateRoot.size()) != privateRoot) return std::string(canonicalPath);
  const std::string_view rest = canonicalPath.substr(privateRoot.size());
  for (std::string_view root : {"/etc", "/tmp", "/var"}) {
    if (rest.substr(0, root.size()) == root &&
        (rest.size() == root.size() || rest[root.size()] == '/')) {
      return std::string(rest);
    }
  }
  return std::string(canonicalPath);
}

}  // namespace tavra
