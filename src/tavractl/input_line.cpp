#include "input_line.h"

#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "input_file.h"
#include "tavra/constants.h"
#include "tavra/platform/unicode.h"

namespace tavra::ctl {
namespace {

enum class LineEnd { feed, endOfInput, tooLong };

// Takes characters up to and including the first line feed (which is not kept).
LineEnd takeLine(std::streambuf& buffer, std::string& line) {
  for (;;) {
    const std::streambuf::int_type next = buffer.sbumpc();
    if (std::streambuf::traits_type::eq_int_type(next, std::streambuf::traits_type::eof())) {
      return LineEnd::endOfInput;
    }
    const char character = std::streambuf::traits_type::to_char_type(next);
    if (character == '\n') return LineEnd::feed;
    if (line.size() >= static_cast<std::size_t>(Constants::maxInputFileBytes))
      return LineEnd::tooLong;
    line.push_back(character);
  }
}

}  // namespace

std::optional<std::string> readInputLine(std::istream& in) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) return std::nullopt;
  std::string line;
  const LineEnd end = takeLine(*buffer, line);
  // Whatever the buffer read ahead goes back to the input for the next reader.
  buffer->pubsync();
  if (end == LineEnd::tooLong) {
    throw std::runtime_error("cannot read standard input: line " + tooLargeText());
  }
  if (end == LineEnd::endOfInput && line.empty()) {
    in.setstate(std::ios::eofbit);
    return std::nullopt;
  }
  if (end == LineEnd::feed && line.ends_with('\r')) line.pop_back();
  if (!unicode::isValidUTF8(line)) {
    throw std::runtime_error("cannot read standard input: not UTF-8 text");
  }
  return line;
}

DescriptorInputBuffer::DescriptorInputBuffer(int fd)
    : fd_(fd), seekable_(::lseek(fd, 0, SEEK_CUR) != -1), buffer_(seekable_ ? 65536 : 1) {
  setg(buffer_.data(), buffer_.data(), buffer_.data());
}

DescriptorInputBuffer::int_type DescriptorInputBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  ssize_t count;
  do {
    count = ::read(fd_, buffer_.data(), buffer_.size());
  } while (count < 0 && errno == EINTR);
  if (count <= 0) return traits_type::eof();
  setg(buffer_.data(), buffer_.data(), buffer_.data() + count);
  return traits_type::to_int_type(*gptr());
}

int DescriptorInputBuffer::sync() {
  const off_t unread = egptr() - gptr();
  setg(buffer_.data(), buffer_.data(), buffer_.data());
  if (unread > 0 && ::lseek(fd_, -unread, SEEK_CUR) == -1) return -1;
  return 0;
}

}  // namespace tavra::ctl
