// The shared JSON encoder and decoder of the system's own files, and the JSON form of the
// applier's records.
#include <ostream>

#include "tavra/file_applier.h"
#include "tavra/json.h"

namespace tavra {

namespace {

using Decoder = FileApplier::Decoder;

[[noreturn]] void fail(std::string message) {
  throw FileApplier::DecodingError(std::move(message));
}

std::string quoted(std::string_view key) {
  std::string text;
  text.reserve(key.size() + 2);
  text.append(1, '"').append(key).append(1, '"');
  return text;
}

const Value* find(const Value::Object& record, std::string_view key) {
  const auto it = record.find(key);
  return it == record.end() ? nullptr : &it->second;
}

std::vector<std::string> stringsOf(const Value::Array& elements, std::string_view key) {
  std::vector<std::string> texts;
  texts.reserve(elements.size());
  for (const auto& element : elements) {
    const std::string* text = element.asString();
    if (text == nullptr) fail("expected strings in " + quoted(key));
    texts.push_back(*text);
  }
  return texts;
}

}  // namespace

std::string_view FileApplier::rawValue(Action action) noexcept {
  switch (action) {
    case Action::unchanged:
      return "unchanged";
    case Action::created:
      return "created";
    case Action::updated:
      return "updated";
    case Action::driftCorrected:
      return "driftCorrected";
    case Action::restoredBackup:
      return "restoredBackup";
    case Action::removed:
      return "removed";
    case Action::wouldWrite:
      return "wouldWrite";
    case Action::wouldRemove:
      return "wouldRemove";
  }
  return "";
}

std::optional<FileApplier::Action> FileApplier::actionFromRawValue(std::string_view text) noexcept {
  for (int i = 0; i <= int(Action::wouldRemove); ++i) {
    const auto action = static_cast<Action>(i);
    if (rawValue(action) == text) return action;
  }
  return std::nullopt;
}

// ---- encoder and decoder ----

std::string FileApplier::Encoder::operator()(const Value& value) const {
  return json::write(value, {.pretty = true, .escapeSlash = true});
}

Value FileApplier::Encoder::date(Date date) {
  return Value(iso8601(date));
}

Value FileApplier::Decoder::operator()(std::string_view bytes) const {
  try {
    return Value::parseJSON(bytes);
  } catch (const Value::ReadError& error) {
    fail(std::string("malformed JSON: ") + error.what());
  } catch (const Value::ConversionError& error) {
    fail(std::string("malformed JSON: ") + error.what());
  }
}

const Value::Object& Decoder::object(const Value& value, std::string_view what) {
  const Value::Object* record = value.asObject();
  if (record == nullptr) fail("expected an object for " + std::string(what));
  return *record;
}

const Value& Decoder::required(const Value::Object& record, std::string_view key) {
  const Value* value = find(record, key);
  if (value == nullptr) fail("missing key " + quoted(key));
  return *value;
}

std::string Decoder::string(const Value::Object& record, std::string_view key) {
  const std::string* text = required(record, key).asString();
  if (text == nullptr) fail("expected a string for " + quoted(key));
  return *text;
}

std::optional<std::string> Decoder::optionalString(const Value::Object& record,
                                                   std::string_view key) {
  if (find(record, key) == nullptr) return std::nullopt;
  return string(record, key);
}

std::int64_t Decoder::integer(const Value::Object& record, std::string_view key) {
  const std::int64_t* number = required(record, key).asInt();
  if (number == nullptr) fail("expected an integer for " + quoted(key));
  return *number;
}

bool Decoder::boolean(const Value::Object& record, std::string_view key) {
  const bool* flag = required(record, key).asBool();
  if (flag == nullptr) fail("expected true or false for " + quoted(key));
  return *flag;
}

Date Decoder::date(const Value& value, std::string_view key) {
  const std::string* text = value.asString();
  const std::optional<Date> date = text ? parseISO8601(*text) : std::nullopt;
  if (!date) fail("expected an ISO 8601 date for " + quoted(key));
  return *date;
}

Date Decoder::date(const Value::Object& record, std::string_view key) {
  return date(required(record, key), key);
}

const Value::Array& Decoder::array(const Value::Object& record, std::string_view key) {
  const Value::Array* elements = required(record, key).asArray();
  if (elements == nullptr) fail("expected an array for " + quoted(key));
  return *elements;
}

std::optional<std::reference_wrapper<const Value::Array>> Decoder::optionalArray(
    const Value::Object& record, std::string_view key) {
  if (find(record, key) == nullptr) return std::nullopt;
  return std::cref(array(record, key));
}

const Value::Object& Decoder::objectField(const Value::Object& record, std::string_view key) {
  return object(required(record, key), quoted(key));
}

std::vector<std::string> Decoder::strings(const Value::Object& record, std::string_view key) {
  return stringsOf(array(record, key), key);
}

std::optional<std::vector<std::string>> Decoder::optionalStrings(const Value::Object& record,
                                                                 std::string_view key) {
  if (find(record, key) == nullptr) return std::nullopt;
  return strings(record, key);
}

std::map<std::string, std::string> Decoder::stringMap(const Value::Object& record,
                                                      std::string_view key) {
  std::map<std::string, std::string> texts;
  for (const auto& [name, value] : objectField(record, key)) {
    const std::string* text = value.asString();
    if (text == nullptr) fail("expected strings in " + quoted(key));
    texts.emplace(name, *text);
  }
  return texts;
}

// ---- records ----

Value FileApplier::Change::encode() const {
  return Value::Object{
      {"action", Value(rawValue(action))}, {"harnessID", harnessID}, {"path", path}};
}

FileApplier::Change FileApplier::Change::decode(const Value& value) {
  const auto& record = Decoder::object(value, "a change");
  const std::string actionText = Decoder::string(record, "action");
  const auto action = actionFromRawValue(actionText);
  if (!action) fail("unknown action " + quoted(actionText));
  return Change{Decoder::string(record, "path"), Decoder::string(record, "harnessID"), *action};
}

Value FileApplier::StateEntry::encode() const {
  Value::Object record{
      {"appliedCopyPath", appliedCopyPath},
      {"driftCorrections", driftCorrections},
      {"harnessID", harnessID},
      {"lastWritten", Encoder::date(lastWritten)},
      {"managedSince", Encoder::date(managedSince)},
      {"outputID", outputID},
      {"sha256", sha256},
  };
  if (backupPath) record.emplace("backupPath", *backupPath);
  return record;
}

FileApplier::StateEntry FileApplier::StateEntry::decode(const Value& value) {
  const auto& record = Decoder::object(value, "a state entry");
  StateEntry entry;
  entry.harnessID = Decoder::string(record, "harnessID");
  entry.outputID = Decoder::string(record, "outputID");
  entry.sha256 = Decoder::string(record, "sha256");
  entry.backupPath = Decoder::optionalString(record, "backupPath");
  entry.appliedCopyPath = Decoder::string(record, "appliedCopyPath");
  entry.managedSince = Decoder::date(record, "managedSince");
  entry.lastWritten = Decoder::date(record, "lastWritten");
  entry.driftCorrections = Decoder::integer(record, "driftCorrections");
  return entry;
}

Value FileApplier::State::encode() const {
  Value::Object encodedEntries;
  for (const auto& [path, entry] : entries) encodedEntries.emplace(path, entry.encode());
  Value::Object record{{"entries", std::move(encodedEntries)}};
  if (createdDirectories) {
    Value::Array directories(createdDirectories->begin(), createdDirectories->end());
    record.emplace("createdDirectories", std::move(directories));
  }
  return record;
}

FileApplier::State FileApplier::State::decode(const Value& value) {
  const auto& record = Decoder::object(value, "the state");
  State state;
  for (const auto& [path, entry] : Decoder::objectField(record, "entries")) {
    state.entries.emplace(path, StateEntry::decode(entry));
  }
  state.createdDirectories = Decoder::optionalStrings(record, "createdDirectories");
  return state;
}

std::ostream& operator<<(std::ostream& out, FileApplier::Action action) {
  return out << FileApplier::rawValue(action);
}

std::ostream& operator<<(std::ostream& out, const FileApplier::Change& change) {
  return out << FileApplier::rawValue(change.action) << " " << change.path << " ["
             << change.harnessID << "]";
}

}  // namespace tavra
