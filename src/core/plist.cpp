// Placeholder until the property-list reader and writer land.
#include "tavra/plist.h"

namespace tavra {
Value Value::parsePlist(std::string_view) {
  throw Value::ReadError("property lists: not built yet");
}
namespace plist {
std::string writeXML(const Value&) {
  throw std::runtime_error("property lists: not built yet");
}
}  // namespace plist
}  // namespace tavra
