#include "tavra/policy_fragment.h"

#include <algorithm>
#include <array>

#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/platform/unicode.h"

namespace tavra {
namespace {

// The UTF-8 forms of the Unicode White_Space characters beyond ASCII (line and paragraph
// separators, no-break and typographic spaces).
constexpr std::array<std::string_view, 19> kUnicodeSpaces = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

// Whether `text` holds nothing but white space and line breaks.
bool isBlank(std::string_view text) {
  while (!text.empty()) {
    const char c = text.front();
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') {
      text.remove_prefix(1);
      continue;
    }
    const auto space = std::find_if(kUnicodeSpaces.begin(), kUnicodeSpaces.end(),
                                    [&](std::string_view s) { return text.starts_with(s); });
    if (space == kUnicodeSpaces.end()) return false;
    text.remove_prefix(space->size());
  }
  return true;
}

[[noreturn]] void fail(std::string_view domain, std::string_view text) {
  std::string message(domain);
  message.append(": ").append(text);
  throw TavraError::fragment(std::move(message));
}

bool isASCII(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Ids compare as texts: by the code points of their composed (NFC) form, so that two spellings
// of one text are the same id and an accented letter sorts where it reads.
bool idLess(std::string_view a, std::string_view b) {
  if (isASCII(a) && isASCII(b)) return a < b;
  return unicode::normalizeNFC(a) < unicode::normalizeNFC(b);
}

Value* member(Value::Object& object, std::string_view key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &found->second;
}

}  // namespace

std::optional<PolicyFragment> PolicyFragment::parse(std::string_view domain, const Value& value) {
  return parse(domain, Value(value));
}

std::optional<PolicyFragment> PolicyFragment::parse(std::string_view domain, Value&& value) {
  Value::Object* payload = value.asObject();
  if (payload == nullptr) fail(domain, "root is not a dictionary");

  if (const Value* enabled = member(*payload, "Enabled")) {
    if (enabled->boolValue() == false) return std::nullopt;
  }

  PolicyFragment fragment;
  fragment.sourceDomain = std::string(domain);
  fragment.id = std::string(domain.starts_with(Constants::policyDomainPrefix)
                                ? domain.substr(Constants::policyDomainPrefix.size())
                                : domain);
  if (const Value* policyID = member(*payload, "PolicyID"); policyID && policyID->isString()) {
    fragment.id = *policyID->asString();
  }

  if (const Value* priority = member(*payload, "Priority")) {
    const std::optional<std::int64_t> number = priority->intValue();
    if (!number) fail(domain, "Priority must be an integer");
    fragment.priority = *number;
  }

  Value* source = member(*payload, "Harnesses");
  Value fromJSON;
  if (const Value* json = member(*payload, "HarnessesJSON");
      json && json->isString() && !isBlank(*json->asString())) {
    if (source != nullptr) fail(domain, "set either Harnesses or HarnessesJSON, not both");
    try {
      fromJSON = Value::parseJSON(*json->asString());
    } catch (const std::exception& error) {
      fail(domain, "HarnessesJSON is not valid JSON (" + std::string(error.what()) + ")");
    }
    source = &fromJSON;
  }
  if (source == nullptr || !source->isObject()) fail(domain, "missing Harnesses dictionary");

  // The outputs are taken over, not copied: a payload is read once.
  for (auto& [harnessID, outputs] : *source->asObject()) {
    Value::Object* map = outputs.asObject();
    if (map == nullptr) fail(domain, "Harnesses." + harnessID + " must be a dictionary of outputs");
    fragment.harnesses.emplace(harnessID, std::move(*map));
  }

  if (const Value* description = member(*payload, "Description");
      description && description->isString()) {
    fragment.description = *description->asString();
  }
  return fragment;
}

bool PolicyFragment::precedes(const PolicyFragment& a, const PolicyFragment& b) {
  if (a.priority != b.priority) return a.priority > b.priority;
  return idLess(a.id, b.id);
}

std::vector<PolicyFragment> sortedByPrecedence(std::vector<PolicyFragment> fragments) {
  std::stable_sort(fragments.begin(), fragments.end(), PolicyFragment::precedes);
  return fragments;
}

}  // namespace tavra
