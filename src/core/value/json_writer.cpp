#include <charconv>
#include <cmath>
#include <string>

#include "tavra/json.h"
#include "tavra/platform/unicode.h"

namespace tavra::json {

std::string realText(double value) {
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
  char buffer[64];
  const double magnitude = std::fabs(value);
  const bool plain = magnitude >= 1e-4 && magnitude < 9007199254740992.0;  // 2^53
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                              plain ? std::chars_format::fixed : std::chars_format::scientific);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

namespace {

class Writer {
 public:
  explicit Writer(WriteOptions options) : options_(options) {}

  void value(const Value& v, int depth) {
    switch (v.kind()) {
      case Value::Kind::string:
        string(*v.asString());
        break;
      case Value::Kind::int_:
        out_ += std::to_string(*v.asInt());
        break;
      case Value::Kind::double_: {
        const double real = *v.asDouble();
        if (!std::isfinite(real)) {
          throw WriteError("JSON cannot represent the number " +
                           std::string(std::isnan(real) ? "NaN" : "infinity"));
        }
        out_ += realText(real);
        break;
      }
      case Value::Kind::bool_:
        out_ += *v.asBool() ? "true" : "false";
        break;
      case Value::Kind::array: {
        const auto& elements = *v.asArray();
        if (elements.empty()) {
          out_ += "[]";
          break;
        }
        out_ += '[';
        bool first = true;
        for (const Value& element : elements) {
          separator(first, depth + 1);
          value(element, depth + 1);
        }
        newline(depth);
        out_ += ']';
        break;
      }
      case Value::Kind::object: {
        const auto& entries = *v.asObject();
        if (entries.empty()) {
          out_ += "{}";
          break;
        }
        out_ += '{';
        bool first = true;
        // std::map orders UTF-8 keys bytewise, which is code-point order.
        for (const auto& [key, member] : entries) {
          separator(first, depth + 1);
          string(key);
          out_ += options_.pretty ? " : " : ":";
          value(member, depth + 1);
        }
        newline(depth);
        out_ += '}';
        break;
      }
    }
  }

  std::string take() { return std::move(out_); }

 private:
  void separator(bool& first, int depth) {
    if (!first) out_ += ',';
    first = false;
    newline(depth);
  }

  void newline(int depth) {
    if (!options_.pretty) return;
    out_ += '\n';
    out_.append(static_cast<std::size_t>(depth) * 2, ' ');
  }

  void string(const std::string& text) {
    static constexpr char hex[] = "0123456789abcdef";
    // Bytes are copied as they are, so ill-formed UTF-8 would make the document unreadable.
    if (!unicode::isValidUTF8(text)) throw WriteError("JSON text is not valid UTF-8");
    out_ += '"';
    // Runs of bytes that are written as they are go out in one piece.
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x20 && c != '"' && c != '\\' && c != '/') continue;
      out_.append(text, plain, i - plain);
      plain = i + 1;
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '\b':
          out_ += "\\b";
          break;
        case '\f':
          out_ += "\\f";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        case '/':
          out_ += options_.escapeSlash ? "\\/" : "/";
          break;
        default:
          out_ += "\\u00";
          out_ += hex[byte >> 4];
          out_ += hex[byte & 0xF];
      }
    }
    out_.append(text, plain, text.size() - plain);
    out_ += '"';
  }

  WriteOptions options_;
  std::string out_;
};

}  // namespace

std::string write(const Value& value, WriteOptions options) {
  Writer writer(options);
  writer.value(value, 0);
  return writer.take();
}

}  // namespace tavra::json
