// URL: an absolute URL as the system uses it for the catalog location (an https address or a
// file URL), parsed with libcurl's URL API.
//
// A plain value: the parts are extracted once at parse time and kept as text, so copies are
// independent and hold no library handle. `text()` is the URL exactly as given (the form shown in
// messages); `scheme()` is the scheme exactly as written there (its letter case kept, so a test
// for "https" can be exact); the other parts are as libcurl reports them. Parsing never throws:
// text that libcurl refuses (no scheme, bad syntax, blanks, a file URL naming a remote host)
// and a file URL whose path is not absolute give no value. Any scheme is accepted by the parser;
// deciding which ones are usable is the caller's job. Thread-safe: no shared state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavra {

class URL {
 public:
  // Parses an absolute URL; no value when libcurl does not accept the text as one.
  static std::optional<URL> parse(std::string_view text);

  // The URL as given to parse (or as built by appendingToLastPathComponent).
  const std::string& text() const noexcept { return text_; }
  // The scheme as written in text(), e.g. "https" or "HTTPS"; never empty.
  const std::string& scheme() const noexcept { return scheme_; }
  // The host as libcurl reports it; empty when the URL has none (file URLs).
  const std::string& host() const noexcept { return host_; }
  // The path, still percent-encoded; "/" when the URL gives none.
  const std::string& path() const noexcept { return path_; }

  // Whether the scheme is "file" in any letter case.
  bool isFileURL() const noexcept;
  // The percent-decoded path of a file URL; no value for other URLs and for paths that decode to
  // text holding a NUL.
  std::optional<std::string> filePath() const;

  // The last component of the path (trailing "/" ignored), percent-encoded; may be empty.
  std::string lastPathComponent() const;
  // The same URL with `suffix` appended to the text of its last path component, query and
  // fragment kept: ".../catalog.json" with ".sig" gives ".../catalog.json.sig". A path without any
  // component gains one made of the suffix alone. The suffix is taken as path text (characters
  // that are not allowed there are percent-encoded).
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
