// The XML check. It tokenises only as far as needed to bound libplist's nesting: comments,
// CDATA sections, processing instructions, declarations and tags. The bound stays sound even
// where its reading of the markup differs from libplist's: an element that could open a
// container is counted wherever it appears (inside comments and tags too), while only the
// exact closing tags </array> and </dict> outside those regions count down.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tavra/iso8601.h"
#include "tavra/value.h"
#include "value/plist_guard.h"

namespace tavra::plist_guard {

namespace {

[[noreturn]] void fail(const std::string& why) {
  throw Value::ReadError("invalid property list: " + why);
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The bytes of a tag that need a second look: its end, quotes and a "<" that may open a
// container.
constexpr std::array<bool, 256> tagSpecials = [] {
  std::array<bool, 256> table{};
  table['"'] = table['\''] = table['<'] = table['>'] = true;
  return table;
}();

constexpr std::array<bool, 256> nameBytes = [] {
  std::array<bool, 256> table{};
  for (int u = 0; u < 256; ++u) {
    table[u] = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
               u == '-' || u == '_' || u == '.' || u == ':' || u >= 0x80;
  }
  return table;
}();

bool isNameByte(char c) {
  return nameBytes[static_cast<unsigned char>(c)];
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool hasWordAt(std::string_view s, std::size_t at, std::string_view word, bool anyCase) {
  if (at > s.size() || s.size() - at < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if ((anyCase ? lower(s[at + i]) : s[at + i]) != word[i]) return false;
  }
  return true;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Whether the "<" at `at` could open a container: "<array" or "<dict" in any letter case, as a
// whole name, unless it is written empty ("<array/>", blanks allowed before the slash).
inline bool opensContainer(std::string_view s, std::size_t at) {
  if (at + 1 >= s.size()) return false;
  const char first = lower(s[at + 1]);
  if (first != 'a' && first != 'd') return false;
  for (std::string_view name : {std::string_view("array"), std::string_view("dict")}) {
    if (name.front() != first || !hasWordAt(s, at + 1, name, true)) continue;
    std::size_t i = at + 1 + name.size();
    if (i < s.size() && isNameByte(s[i])) return false;
    while (i < s.size() && isBlank(s[i])) ++i;
    return !(i + 1 < s.size() && s[i] == '/' && s[i + 1] == '>');
  }
  return false;
}

// A quote character inside a tag means the reader may end the tag elsewhere than at the first
// ">"; unbalanced quotes are refused so that both readings agree.
void requireBalancedQuotes(std::string_view text) {
  std::size_t doubles = 0, singles = 0;
  for (char c : text) {
    doubles += c == '"';
    singles += c == '\'';
  }
  if (doubles % 2 != 0 || singles % 2 != 0) fail("malformed markup (unbalanced quotes)");
}

// Checks the text of an <integer>; gives the text libplist is to read instead when it would
// misread this one (a decimal with leading zeros, which it takes as octal).
std::optional<std::string> validateInteger(std::string_view text) {
  std::string_view digits = trimmed(text);
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  unsigned base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty()) fail("malformed <integer> \"" + std::string(text) + "\"");
  std::uint64_t value = 0;
  bool overflow = false;
  for (char c : digits) {
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && lower(c) >= 'a' && lower(c) <= 'f') {
      d = static_cast<unsigned>(lower(c) - 'a' + 10);
    } else {
      fail("malformed <integer> \"" + std::string(text) + "\"");
    }
    if (value > (UINT64_MAX - d) / base) overflow = true;
    value = value * base + d;
  }
  // Signed values reach down to -2^63, unsigned ones up to 2^64 - 1; libplist would clamp
  // anything beyond, silently.
  if (overflow || (negative && value > (std::uint64_t{1} << 63))) {
    fail("integer out of range: " + std::string(trimmed(text)));
  }
  if (base != 10 || digits.size() < 2 || digits.front() != '0') return std::nullopt;
  const std::size_t significant = digits.find_first_not_of('0');
  if (significant == std::string_view::npos) return std::string("0");
  return (negative ? "-" : "") + std::string(digits.substr(significant));
}

void validateReal(std::string_view text) {
  const std::string copy(trimmed(text));
  char* end = nullptr;
  if (copy.empty()) fail("malformed <real> \"\"");
  (void)std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size()) fail("malformed <real> \"" + copy + "\"");
}

// Every text of the one form is a date libplist reads exactly, years 0000 to 9999.
void validateDate(std::string_view text) {
  if (!parseISO8601Seconds(text)) fail("malformed <date> \"" + std::string(text) + "\"");
}

void validateData(std::string_view text) {
  for (char c : text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '+' || c == '/' || c == '=' || isBlank(c);
    if (!ok) fail("malformed <data>");
  }
}

enum class Element { none, container, text, integer, real, date, data, flag, other };

Element classify(std::string_view name) {
  switch (name.size()) {
    case 3:
      return name == "key" ? Element::text : Element::other;
    case 4:
      if (name == "dict") return Element::container;
      if (name == "real") return Element::real;
      if (name == "date") return Element::date;
      if (name == "data") return Element::data;
      return name == "true" ? Element::flag : Element::other;
    case 5:
      if (name == "array") return Element::container;
      return name == "false" ? Element::flag : Element::other;
    case 6:
      return name == "string" ? Element::text : Element::other;
    case 7:
      return name == "integer" ? Element::integer : Element::other;
    default:
      return Element::other;
  }
}

class Scanner {
 public:
  Scanner(std::string_view s, std::vector<Replacement>& replacements)
      : s_(s), replacements_(replacements) {}

