// The XML property-list writer. It is the system's own rather than libplist's: libplist writes
// reals with 17 significant digits (0.10000000000000001) and drops the sign of -0.0, silently
// deletes control characters and writes carriage returns raw, which XML readers turn into line
// feeds. This one writes what reads back as the same Value or refuses.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tavra/json.h"
#include "tavra/plist.h"

namespace tavra::plist {

namespace {

constexpr std::string_view kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string codePoint(std::uint32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

// Appends `text` as XML character data, or throws for what XML 1.0 cannot carry.
void appendEscaped(std::string& out, std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    const unsigned char b = bytes[i];
    if (b < 0x80) {
      switch (b) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '\r':
          out += "&#13;";
          break;
        case '\t':
        case '\n':
          out += static_cast<char>(b);
          break;
        default:
          if (b < 0x20) {
            throw WriteError("property list cannot represent the character " + codePoint(b));
          }
          out += static_cast<char>(b);
      }
      ++i;
      continue;
    }
    // A multi-byte sequence: decode to check it is well-formed and an XML character.
    std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    if (n == 0 || i + n > size || b > 0xF4 || b < 0xC2) {
      throw WriteError("property list text is not valid UTF-8");
    }
    std::uint32_t c = b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const unsigned char cont = bytes[i + k];
      if ((cont & 0xC0) != 0x80) throw WriteError("property list text is not valid UTF-8");
      c = (c << 6) | (cont & 0x3F);
    }
    const std::uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      throw WriteError("property list text is not valid UTF-8");
    }
    if (c == 0xFFFE || c == 0xFFFF) {
      throw WriteError("property list cannot represent the character " + codePoint(c));
    }
    out.append(text.substr(i, n));
    i += n;
  }
}

class Writer {
 public:
  void element(const Value& v, std::size_t depth) {
    indent(depth);
    switch (v.kind()) {
      case Value::Kind::string:
        out_ += "<string>";
        appendEscaped(out_, *v.asString());
        out_ += "</string>\n";
        break;
      case Value::Kind::int_:
        out_ += "<integer>" + std::to_string(*v.asInt()) + "</integer>\n";
        break;
      case Value::Kind::double_:
        out_ += "<real>" + real(*v.asDouble()) + "</real>\n";
        break;
      case Value::Kind::bool_:
        out_ += *v.asBool() ? "<true/>\n" : "<false/>\n";
        break;
      case Value::Kind::array:
        if (v.asArray()->empty()) {
          out_ += "<array/>\n";
          break;
        }
        out_ += "<array>\n";
        for (const Value& item : *v.asArray()) element(item, depth + 1);
        indent(depth);
        out_ += "</array>\n";
        break;
      case Value::Kind::object:
        if (v.asObject()->empty()) {
          out_ += "<dict/>\n";
          break;
        }
        out_ += "<dict>\n";
        // The map keeps keys in code-point (UTF-8 byte) order.
        for (const auto& [key, member] : *v.asObject()) {
          indent(depth + 1);
          out_ += "<key>";
          appendEscaped(out_, key);
          out_ += "</key>\n";
          element(member, depth + 1);
        }
        indent(depth);
        out_ += "</dict>\n";
        break;
    }
  }

  std::string finish() {
    out_ += "</plist>\n";
    return std::move(out_);
  }

 private:
  static std::string real(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "+infinity" : "-infinity";
    return json::realText(x);
  }

  void indent(std::size_t depth) { out_.append(depth, '\t'); }

  std::string out_{kHead};
};

}  // namespace

std::string writeXML(const Value& value) {
  Writer writer;
  writer.element(value, 0);
  return writer.finish();
}

}  // namespace tavra::plist
