#include "tavra/key_path.h"

#include <functional>

#include "tavra/platform/unicode.h"

namespace tavra {

KeyPath::KeyPath(std::string_view text) {
  std::vector<std::string> parsed;
  std::string current;
  bool escaped = false;
  // Escapes and separators are whole user-perceived characters: a backslash or dot carrying a
  // combining mark is an ordinary character.
  for (std::string_view character : unicode::graphemeClusters(text)) {
    if (escaped) {
      current.append(character);
      escaped = false;
    } else if (character == "\\") {
      escaped = true;
    } else if (character == ".") {
      parsed.push_back(std::move(current));
      current.clear();
    } else {
      current.append(character);
    }
  }
  parsed.push_back(std::move(current));
  for (std::string& component : parsed) {
    if (!component.empty()) components.push_back(std::move(component));
  }
}

KeyPath KeyPath::fromComponents(std::vector<std::string> components) {
  KeyPath path;
  path.components = std::move(components);
  return path;
}

KeyPath KeyPath::appending(std::string component) const {
  KeyPath path = *this;
  path.components.push_back(std::move(component));
  return path;
}

std::string KeyPath::description() const {
  std::string out;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) out.push_back('.');
    for (char c : components[i]) {
      if (c == '.') out.push_back('\\');
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace tavra

std::size_t std::hash<tavra::KeyPath>::operator()(const tavra::KeyPath& path) const noexcept {
  std::size_t seed = path.components.size();
  for (const std::string& component : path.components) {
    seed ^= std::hash<std::string>{}(component) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
  }
  return seed;
}
