// KeyPath: a path into a Value object tree, written as components separated by "." with "\"
// taking the next user-perceived character literally; empty components are dropped on parsing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavra {

struct KeyPath {
  std::vector<std::string> components;

  KeyPath() = default;
  // Parses the escaped dotted syntax (a text literal converts the same way).
  KeyPath(std::string_view text);  // NOLINT(google-explicit-constructor)
  KeyPath(const char* text) : KeyPath(std::string_view(text)) {}         // NOLINT
  KeyPath(const std::string& text) : KeyPath(std::string_view(text)) {}  // NOLINT

  // Takes the components exactly as given: nothing is parsed or dropped.
  static KeyPath fromComponents(std::vector<std::string> components);

  // A new path with one more component, taken as given (not parsed).
  KeyPath appending(std::string component) const;

  bool empty() const noexcept { return components.empty(); }

  // Components with "." written as "\." joined by "."; backslashes are written as they are.
  std::string description() const;

  friend bool operator==(const KeyPath&, const KeyPath&) = default;
};

}  // namespace tavra

template <>
struct std::hash<tavra::KeyPath> {
  std::size_t operator()(const tavra::KeyPath& path) const noexcept;
};
