#include "tavra/records_json.h"

#include "tavra/json.h"
#include "value/quoting.h"

namespace tavra::records {

namespace {

[[noreturn]] void fail(std::string message) {
  throw DecodingError(std::move(message));
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
    if (text == nullptr) fail("expected strings in " + detail::quotedAsIs(key));
    texts.push_back(*text);
  }
  return texts;
}

}  // namespace

std::string Encoder::operator()(const Value& value) const {
  return json::write(value, {.pretty = true, .escapeSlash = true});
}

Value Encoder::date(Date date) {
  return Value(iso8601(date));
}

Value Decoder::operator()(std::string_view bytes) const {
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
  if (value == nullptr) fail("missing key " + detail::quotedAsIs(key));
  return *value;
}

std::string Decoder::string(const Value::Object& record, std::string_view key) {
  const std::string* text = required(record, key).asString();
  if (text == nullptr) fail("expected a string for " + detail::quotedAsIs(key));
  return *text;
}

std::optional<std::string> Decoder::optionalString(const Value::Object& record,
                                                   std::string_view key) {
  if (find(record, key) == nullptr) return std::nullopt;
  return string(record, key);
}

std::int64_t Decoder::integer(const Value::Object& record, std::string_view key) {
  const std::int64_t* number = required(record, key).asInt();
  if (number == nullptr) fail("expected an integer for " + detail::quotedAsIs(key));
  return *number;
}

bool Decoder::boolean(const Value::Object& record, std::string_view key) {
  const bool* flag = required(record, key).asBool();
  if (flag == nullptr) fail("expected true or false for " + detail::quotedAsIs(key));
  return *flag;
}

Date Decoder::date(const Value& value, std::string_view key) {
  const std::string* text = value.asString();
  const std::optional<Date> date = text ? parseISO8601(*text) : std::nullopt;
  if (!date) fail("expected an ISO 8601 date for " + detail::quotedAsIs(key));
  return *date;
}

Date Decoder::date(const Value::Object& record, std::string_view key) {
  return date(required(record, key), key);
}

const Value::Array& Decoder::array(const Value::Object& record, std::string_view key) {
  const Value::Array* elements = required(record, key).asArray();
  if (elements == nullptr) fail("expected an array for " + detail::quotedAsIs(key));
  return *elements;
}

std::optional<std::reference_wrapper<const Value::Array>> Decoder::optionalArray(
    const Value::Object& record, std::string_view key) {
  if (find(record, key) == nullptr) return std::nullopt;
  return std::cref(array(record, key));
}

const Value::Object& Decoder::objectField(const Value::Object& record, std::string_view key) {
  return object(required(record, key), detail::quotedAsIs(key));
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
    if (text == nullptr) fail("expected strings in " + detail::quotedAsIs(key));
    texts.emplace(name, *text);
  }
  return texts;
}

}  // namespace tavra::records
