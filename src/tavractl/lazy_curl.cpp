// libcurl, loaded when first used.
//
// The tool needs libcurl only for catalog downloads and URL parsing, but libcurl and the libraries
// it needs take most of the tool's start-up time, which every `status --line` of every inventory
// pays. This file defines the libcurl functions the core calls; the first call opens libcurl with
// dlopen and every call forwards to it. Linked into the program as an object, these definitions
// take the place of the shared library's, so libcurl is not loaded at start.
//
// When libcurl cannot be opened every call fails the way libcurl reports failure (no handle, an
// error code), and the callers turn that into their own errors.
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>

namespace {

struct Curl {
  void* library = nullptr;
  decltype(&::curl_easy_init) easyInit = nullptr;
  decltype(&::curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&::curl_easy_setopt) easySetopt = nullptr;
  decltype(&::curl_easy_getinfo) easyGetinfo = nullptr;
  decltype(&::curl_easy_strerror) easyStrerror = nullptr;
  decltype(&::curl_easy_escape) easyEscape = nullptr;
  decltype(&::curl_free) free = nullptr;
  decltype(&::curl_multi_init) multiInit = nullptr;
  decltype(&::curl_multi_cleanup) multiCleanup = nullptr;
  decltype(&::curl_multi_add_handle) multiAddHandle = nullptr;
  decltype(&::curl_multi_remove_handle) multiRemoveHandle = nullptr;
  decltype(&::curl_multi_perform) multiPerform = nullptr;
  decltype(&::curl_multi_poll) multiPoll = nullptr;
  decltype(&::curl_multi_wakeup) multiWakeup = nullptr;
  decltype(&::curl_multi_info_read) multiInfoRead = nullptr;
  decltype(&::curl_url) url = nullptr;
  decltype(&::curl_url_cleanup) urlCleanup = nullptr;
  decltype(&::curl_url_get) urlGet = nullptr;
  decltype(&::curl_url_set) urlSet = nullptr;

  template <typename F>
  void bind(F& function, const char* name) {
    function = reinterpret_cast<F>(dlsym(library, name));
  }

  // Loaded once for the life of the process (the library stays open); thread-safe.
  static const Curl& get() {
    static const Curl curl = [] {
      Curl c;
      c.library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
      if (c.library == nullptr) return c;
      c.bind(c.easyInit, "curl_easy_init");
      c.bind(c.easyCleanup, "curl_easy_cleanup");
      c.bind(c.easySetopt, "curl_easy_setopt");
      c.bind(c.easyGetinfo, "curl_easy_getinfo");
      c.bind(c.easyStrerror, "curl_easy_strerror");
      c.bind(c.easyEscape, "curl_easy_escape");
      c.bind(c.free, "curl_free");
      c.bind(c.multiInit, "curl_multi_init");
      c.bind(c.multiCleanup, "curl_multi_cleanup");
      c.bind(c.multiAddHandle, "curl_multi_add_handle");
      c.bind(c.multiRemoveHandle, "curl_multi_remove_handle");
      c.bind(c.multiPerform, "curl_multi_perform");
      c.bind(c.multiPoll, "curl_multi_poll");
      c.bind(c.multiWakeup, "curl_multi_wakeup");
      c.bind(c.multiInfoRead, "curl_multi_info_read");
      c.bind(c.url, "curl_url");
      c.bind(c.urlCleanup, "curl_url_cleanup");
      c.bind(c.urlGet, "curl_url_get");
      c.bind(c.urlSet, "curl_url_set");
      return c;
    }();
    return curl;
  }
};

}  // namespace

