// The JSON form of the applier's records.
#include <ostream>

#include "tavra/file_applier.h"
#include "value/quoting.h"

namespace tavra {

namespace {

using Decoder = FileApplier::Decoder;

[[noreturn]] void fail(std::string message) {
  throw FileApplier::DecodingError(std::move(message));
}

// A mode as the catalog writes one: octal digits, at least four ("0644").
std::string octal(std::uint16_t mode) {
  std::string digits;
  for (; mode != 0; mode = static_cast<std::uint16_t>(mode >> 3)) {
    digits.insert(digits.begin(), static_cast<char>('0' + (mode & 7)));
  }
  if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
  return digits;
}

// The recorded mode, or none when it is absent or not octal text of a 16-bit mode: the entry is
// still good without it (the mode then counts as not recorded), so it never makes the whole
// state undecodable.
std::optional<std::uint16_t> recordedMode(const Value::Object& record) {
  const auto found = record.find("mode");
  if (found == record.end() || !found->second.isString()) return std::nullopt;
  const std::string& text = *found->second.asString();
  if (text.empty() || text.size() > 7) return std::nullopt;
  std::uint32_t bits = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    bits = bits * 8 + static_cast<std::uint32_t>(c - '0');
  }
  if (bits > 0177777) return std::nullopt;
  return static_cast<std::uint16_t>(bits);
}

}  // namespace

Value FileApplier::Change::encode() const {
  return Value::Object{
      {"action", Value(rawValue(action))}, {"harnessID", harnessID}, {"path", path}};
}

FileApplier::Change FileApplier::Change::decode(const Value& value) {
  const auto& record = Decoder::object(value, "a change");
  const std::string actionText = Decoder::string(record, "action");
  const auto action = fromRawValue<Action>(actionText);
  if (!action) fail("unknown action " + detail::quotedAsIs(actionText));
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
  if (mode) record.emplace("mode", octal(*mode));
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
  entry.mode = recordedMode(record);
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

std::ostream& operator<<(std::ostream& out, const FileApplier::Change& change) {
  return out << change.action << " " << change.path << " [" << change.harnessID << "]";
}

}  // namespace tavra