  std::size_t run() {
    for (std::size_t pos = 0; pos < s_.size();) {
      const void* found = std::memchr(s_.data() + pos, '<', s_.size() - pos);
      if (found == nullptr) break;
      const auto lt = static_cast<std::size_t>(static_cast<const char*>(found) - s_.data());
      if (opensContainer(s_, lt)) up();
      pos = markup(lt);
    }
    // Two levels libplist builds without an opening tag: an empty container ("<array/>") inside
    // the deepest open one, and an empty container as the root, which libplist keeps open and
    // fills with whatever follows it ("<array/><dict/>" reads as [{}]).
    return deepest_ + 2;
  }

 private:
  void up() {
    if (++depth_ > Value::maxDepth) {
      fail("nesting deeper than " + std::to_string(Value::maxDepth) + " levels");
    }
    if (depth_ > deepest_) deepest_ = depth_;
  }

  // Counts the possible container openings in [from, to) of a region skipped as a whole.
  void countOpenings(std::size_t from, std::size_t to) {
    for (std::size_t i = s_.find('<', from); i < to; i = s_.find('<', i + 1)) {
      if (opensContainer(s_, i)) up();
    }
  }

  // A region from `lt` to the terminator `end` (searched from `searchFrom`); the rest of the
  // document when the terminator is missing. Returns the position after it.
  std::size_t region(std::size_t lt, std::size_t searchFrom, std::string_view end, bool quoted) {
    const std::size_t stop = s_.find(end, std::min(searchFrom, s_.size()));
    const std::size_t to = stop == std::string_view::npos ? s_.size() : stop;
    countOpenings(lt + 1, to);
    if (quoted) requireBalancedQuotes(s_.substr(lt, to - lt));
    return stop == std::string_view::npos ? s_.size() : stop + end.size();
  }

  std::size_t markup(std::size_t lt) {
    // Most markup is a plain tag; the byte after "<" tells.
    const char second = lt + 1 < s_.size() ? s_[lt + 1] : '\0';
    if (second != '!' && second != '?') return tag(lt);
    if (hasWordAt(s_, lt, "<!--", false)) return region(lt, lt + 4, "-->", false);
    if (hasWordAt(s_, lt, "<![CDATA[", false)) return region(lt, lt + 9, "]]>", false);
    if (hasWordAt(s_, lt, "<?", false)) return region(lt, lt + 2, "?>", true);
    if (hasWordAt(s_, lt, "<!", false)) {
      const std::size_t next = region(lt, lt + 2, ">", true);
      if (s_.substr(lt, next - lt).find('[') != std::string_view::npos) {
        fail("internal DTD subsets are not supported");
      }
      return next;
    }
    return tag(lt);
  }

