// URL: an absolute URL as the system uses it for the catalog location (an https address or a
// file URL), parsed as RFC 3986 by uriparser.
//
// A plain value: the parts are extracted once at parse time and kept as text, so copies are
// independent and hold no library handle. `text()` is the URL exactly as given (the form shown in
// messages); `scheme()` is the scheme exactly as written there (its letter case kept, so a test
// for "https" can be exact); `path()` has its "." and ".." segments removed and its
// percent-encoding kept. Parsing never throws. No value for: text that is no RFC 3986 URI (blanks,
// control or non-ASCII characters, a broken percent escape), one without a scheme, a file URL
// that names another host than this one ("localhost", 127.0.0.1 or none), a user or a port, or
// whose path is not absolute, and any other URL without a host, with a host that no server can
// have, or with a port above 65535. Any scheme is accepted by the parser; deciding which ones are
// usable is the caller's job. Thread-safe: no shared state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavra {

class URL {
 public:
  // Parses an absolute URL; no value when the text is none (see above).
  static std::optional<URL> parse(std::string_view text);

  // The URL as given to parse (or as built by appendingToLastPathComponent).
  const std::string& text() const noexcept { return text_; }
  // The scheme as written in text(), e.g. "https" or "HTTPS"; never empty.
  const std::string& scheme() const noexcept { return scheme_; }
  // The host as written, an IPv6 address in its brackets; empty for file URLs.
  const std::string& host() const noexcept { return host_; }
  // The path, still percent-encoded, without "." and ".." segments; "/" when the URL gives none.
  const std::string& path() const noexcept { return path_; }

  // Whether the scheme is "file" in any letter case.
  bool isFileURL() const noexcept;
  // The percent-decoded path of a file URL; no value for other URLs and for paths that decode to
  // text holding a NUL.
  std::optional<std::string> filePath() const;

  // The last component of the path (trailing "/" ignored), percent-encoded; may be empty.
  std::string lastPathComponent() const;
  // The same URL with `suffix` appended to the text of its last path component: the text as
  // written but for the path, which is path() so changed (trailing "/" dropped), so
  // ".../catalog.json?v=2" with ".sig" gives ".../catalog.json.sig?v=2". A path without any
  // component gains one made of the suffix alone. Every character of the suffix but letters,
  // digits and "-._~" is percent-encoded.
  URL appendingToLastPathComponent(std::string_view suffix) const;

  // Two URLs are equal when their texts are.
  friend bool operator==(const URL& a, const URL& b) noexcept { return a.text_ == b.text_; }

 private:
  URL() = default;

  std::string text_;
  std::string scheme_;
  std::string host_;
  std::string path_;
};

}  // namespace tavra
