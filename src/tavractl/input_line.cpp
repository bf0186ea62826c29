#include "input_line.h"

#include <istream>
#include <stdexcept>

#include "input_file.h"
#include "tavra/platform/unicode.h"

namespace tavra::ctl {

std::optional<std::string> readInputLine(std::istream& in) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) return std::nullopt;
  std::string line;
  bool ended = false;
  for (;;) {
    const std::streambuf::int_type next = buffer->sbumpc();
    if (std::streambuf::traits_type::eq_int_type(next, std::streambuf::traits_type::eof())) break;
    const char character = std::streambuf::traits_type::to_char_type(next);
    if (character == '\n') {
      ended = true;
      break;
    }
    if (line.size() >= static_cast<std::size_t>(maxInputBytes)) {
      throw std::runtime_error(std::string("cannot read standard input: line ") + maxInputText);
    }
    line.push_back(character);
  }
  if (!ended && line.empty()) {
    in.setstate(std::ios::eofbit);
    return std::nullopt;
  }
  if (ended && line.ends_with('\r')) line.pop_back();
  if (!unicode::isValidUTF8(line)) {
    throw std::runtime_error("cannot read standard input: not UTF-8 text");
  }
  return line;
}

}  // namespace tavra::ctl