extern "C" {

CURL* curl_easy_init(void) {
  auto f = Curl::get().easyInit;
  return f != nullptr ? f() : nullptr;
}

void curl_easy_cleanup(CURL* handle) {
  if (auto f = Curl::get().easyCleanup; f != nullptr) f(handle);
}

// libcurl declares the options and infos as enumerations before the variable arguments and reads
// them with va_start itself; clang warns about that form in general.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif

// The one argument after the option has the type the option's number range stands for.
CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  auto f = Curl::get().easySetopt;
  if (f == nullptr) return CURLE_FAILED_INIT;
  va_list arguments;
  va_start(arguments, option);
  CURLcode result;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    result = f(handle, option, va_arg(arguments, long));
  } else if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
    result = f(handle, option, va_arg(arguments, curl_off_t));
  } else {
    result = f(handle, option, va_arg(arguments, void*));
  }
  va_end(arguments);
  return result;
}

// Every piece of information is returned through one pointer.
CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  auto f = Curl::get().easyGetinfo;
  if (f == nullptr) return CURLE_FAILED_INIT;
  va_list arguments;
  va_start(arguments, info);
  void* target = va_arg(arguments, void*);
  va_end(arguments);
  return f(handle, info, target);
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

const char* curl_easy_strerror(CURLcode code) {
  auto f = Curl::get().easyStrerror;
  return f != nullptr ? f(code) : "libcurl is not available";
}

char* curl_easy_escape(CURL* handle, const char* text, int length) {
  auto f = Curl::get().easyEscape;
  return f != nullptr ? f(handle, text, length) : nullptr;
}

void curl_free(void* pointer) {
  if (auto f = Curl::get().free; f != nullptr) f(pointer);
}

CURLM* curl_multi_init(void) {
  auto f = Curl::get().multiInit;
  return f != nullptr ? f() : nullptr;
}

CURLMcode curl_multi_cleanup(CURLM* multi) {
  auto f = Curl::get().multiCleanup;
  return f != nullptr ? f(multi) : CURLM_INTERNAL_ERROR;
}

CURLMcode curl_multi_add_handle(CURLM* multi, CURL* handle) {
  auto f = Curl::get().multiAddHandle;
  return f != nullptr ? f(multi, handle) : CURLM_INTERNAL_ERROR;
}

CURLMcode curl_multi_remove_handle(CURLM* multi, CURL* handle) {
  auto f = Curl::get().multiRemoveHandle;
  return f != nullptr ? f(multi, handle) : CURLM_INTERNAL_ERROR;
}

CURLMcode curl_multi_perform(CURLM* multi, int* running) {
  auto f = Curl::get().multiPerform;
  return f != nullptr ? f(multi, running) : CURLM_INTERNAL_ERROR;
}

CURLMcode curl_multi_poll(CURLM* multi, struct curl_waitfd extra[], unsigned int count,
                          int timeoutMs, int* ready) {
  auto f = Curl::get().multiPoll;
  return f != nullptr ? f(multi, extra, count, timeoutMs, ready) : CURLM_INTERNAL_ERROR;
}

CURLMcode curl_multi_wakeup(CURLM* multi) {
  auto f = Curl::get().multiWakeup;
  return f != nullptr ? f(multi) : CURLM_INTERNAL_ERROR;
}

CURLMsg* curl_multi_info_read(CURLM* multi, int* pending) {
  auto f = Curl::get().multiInfoRead;
  return f != nullptr ? f(multi, pending) : nullptr;
}

CURLU* curl_url(void) {
  auto f = Curl::get().url;
  return f != nullptr ? f() : nullptr;
}

void curl_url_cleanup(CURLU* handle) {
  if (auto f = Curl::get().urlCleanup; f != nullptr) f(handle);
}

CURLUcode curl_url_get(CURLU* handle, CURLUPart part, char** text, unsigned int flags) {
  auto f = Curl::get().urlGet;
  return f != nullptr ? f(handle, part, text, flags) : CURLUE_OUT_OF_MEMORY;
}

CURLUcode curl_url_set(CURLU* handle, CURLUPart part, const char* text, unsigned int flags) {
  auto f = Curl::get().urlSet;
  return f != nullptr ? f(handle, part, text, flags) : CURLUE_OUT_OF_MEMORY;
}

}  // extern "C"
