#include "tavra/url.h"

#include <uriparser/Uri.h>

#include <strings.h>
#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace tavra {
namespace {

// Owner of the parts uriparser fills in.
class ParsedUri {
 public:
  ParsedUri() = default;
  ParsedUri(const ParsedUri&) = delete;
  ParsedUri& operator=(const ParsedUri&) = delete;
  ~ParsedUri() {
    if (filled_) uriFreeUriMembersA(&uri_);
  }

  // Parses the whole of `text` as an RFC 3986 URI reference; false when it is none.
  bool parse(const std::string& text) {
    const char* first = text.data();
    filled_ = uriParseSingleUriExA(&uri_, first, first + text.size(), nullptr) == URI_SUCCESS;
    return filled_;
  }
  // Resolves `reference` against itself: the same URI with its "." and ".." path segments
  // removed, percent-encoding left as it is.
  bool withoutDotSegments(const ParsedUri& reference) {
    filled_ = uriAddBaseUriExA(&uri_, &reference.uri_, &reference.uri_, URI_RESOLVE_STRICTLY) ==
              URI_SUCCESS;
    return filled_;
  }

  const UriUriA& operator*() const noexcept { return uri_; }
  const UriUriA* operator->() const noexcept { return &uri_; }

 private:
  UriUriA uri_{};
  bool filled_ = false;
};

bool present(const UriTextRangeA& range) noexcept {
  return range.first != nullptr;
}
std::string_view view(const UriTextRangeA& range) noexcept {
  if (range.first == nullptr) return {};
  return {range.first, static_cast<std::size_t>(range.afterLast - range.first)};
}
bool hasAuthority(const UriUriA& uri) noexcept {
  return present(uri.hostText);
}
bool isIPLiteral(const UriUriA& uri) noexcept {
  return uri.hostData.ip6 != nullptr || present(uri.hostData.ipFuture);
}

// The path as text ("/" when there is none): its segments joined by "/", led by one when the
// URI has an authority or an absolute path.
std::string pathText(const UriUriA& uri) {
  std::string path;
  const bool rooted = hasAuthority(uri) || uri.absolutePath == URI_TRUE;
  for (const UriPathSegmentA* segment = uri.pathHead; segment != nullptr; segment = segment->next) {
    if (rooted || segment != uri.pathHead) path += '/';
    path += view(segment->text);
  }
  return path.empty() ? "/" : path;
}

// Where the path begins and ends in `text`, a URI that parsed: the split of RFC 3986's
// appendix B (the scheme runs to the first ":", an authority from "//" to the next "/", "?" or
// "#", the path from there to the next "?" or "#"). uriparser's ranges cannot serve here: the
// empty ones do not point into the text.
std::pair<std::size_t, std::size_t> pathRange(std::string_view text) {
  std::size_t start = text.find(':') + 1;
  if (text.substr(start, 2) == "//")
    start = std::min(text.find_first_of("/?#", start + 2), text.size());
  const std::size_t end = std::min(text.find_first_of("?#", start), text.size());
  return {start, end};
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A file URL names this machine: no host, "localhost" or 127.0.0.1, and neither a user nor a
// port; and its path is absolute ("file:name" would be relative to whatever the working
// directory happens to be).
bool usableFileURL(const UriUriA& uri) {
  if (!hasAuthority(uri)) return uri.absolutePath == URI_TRUE;
  const std::string_view host = view(uri.hostText);
  if (!host.empty() && !equalsIgnoringCase(host, "localhost") && host != "127.0.0.1") {
    return false;
  }
  return !present(uri.userInfo) && !present(uri.portText) && uri.pathHead != nullptr;
}

bool hostNameCharacter(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Any other URL names a server: its host is an IP address or a name made of letters, digits and
// "-._~" (RFC 3986 also allows percent escapes and sub-delimiters there, which no host name can
// hold), and its port, when given, is at most 65535.
bool usableServerURL(const UriUriA& uri) {
  if (!hasAuthority(uri) || present(uri.hostData.ipFuture)) return false;
  const std::string_view host = view(uri.hostText);
  if (host.empty()) return false;
  const bool name = uri.hostData.ip4 == nullptr && uri.hostData.ip6 == nullptr;
  if (name && !std::all_of(host.begin(), host.end(), hostNameCharacter)) return false;
  const std::string_view port = view(uri.portText);
  if (!port.empty()) {
    unsigned long number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size() || number > 65535) return false;
  }
  return true;
}

// `text` with every character but the unreserved ones percent-encoded.
std::string escaped(std::string_view text) {
  std::string out(text.size() * 3 + 1, '\0');
  const char* end = uriEscapeExA(text.data(), text.data() + text.size(), out.data(),
                                 /*spaceToPlus=*/URI_FALSE, /*normalizeBreaks=*/URI_FALSE);
  out.resize(static_cast<std::size_t>(end - out.data()));
  return out;
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
  std::string owned(text);
  // uriparser stops nowhere short, but a NUL has no place in a URL either.
  if (owned.find('\0') != std::string::npos) return std::nullopt;
  ParsedUri uri;
  if (!uri.parse(owned) || !present(uri->scheme) || uri->scheme.first == uri->scheme.afterLast) {
    return std::nullopt;
  }
  URL url;
  url.scheme_ = std::string(view(uri->scheme));
  if (!(url.isFileURL() ? usableFileURL(*uri) : usableServerURL(*uri))) return std::nullopt;

  ParsedUri resolved;
  if (!resolved.withoutDotSegments(uri)) return std::nullopt;
  url.path_ = pathText(*resolved);
  if (!url.isFileURL()) {
    url.host_ = std::string(view(uri->hostText));
    if (isIPLiteral(*uri)) url.host_ = "[" + url.host_ + "]";
  }
  url.text_ = std::move(owned);
  return url;
}

bool URL::isFileURL() const noexcept {
  return strcasecmp(scheme_.c_str(), "file") == 0;
}

std::optional<std::string> URL::filePath() const {
  if (!isFileURL()) return std::nullopt;
  std::string decoded = path_;
  const char* end =
      uriUnescapeInPlaceExA(decoded.data(), /*plusToSpace=*/URI_FALSE, URI_BR_DONT_TOUCH);
  decoded.resize(static_cast<std::size_t>(end - decoded.data()));
  if (decoded.find('\0') != std::string::npos) return std::nullopt;
  return decoded;
}

std::string URL::lastPathComponent() const {
  std::string_view path = path_;
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

URL URL::appendingToLastPathComponent(std::string_view suffix) const {
  std::string_view path = path_;
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::string newPath = path.empty() ? "/" : std::string(path);
  newPath += escaped(suffix);

  std::optional<URL> result;
  ParsedUri uri;
  if (uri.parse(text_)) {
    // Without an authority a path may not begin with "//" (it would read as one): "/." keeps
    // it a path.
    if (!hasAuthority(*uri) && newPath.starts_with("//")) newPath.insert(0, "/.");
    const auto [start, end] = pathRange(text_);
    result = parse(text_.substr(0, start) + newPath + text_.substr(end));
  }
  // The text parsed before and only its path changed, so it parses again.
  if (!result) throw std::logic_error("URL: cannot extend the path of " + text_);
  return *result;
}

}  // namespace tavra
