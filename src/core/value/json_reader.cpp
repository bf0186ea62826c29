// JSON bytes to a Value, or to nlohmann's tree for the catalog, through nlohmann's SAX interface:
// the document is never held twice and the parser itself does not recurse, so depth is bounded by
// Value::maxDepth alone.
#include "value/json_reader.h"

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "tavra/value.h"

namespace tavra {

namespace {

// What every builder shares: the nesting cap and the reader's messages.
class BoundedBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& ex) override {
    std::string message = ex.what();
    // Drop nlohmann's "[json.exception.parse_error.101] " tag; keep its position and reason.
    if (auto tag = message.find("] "); tag != std::string::npos && message.front() == '[') {
      message.erase(0, tag + 2);
    }
    throw Value::ReadError("invalid JSON: " + message);
  }

 protected:
  // Called before a container is opened with `open` containers already open.
  static void checkDepth(std::size_t open) {
    if (open >= Value::maxDepth) {
      throw Value::ReadError("invalid JSON: nesting deeper than " +
                             std::to_string(Value::maxDepth) + " levels");
    }
  }
};

void parse(std::string_view bytes, BoundedBuilder& builder) {
  nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &builder,
                            nlohmann::json::input_format_t::json, /*strict=*/true);
}

class ValueBuilder : public BoundedBuilder {
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
    checkDepth(stack_.size());
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

// nlohmann's own tree, nulls included.
class DocumentBuilder : public BoundedBuilder {
 public:
  using Json = nlohmann::json;

  bool null() override { return add(Json(nullptr)); }
  bool boolean(bool flag) override { return add(Json(flag)); }
  bool number_integer(number_integer_t integer) override { return add(Json(integer)); }
  bool number_unsigned(number_unsigned_t integer) override { return add(Json(integer)); }
  bool number_float(number_float_t real, const string_t&) override { return add(Json(real)); }
  bool string(string_t& text) override { return add(Json(std::move(text))); }
  bool binary(binary_t& bytes) override { return add(Json::binary(std::move(bytes))); }

  bool start_object(std::size_t) override { return open(Json::object()); }
  bool key(string_t& key) override {
    stack_.back().key = std::move(key);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Json::array()); }
  bool end_array() override { return close(); }

  Json take() { return std::move(root_); }

 private:
  struct Frame {
    Json container;
    std::string key;
  };

  bool open(Json container) {
    checkDepth(stack_.size());
    stack_.push_back(Frame{std::move(container), {}});
    return true;
  }

  bool close() {
    Json done = std::move(stack_.back().container);
    stack_.pop_back();
    return add(std::move(done));
  }

  bool add(Json value) {
    if (stack_.empty()) {
      root_ = std::move(value);
    } else if (Frame& frame = stack_.back(); frame.container.is_array()) {
      frame.container.push_back(std::move(value));
    } else {
      frame.container[frame.key] = std::move(value);
    }
    return true;
  }

  std::vector<Frame> stack_;
  Json root_;
};

}  // namespace

Value Value::parseJSON(std::string_view bytes) {
  ValueBuilder builder;
  parse(bytes, builder);
  return builder.take();
}

nlohmann::json json::readDocument(std::string_view bytes) {
  DocumentBuilder builder;
  parse(bytes, builder);
  return builder.take();
}

}  // namespace tavra
