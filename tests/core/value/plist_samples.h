// Property lists written by hand for the reader's tests: XML documents around a body, and binary
// lists built object by object, so that shapes no ordinary writer produces (cycles, shared
// subtrees, bad lengths) can be fed to the reader.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support/thrown.h"
#include "tavra/json.h"
#include "tavra/value.h"

namespace tavra::test {

inline std::string xmlPlist(std::string_view body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n" +
         std::string(body) + "\n</plist>\n";
}

inline std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// Builds binary property lists object by object, so that hostile shapes (cycles, shared
// subtrees, bad lengths) can be written that no ordinary writer would produce.
struct BinaryPlist {
  std::vector<std::string> objects;
  std::uint64_t top = 0;
  unsigned refSize = 4;
  unsigned offsetSize = 8;

  std::size_t add(std::string object) {
    objects.push_back(std::move(object));
    return objects.size() - 1;
  }
  static std::string big(std::uint64_t n, unsigned width) {
    std::string out;
    for (unsigned i = width; i-- > 0;) out += static_cast<char>((n >> (8 * i)) & 0xFF);
    return out;
  }
  std::string head(unsigned type, std::uint64_t count) const {
    if (count < 15) return std::string(1, static_cast<char>((type << 4) | count));
    return std::string(1, static_cast<char>((type << 4) | 0xF)) + "\x13" + big(count, 8);
  }
  std::string container(unsigned type, const std::vector<std::uint64_t>& refs,
                        std::uint64_t count) const {
    std::string out = head(type, count);
    for (std::uint64_t r : refs) out += big(r, refSize);
    return out;
  }
  std::string array(const std::vector<std::uint64_t>& refs) const {
    return container(0xA, refs, refs.size());
  }
  std::string dict(const std::vector<std::uint64_t>& keys,
                   const std::vector<std::uint64_t>& values) const {
    std::vector<std::uint64_t> refs = keys;
    refs.insert(refs.end(), values.begin(), values.end());
    return container(0xD, refs, keys.size());
  }
  static std::string ascii(std::string_view text) {
    return std::string(1, static_cast<char>(0x50 | std::min<std::size_t>(text.size(), 15))) +
           (text.size() >= 15 ? "\x13" + big(text.size(), 8) : "") + std::string(text);
  }
  static std::string real(double x, unsigned marker = 0x23) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return std::string(1, static_cast<char>(marker)) + big(bits, 8);
  }
  std::string bytes() const {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const std::string& o : objects) {
      offsets.push_back(out.size());
      out += o;
    }
    const std::uint64_t table = out.size();
    for (std::uint64_t at : offsets) out += big(at, offsetSize);
    out += std::string(6, '\0');
    out += static_cast<char>(offsetSize);
    out += static_cast<char>(refSize);
    out += big(objects.size(), 8) + big(top, 8) + big(table, 8);
    return out;
  }
};

// An array nested `depth` deep around `true`.
inline std::string deepBinary(std::size_t depth, bool dicts) {
  BinaryPlist p;
  const std::size_t key = p.add(BinaryPlist::ascii("k"));
  for (std::size_t i = 0; i < depth; ++i) {
    const std::uint64_t next = p.objects.size() + 1;
    p.add(dicts ? p.dict({key}, {next}) : p.array({next}));
  }
  p.add("\x09");
  p.top = 1;
  return p.bytes();
}

inline void expectReads(std::string_view bytes, std::string_view json) {
  SCOPED_TRACE(std::string(bytes.substr(0, 200)));
  EXPECT_EQ(json::write(Value::parsePlist(bytes)), json);
}

inline void expectReadError(std::string_view bytes, std::string_view message) {
  const std::string error = thrownText<Value::ReadError>([&] { (void)Value::parsePlist(bytes); });
  EXPECT_NE(error.find(message), std::string::npos) << error << " for " << bytes.substr(0, 120);
}

}  // namespace tavra::test
