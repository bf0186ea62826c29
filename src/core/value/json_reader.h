// The one reading of JSON text in the library, for Value::parseJSON and for the catalog decoder.
//
// Both go through nlohmann's SAX parser, which does not recurse, under one nesting cap
// (Value::maxDepth containers): a document nested deeper is refused as soon as the parser gets
// there, before anything more is built, with the reader's message ("invalid JSON: nesting deeper
// than 512 levels"). Malformed text throws Value::ReadError "invalid JSON: " and the parser's
// position and reason.
#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

namespace tavra::json {

// The document as nlohmann's tree, with JSON nulls kept (the catalog reads a null as an absent
// key). Duplicate keys: the last occurrence wins. Throws Value::ReadError.
nlohmann::json readDocument(std::string_view bytes);

}  // namespace tavra::json
