#include "tavra/error.h"

namespace tavra {

TavraError::TavraError(Case kind, std::string message) : kind_(kind), message_(std::move(message)) {
  description_.reserve(prefix(kind_).size() + message_.size());
  description_.append(prefix(kind_)).append(message_);
}

std::string_view TavraError::prefix(Case kind) noexcept {
  switch (kind) {
    case Case::catalog:
      return "catalog: ";
    case Case::signature:
      return "signature: ";
    case Case::fragment:
      return "policy fragment: ";
    case Case::crypto:
      return "crypto: ";
    case Case::pathNotAllowed:
      return "path not allowed: ";
    case Case::io:
      return "io: ";
    case Case::render:
      return "render: ";
  }
  return "";
}

std::string describe(const std::exception& error) {
  return error.what();
}

}  // namespace tavra
