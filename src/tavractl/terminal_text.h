// The tool's text for people, made safe for a terminal in one place.
//
// Everything a command prints goes to standard output or standard error, and much of it comes
// from files: fragment ids, harness ids and names, paths, the content quoted by a reader's error,
// the files preview renders. A control character among them would reach the terminal as a
// command to it (an escape sequence can clear the screen or rewrite what was printed), so runTool
// puts a TerminalTextBuffer between each stream and its buffer: every C0 control character but
// the line feed and the tab, DEL and the C1 controls U+0080 to U+009F (in their UTF-8 form) are
// written as the system spells them for people (control_escape.h: ESC is \u{1b}); every other
// byte passes as it is.
//
// Output meant for programs (JSON, a configuration profile, a decrypted secret, completion
// scripts) goes out unchanged through writeVerbatim(). One buffer serves one stream on one thread.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

namespace tavra::ctl {

class TerminalTextBuffer final : public std::streambuf {
 public:
  explicit TerminalTextBuffer(std::streambuf* target) noexcept : target_(target) {}
  TerminalTextBuffer(const TerminalTextBuffer&) = delete;
  TerminalTextBuffer& operator=(const TerminalTextBuffer&) = delete;
  ~TerminalTextBuffer() override;

  // Writes `bytes` to the target as they are, after what was written before. False when the
  // target took fewer.
  bool writeVerbatim(std::string_view bytes);

 protected:
  int_type overflow(int_type character) override;
  std::streamsize xsputn(const char* bytes, std::streamsize count) override;
  int sync() override;

 private:
  // Writes the escaped form of `bytes`; a lead byte of a C1 control waits for the next byte.
  bool put(std::string_view bytes);
  bool putHeldByte();
  bool send(std::string_view bytes);

  std::streambuf* target_;
  bool holding_ = false;  // a 0xC2 byte that may begin a C1 control
};

// Puts a TerminalTextBuffer between `stream` and its buffer for the life of this object.
class TerminalText {
 public:
  explicit TerminalText(std::ostream& stream);
  TerminalText(const TerminalText&) = delete;
  TerminalText& operator=(const TerminalText&) = delete;
  ~TerminalText();

 private:
  std::ostream& stream_;
  std::streambuf* original_;
  TerminalTextBuffer buffer_;
};

// Writes `bytes` to `out` unchanged, past the escaping when `out` has it; a failure sets `out`'s
// badbit as a failed write would.
void writeVerbatim(std::ostream& out, std::string_view bytes);

}  // namespace tavra::ctl
