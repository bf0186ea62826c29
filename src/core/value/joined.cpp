#include "tavra/joined.h"

namespace tavra {

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += separator;
    text += items[i];
  }
  return text;
}

}  // namespace tavra
