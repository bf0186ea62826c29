#include "http_curl.h"

#include <curl/curl.h>

#include <memory>
#include <string>

namespace tavra::http {

namespace {

struct EasyFree {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct MultiFree {
  void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
using Easy = std::unique_ptr<CURL, EasyFree>;
using Multi = std::unique_ptr<CURLM, MultiFree>;

// Keeps one easy handle attached to a multi handle for the life of the transfer.
class Attachment {
 public:
  Attachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
      throw TransportError("cannot start request");
  }
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;
  ~Attachment() { curl_multi_remove_handle(multi_, easy_); }

 private:
  CURLM* multi_;
  CURL* easy_;
};

struct Transfer {
  std::string body;
  std::size_t limit = 0;
  bool exceeded = false;
};

std::size_t receive(char* data, std::size_t size, std::size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  const std::size_t length = size * count;
  if (length > transfer->limit - transfer->body.size()) {
    transfer->exceeded = true;
    return CURL_WRITEFUNC_ERROR;  // stop receiving: nothing beyond the cap is buffered
  }
  transfer->body.append(data, length);
  return length;
}

template <typename T>
void set(CURL* handle, CURLoption option, T value) {
  if (curl_easy_setopt(handle, option, value) != CURLE_OK) {
    throw TransportError("cannot configure request");
  }
}

}  // namespace

Response CurlClient::get(const Request& request, std::stop_token cancel) const {
  Easy easy(curl_easy_init());
  Multi multi(curl_multi_init());
  if (!easy || !multi) throw TransportError("cannot create request");
  CURL* handle = easy.get();

  Transfer transfer;
  transfer.limit = request.maxBodyBytes;
  char errorText[CURL_ERROR_SIZE] = {};

  set(handle, CURLOPT_URL, request.url.c_str());
  set(handle, CURLOPT_HTTPGET, 1L);
  set(handle, CURLOPT_PROTOCOLS_STR, "https");
  set(handle, CURLOPT_FOLLOWLOCATION, 1L);
  set(handle, CURLOPT_MAXREDIRS, 10L);
  set(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  set(handle, CURLOPT_USERAGENT, request.userAgent.c_str());
  set(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  set(handle, CURLOPT_NOSIGNAL, 1L);
  // An empty proxy turns off the proxy environment variables.
  set(handle, CURLOPT_PROXY, "");
  set(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  set(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (caFile_) set(handle, CURLOPT_CAINFO, caFile_->c_str());
  set(handle, CURLOPT_WRITEFUNCTION, &receive);
  set(handle, CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  set(handle, CURLOPT_ERRORBUFFER, errorText);

  if (cancel.stop_requested()) throw Cancelled();
  CURLcode result = CURLE_OK;
  {
    Attachment attachment(multi.get(), handle);
    // A stop request wakes the wait at once instead of at the next poll timeout.
    std::stop_callback wake(cancel, [&multi] { curl_multi_wakeup(multi.get()); });
    int running = 1;
    while (running > 0) {
      if (cancel.stop_requested()) throw Cancelled();
      if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
        throw TransportError("request failed");
      }
      if (running > 0 && curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK) {
        throw TransportError("request failed");
      }
    }
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &pending)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == handle) {
        result = message->data.result;
      }
    }
  }

  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && transfer.exceeded)) {
    throw TransportError(errorText[0] != '\0' ? std::string(errorText)
                                              : std::string(curl_easy_strerror(result)));
  }
  Response response;
  response.status = status == 0 ? -1 : status;
  response.body = std::move(transfer.body);
  response.bodyExceededLimit = transfer.exceeded;
  return response;
}

}  // namespace tavra::http