  std::size_t tag(std::size_t lt) {
    std::size_t nameEnd = std::string_view::npos;
    const std::size_t gt = tagEnd(lt, nameEnd);
    if (gt == s_.size()) return s_.size();  // an unfinished tag: libplist refuses the document
    const std::string_view body = s_.substr(lt + 1, gt - lt - 1);
    if (!body.empty() && body.front() == '/') {
      if (body == "/array" || body == "/dict") {
        if (depth_ > 0) --depth_;
      }
      return gt + 1;
    }

    if (nameEnd == std::string_view::npos) {
      nameEnd = 0;
      while (nameEnd < body.size() && isNameByte(body[nameEnd])) ++nameEnd;
    }
    const std::string_view name = body.substr(0, nameEnd);
    const Element element = classify(name);
    if (element == Element::other) return gt + 1;
    const std::string_view rest =
        nameEnd == body.size() ? std::string_view() : trimmed(body.substr(nameEnd));
    if (!rest.empty() && rest != "/") fail("unexpected attributes on <" + std::string(name) + ">");
    const bool empty = rest == "/";
    if (element == Element::integer || element == Element::real || element == Element::date) {
      if (empty) fail("empty <" + std::string(name) + ">");
      // The content must be plain text up to the element's own closing tag.
      const std::size_t next = s_.find('<', gt + 1);
      if (next == std::string_view::npos || !closesAt(next, name)) {
        fail("malformed <" + std::string(name) + ">");
      }
      const std::string_view text = s_.substr(gt + 1, next - gt - 1);
      if (element == Element::integer) {
        if (auto instead = validateInteger(text)) {
          replacements_.push_back(Replacement{gt + 1, text.size(), std::move(*instead)});
        }
      }
      if (element == Element::real) validateReal(text);
      if (element == Element::date) validateDate(text);
      return next;
    }
    if (element == Element::data && !empty) {
      const std::size_t next = s_.find('<', gt + 1);
      validateData(s_.substr(gt + 1, (next == std::string_view::npos ? s_.size() : next) - gt - 1));
    }
    return gt + 1;
  }

  // The ">" that ends the tag at `lt` (the end of the document when there is none), once the
  // openings that may hide in the tag are counted and its quotes checked.
  // `nameEnd` gets where the name of an opening tag ends in its body, when that was seen on the
  // way.
  std::size_t tagEnd(std::size_t lt, std::size_t& nameEnd) {
    // Most tags are a name alone ("<key>", "</dict>", "<true/>"), with nothing to look at.
    std::size_t i = lt + 1;
    const bool closing = i < s_.size() && s_[i] == '/';
    if (closing) ++i;
    while (i < s_.size() && isNameByte(s_[i])) ++i;
    const std::size_t afterName = i;
    if (i < s_.size() && s_[i] == '/') ++i;
    if (i < s_.size() && s_[i] == '>') {
      if (!closing) nameEnd = afterName - lt - 1;
      return i;
    }

    bool odd[2] = {false, false};
    std::size_t gt = lt + 1;
    for (; gt < s_.size(); ++gt) {
      const char c = s_[gt];
      if (!tagSpecials[static_cast<unsigned char>(c)]) continue;
      if (c == '>') break;
      if (c == '<') {
        if (opensContainer(s_, gt)) up();
      } else {
        odd[c == '"'] = !odd[c == '"'];
      }
    }
    if (gt < s_.size() && (odd[0] || odd[1])) fail("malformed markup (unbalanced quotes)");
    return gt;
  }

  // Whether "</" + name + ">" stands at `at`.
  bool closesAt(std::size_t at, std::string_view name) const {
    return hasWordAt(s_, at, "</", false) && hasWordAt(s_, at + 2, name, false) &&
           hasWordAt(s_, at + 2 + name.size(), ">", false);
  }

  std::string_view s_;
  std::vector<Replacement>& replacements_;
  std::size_t depth_ = 0;
  std::size_t deepest_ = 0;
};

}  // namespace

std::size_t checkXML(std::string_view bytes, std::vector<Replacement>& replacements) {
  // XML cannot hold NUL, and libplist garbles the text after one.
  if (bytes.find('\0') != std::string_view::npos) fail("NUL byte in XML");
  return Scanner(bytes, replacements).run();
}

std::size_t checkXML(std::string_view bytes) {
  std::vector<Replacement> replacements;
  return checkXML(bytes, replacements);
}

std::string replaced(std::string_view bytes, const std::vector<Replacement>& replacements) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t copied = 0;
  for (const Replacement& r : replacements) {
    out.append(bytes.substr(copied, r.offset - copied)).append(r.text);
    copied = r.offset + r.length;
  }
  out.append(bytes.substr(copied));
  return out;
}

}  // namespace tavra::plist_guard
