// Renderer: turns the merged value of one catalog output into the exact bytes of the harness's
// native file (JSON, TOML or an XML property list, as the output's format says), after removing
// the output's forbidden and internal keys and turning its JSON-encoded keys into JSON text.
//
// Rendering is deterministic: the same Value and Output always give the same bytes (the file
// applier compares digests of them). Stateless; safe on any thread; touches no files.
#pragma once

#include <string>

#include "tavra/catalog.h"
#include "tavra/value.h"

namespace tavra::Renderer {

// Bytes of the native file. Throws TavraError::render "<output id>: top level must be a
// dictionary" for a non-object value, TavraError::render "<output id>: <reason>" when a real
// that JSON cannot hold (NaN, infinity) meets the JSON writer, TavraError::render "TOML root
// must be a table" from the TOML writer; property-list writer errors pass through unchanged.
std::string render(const Value& value, const Output& output);

// The system's JSON form: keys sorted, fragments allowed, "/" not escaped; compact or pretty.
// Throws json::WriteError for NaN or infinity.
std::string jsonString(const Value& value, bool pretty);

}  // namespace tavra::Renderer
