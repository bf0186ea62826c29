// Reading a value from standard input, for `encrypt` and `decrypt` when no value is given.
#pragma once

#include <istream>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

namespace tavra::ctl {

// One line of `in` without its terminator (a line feed, or a carriage return and line feed);
// nothing after the line feed is taken. No value when the input ends before any character.
// A line of more than Constants::maxInputFileBytes bytes, or one that is not well-formed UTF-8,
// throws std::runtime_error ("cannot read standard input: ..."), so a stream without line
// breaks cannot exhaust memory and a secret is never sealed with altered bytes.
std::optional<std::string> readInputLine(std::istream& in);

// The stream buffer of the tool's standard input: it takes from its file descriptor no more
// than is read through it, so that a command reading one line leaves the rest to whoever reads
// the same input next (as the shell's own read does). From a pipe or a terminal it reads one
// byte at a time; from a file it reads a block and gives the unread part back on pubsync()
// (readInputLine does that once it has its line). A read error counts as the end of the input.
class DescriptorInputBuffer final : public std::streambuf {
 public:
  explicit DescriptorInputBuffer(int fd);

 protected:
  int_type underflow() override;
  int sync() override;

 private:
  int fd_;
  bool seekable_;
  std::vector<char> buffer_;
};

}  // namespace tavra::ctl
