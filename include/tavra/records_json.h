// The JSON form of the system's own files (state.json and status.json): one shared encoder and
// one shared decoder, and the field readers the records decode with.
//
// The encoder writes pretty-printed JSON (one member per line) with keys sorted, "/" escaped as
// "\/", and dates as ISO 8601 internet date-time text in UTC with whole seconds and "Z". The
// decoder reads exactly what it writes: malformed JSON, a missing required key, a value of the
// wrong type, a date in any other form or an unknown enumeration text is a DecodingError.
// Records are JSON objects whose keys are the field names; absent optional fields are left out.
// Stateless; safe on any thread. FileApplier keeps the names Encoder, Decoder, encoder, decoder
// and DecodingError for these.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/iso8601.h"
#include "tavra/value.h"

namespace tavra::records {

class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Encoder {
  std::string operator()(const Value& value) const;
  std::string encode(const Value& value) const { return (*this)(value); }
  static Value date(Date date);
};

// Every field reader throws DecodingError naming the key when it is missing or of the wrong
// type; the optional readers give nothing for an absent key but still refuse a wrong type.
struct Decoder {
  Value operator()(std::string_view bytes) const;
  Value decode(std::string_view bytes) const { return (*this)(bytes); }

  static const Value::Object& object(const Value& value, std::string_view what);
  static const Value& required(const Value::Object& record, std::string_view key);
  static std::string string(const Value::Object& record, std::string_view key);
  static std::optional<std::string> optionalString(const Value::Object& record,
                                                   std::string_view key);
  static std::int64_t integer(const Value::Object& record, std::string_view key);
  static bool boolean(const Value::Object& record, std::string_view key);
  static Date date(const Value& value, std::string_view key);
  static Date date(const Value::Object& record, std::string_view key);
  static const Value::Array& array(const Value::Object& record, std::string_view key);
  static std::optional<std::reference_wrapper<const Value::Array>> optionalArray(
      const Value::Object& record, std::string_view key);
  static const Value::Object& objectField(const Value::Object& record, std::string_view key);
  static std::vector<std::string> strings(const Value::Object& record, std::string_view key);
  static std::optional<std::vector<std::string>> optionalStrings(const Value::Object& record,
                                                                 std::string_view key);
  static std::map<std::string, std::string> stringMap(const Value::Object& record,
                                                      std::string_view key);
};

inline constexpr Encoder encoder{};
inline constexpr Decoder decoder{};

}  // namespace tavra::records
