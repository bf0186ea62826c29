// Rendering of one output's merged value into its native bytes.
#include "tavra/renderer.h"

#include <optional>

#include "tavra/error.h"
#include "tavra/json.h"
#include "tavra/key_path.h"
#include "tavra/plist.h"
#include "tavra/toml_writer.h"

namespace tavra {

namespace {

// JSON text for the render of `output`: a value JSON cannot hold fails the render, naming it.
std::string jsonFor(const Output& output, const Value& value, bool pretty) {
  try {
    return Renderer::jsonString(value, pretty);
  } catch (const json::WriteError& error) {
    throw TavraError::render(output.id + ": " + error.what());
  }
}

const std::vector<std::string>& listOrEmpty(const std::optional<std::vector<std::string>>& list) {
  static const std::vector<std::string> empty;
  return list ? *list : empty;
}

}  // namespace

std::string Renderer::jsonString(const Value& value, bool pretty) {
  return json::write(value, {.pretty = pretty, .escapeSlash = false});
}

std::string Renderer::render(const Value& merged, const Output& output) {
  if (!merged.isObject()) throw TavraError::render(output.id + ": top level must be a dictionary");
  // The merged value is copied only once a key list actually changes it.
  std::optional<Value> changed;
  const auto current = [&]() -> const Value& { return changed ? *changed : merged; };
  for (const auto* list : {&output.forbiddenKeys, &output.internalKeys}) {
    for (const std::string& key : listOrEmpty(*list)) {
      const KeyPath path(key);
      if (path.empty() || !current().lookup(path)) continue;  // nothing to remove
      changed = current().setting(std::nullopt, path);
    }
  }
  for (const std::string& key : listOrEmpty(output.jsonEncodedKeys)) {
    const KeyPath path(key);
    const Value* node = current().lookup(path);
    if (!node || node->isString()) continue;
    Value text(jsonFor(output, *node, false));
    changed = current().setting(std::move(text), path);
  }
  const Value& value = current();
  switch (output.format) {
    case Output::Format::json:
      return jsonFor(output, value, true) + "\n";
    case Output::Format::toml:
      return TOMLWriter::write(value);
    case Output::Format::plist:
      return plist::writeXML(value);
  }
  throw TavraError::render(output.id + ": unknown output format");
}

}  // namespace tavra
