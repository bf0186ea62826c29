#include "terminal_text.h"

#include "tavra/control_escape.h"

namespace tavra::ctl {
namespace {

constexpr unsigned char c1Lead = 0xC2;  // U+0080 to U+009F are 0xC2 0x80 to 0xC2 0x9F

bool isEscapedByte(unsigned char byte) noexcept {
  return (byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F;
}

bool isC1Trail(unsigned char byte) noexcept {
  return byte >= 0x80 && byte <= 0x9F;
}

}  // namespace

TerminalTextBuffer::~TerminalTextBuffer() {
  putHeldByte();
}

bool TerminalTextBuffer::send(std::string_view bytes) {
  if (bytes.empty()) return true;
  return target_->sputn(bytes.data(), static_cast<std::streamsize>(bytes.size())) ==
         static_cast<std::streamsize>(bytes.size());
}

bool TerminalTextBuffer::putHeldByte() {
  if (!holding_) return true;
  holding_ = false;
  const char lead = static_cast<char>(c1Lead);
  return send(std::string_view(&lead, 1));
}

bool TerminalTextBuffer::put(std::string_view bytes) {
  std::size_t i = 0;
  if (holding_ && !bytes.empty()) {
    holding_ = false;
    const auto next = static_cast<unsigned char>(bytes.front());
    if (isC1Trail(next)) {
      std::string spelled;
      appendControlEscape(spelled, next);
      if (!send(spelled)) return false;
      i = 1;
    } else {
      const char lead = static_cast<char>(c1Lead);
      if (!send(std::string_view(&lead, 1))) return false;
    }
  }
  // Runs of bytes that pass as they are go out in one piece.
  std::size_t plain = i;
  for (; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const bool c1 = byte == c1Lead;
    if (!c1 && !isEscapedByte(byte)) continue;
    if (c1 && i + 1 < bytes.size() && !isC1Trail(static_cast<unsigned char>(bytes[i + 1]))) {
      continue;
    }
    if (!send(bytes.substr(plain, i - plain))) return false;
    std::string spelled;
    if (!c1) {
      appendControlEscape(spelled, byte);
      plain = i + 1;
    } else if (i + 1 < bytes.size()) {
      appendControlEscape(spelled, static_cast<unsigned char>(bytes[i + 1]));
      ++i;
      plain = i + 1;
    } else {
      holding_ = true;  // the last byte: what follows decides
      plain = bytes.size();
    }
    if (!send(spelled)) return false;
  }
  return send(bytes.substr(plain));
}

TerminalTextBuffer::int_type TerminalTextBuffer::overflow(int_type character) {
  if (traits_type::eq_int_type(character, traits_type::eof())) return traits_type::not_eof(0);
  const char byte = traits_type::to_char_type(character);
  return put(std::string_view(&byte, 1)) ? character : traits_type::eof();
}

std::streamsize TerminalTextBuffer::xsputn(const char* bytes, std::streamsize count) {
  if (count <= 0) return 0;
  return put(std::string_view(bytes, static_cast<std::size_t>(count))) ? count : 0;
}

int TerminalTextBuffer::sync() {
  if (!putHeldByte()) return -1;
  return target_->pubsync();
}

bool TerminalTextBuffer::writeVerbatim(std::string_view bytes) {
  return putHeldByte() && send(bytes);
}

TerminalText::TerminalText(std::ostream& stream)
    : stream_(stream), original_(stream.rdbuf()), buffer_(original_) {
  // rdbuf() would clear the stream's state; the state stays as it was.
  const std::ios::iostate state = stream_.rdstate();
  stream_.rdbuf(&buffer_);
  stream_.clear(state);
}

TerminalText::~TerminalText() {
  stream_.flush();
  const std::ios::iostate state = stream_.rdstate();
  stream_.rdbuf(original_);
  stream_.clear(state);
}

void writeVerbatim(std::ostream& out, std::string_view bytes) {
  auto* text = dynamic_cast<TerminalTextBuffer*>(out.rdbuf());
  if (text == nullptr) {
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  } else if (!text->writeVerbatim(bytes)) {
    out.setstate(std::ios::badbit);
  }
}

}  // namespace tavra::ctl
