#include "tavra/url.h"

#include <curl/curl.h>

#include <strings.h>
#include <memory>
#include <new>
#include <stdexcept>

namespace tavra {
namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* handle) const noexcept { curl_url_cleanup(handle); }
};
// Owner of one libcurl URL handle.
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct CurlStringDeleter {
  void operator()(char* text) const noexcept { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

CurlUrl newHandle() {
  CurlUrl handle(curl_url());
  if (!handle) throw std::bad_alloc();
  return handle;
}

// A part of the URL, or no value when the URL has none (or it cannot be given as asked).
std::optional<std::string> part(CURLU* handle, CURLUPart which, unsigned int flags = 0) {
  char* raw = nullptr;
  if (curl_url_get(handle, which, &raw, flags) != CURLUE_OK) return std::nullopt;
  CurlString owned(raw);
  if (!owned) return std::nullopt;
  return std::string(owned.get());
}

// Parses `text` into `handle`; any scheme is allowed, nothing is guessed or encoded.
bool load(CURLU* handle, const std::string& text) {
  return curl_url_set(handle, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
  std::string owned(text);
  // libcurl reads C strings: a NUL would silently cut the text short.
  if (owned.find('\0') != std::string::npos) return std::nullopt;
  CurlUrl handle = newHandle();
  if (!load(handle.get(), owned)) return std::nullopt;
  std::optional<std::string> scheme = part(handle.get(), CURLUPART_SCHEME);
  if (!scheme || scheme->empty()) return std::nullopt;

  URL url;
  url.text_ = std::move(owned);
  // libcurl reports the scheme lower-cased; callers need it as written, and the text begins
  // with it (libcurl refuses anything in front of the scheme).
  const std::string written = url.text_.substr(0, scheme->size());
  url.scheme_ = strcasecmp(written.c_str(), scheme->c_str()) == 0 ? written : *scheme;
  url.host_ = part(handle.get(), CURLUPART_HOST).value_or("");
  url.path_ = part(handle.get(), CURLUPART_PATH).value_or("/");
  // "file:name" names a path relative to whatever the working directory happens to be.
  if (url.isFileURL() && (url.path_.empty() || url.path_.front() != '/')) return std::nullopt;
  return url;
}

bool URL::isFileURL() const noexcept {
  return strcasecmp(scheme_.c_str(), "file") == 0;
}

std::optional<std::string> URL::filePath() const {
  if (!isFileURL()) return std::nullopt;
  CurlUrl handle = newHandle();
  if (!load(handle.get(), text_)) return std::nullopt;
  // libcurl refuses to decode a path that would hold a NUL.
  return part(handle.get(), CURLUPART_PATH, CURLU_URLDECODE);
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

  CurlString escaped(curl_easy_escape(nullptr, suffix.data(), static_cast<int>(suffix.size())));
  if (!escaped) throw std::bad_alloc();
  std::string newPath = path.empty() ? "/" : std::string(path);
  newPath += escaped.get();

  CurlUrl handle = newHandle();
  std::optional<std::string> text;
  if (load(handle.get(), text_) &&
      curl_url_set(handle.get(), CURLUPART_PATH, newPath.c_str(), 0) == CURLUE_OK) {
    text = part(handle.get(), CURLUPART_URL);
  }
  std::optional<URL> result = text ? parse(*text) : std::nullopt;
  // The text parsed before and only its path changed, so it parses again.
  if (!result) throw std::logic_error("URL: cannot extend the path of " + text_);
  return *result;
}

}  // namespace tavra
