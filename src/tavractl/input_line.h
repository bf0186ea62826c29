// Reading a value from standard input, for `encrypt` and `decrypt` when no value is given.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

namespace tavra::ctl {

// One line of `in` without its terminator (a line feed, or a carriage return and line feed);
// nothing after the line feed is taken. No value when the input ends before any character.
// A line of more than maxInputBytes (input_file.h) bytes, or one that is not well-formed UTF-8,
// throws std::runtime_error ("cannot read standard input: ..."), so a stream without line
// breaks cannot exhaust memory and a secret is never sealed with altered bytes.
std::optional<std::string> readInputLine(std::istream& in);

}  // namespace tavra::ctl
