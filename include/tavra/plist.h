// The XML property-list writer (reading is Value::parsePlist). The byte form is stable:
// dictionary keys in sorted order, so the same Value always gives the same bytes.
#pragma once

#include <string>

#include "tavra/value.h"

namespace tavra::plist {

// An XML property list, version 1.0, of `value`.
std::string writeXML(const Value& value);

}  // namespace tavra::plist
