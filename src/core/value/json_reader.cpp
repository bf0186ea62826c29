// JSON bytes to Value through nlohmann's SAX interface: the document is never held twice and
// the parser itself does not recurse, so depth is bounded by Value::maxDepth alone.
#include <nlohmann/json.hpp>

#include <limits>
#include <string>
#include <vector>

#include "tavra/value.h"

namespace tavra {

namespace {

class ValueBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override {
    // A null is a conversion failure, reported once the whole document has read cleanly.
    sawNull_ = true;
    return add(Value(false));
  }
  bool boolean(bool flag) override { return add(Value(flag)); }
  bool number_integer(number_integer_t integer) override {
    return add(Value(static_cast<std::int64_t>(integer)));
  }
  bool number_unsigned(number_unsigned_t integer) override {
    if (integer <= static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
      return add(Value(static_cast<std::int64_t>(integer)));
    }
    // Beyond the signed range: the nearest real, never a wrapped integer.
    return add(Value(static_cast<double>(integer)));
  }
  bool number_float(number_float_t real, const string_t&) override { return add(Value(real)); }
  bool string(string_t& text) override { return add(Value(std::move(text))); }
  bool binary(binary_t&) override { throw Value::ConversionError("binary"); }

  bool start_object(std::size_t) override { return open(Value(Value::Object{})); }
  bool key(string_t& key) override {
    stack_.back().key = std::move(key);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Value(Value::Array{})); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& ex) override {
    std::string message = ex.what();
    // Drop nlohmann's "[json.exception.parse_error.101] " tag; keep its position and reason.
    if (auto tag = message.find("] "); tag != std::string::npos && message.front() == '[') {
      message.erase(0, tag + 2);
    }
    throw Value::ReadError("invalid JSON: " + message);
  }

  Value take() {
    if (sawNull_) throw Value::ConversionError("null");
    return std::move(root_);
  }

 private:
  struct Frame {
    Value container;
    std::string key;
  };

  bool open(Value container) {
    if (stack_.size() >= Value::maxDepth) {
      throw Value::ReadError("invalid JSON: nesting deeper than " +
                             std::to_string(Value::maxDepth) + " levels");
    }
    stack_.push_back(Frame{std::move(container), {}});
    return true;
  }

  bool close() {
    Value done = std::move(stack_.back().container);
    stack_.pop_back();
    return add(std::move(done));
  }

  bool add(Value value) {
    if (stack_.empty()) {
      root_ = std::move(value);
    } else if (auto* elements = stack_.back().container.asArray()) {
      elements->push_back(std::move(value));
    } else {
      // Keys mostly come in order (the system writes them sorted): the end is looked at first.
      Frame& frame = stack_.back();
      auto* entries = frame.container.asObject();
      entries->insert_or_assign(entries->end(), std::move(frame.key), std::move(value));
    }
    return true;
  }

  std::vector<Frame> stack_;
  Value root_;
  bool sawNull_ = false;
};

}  // namespace

Value Value::parseJSON(std::string_view bytes) {
  ValueBuilder builder;
  nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &builder,
                            nlohmann::json::input_format_t::json, /*strict=*/true);
  return builder.take();
}

}  // namespace tavra
