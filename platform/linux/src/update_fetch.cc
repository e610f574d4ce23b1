#include "update_fetch.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace vellumark::linux_platform::update {
namespace {

constexpr char kProtocols[] = "http,https,file";
constexpr char kRedirectProtocols[] = "http,https";
constexpr long kMaxRedirects = 10;
constexpr char kUserAgent[] = "Vellumark-Updater";

struct CurlFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using CurlPtr = std::unique_ptr<CURL, CurlFree>;

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
  std::string body;
  int fd = -1;
  uint64_t maxBytes = 0;
  bool tooLarge = false;
  bool writeFailed = false;
  int writeErrno = 0;
  const std::atomic<bool>* cancelled = nullptr;
  const FetchProgress* progress = nullptr;
};

size_t onWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (t->fd >= 0) {
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(t->fd, data + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        t->writeFailed = true;
        t->writeErrno = errno;
        return 0;
      }
      done += static_cast<size_t>(w);
    }
    return n;
  }
  if (t->maxBytes != 0 && t->body.size() + n > t->maxBytes) {
    t->tooLarge = true;
    return 0;
  }
  t->body.append(data, n);
  return n;
}

int onProgress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (t->cancelled != nullptr && t->cancelled->load()) return 1;
  if (t->progress != nullptr && *t->progress &&
      !(*t->progress)(static_cast<uint64_t>(now < 0 ? 0 : now),
                      static_cast<uint64_t>(total < 0 ? 0 : total))) {
    return 1;
  }
  return 0;
}

// The one place curl's statuses become readable text.
std::string describe(CURLcode code, const char* detail, const std::string& url) {
  std::string why = detail != nullptr && detail[0] != '\0' ? detail : curl_easy_strerror(code);
  while (!why.empty() && (why.back() == '\n' || why.back() == '.')) why.pop_back();
  return why + " (" + url + ")";
}

FetchResult perform(const std::string& url, const FetchLimits& limits, Transfer& transfer,
                    bool wholeTimeout) {
  globalInit();
  FetchResult result;
  CurlPtr curl(curl_easy_init());
  if (!curl) {
    result.error = "curl_easy_init failed (" + url + ")";
    return result;
  }
  char detail[CURL_ERROR_SIZE] = {};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, kProtocols);
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, kRedirectProtocols);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // off the main thread: no SIGALRM
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 0L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
  // Stalled: under 1 byte/s for the stall time.
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, static_cast<long>((limits.stallTimeout.count() + 999) / 1000)));
  if (wholeTimeout)
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.feedTimeout.count()));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onWrite);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);

  const CURLcode code = curl_easy_perform(c);
  if (code != CURLE_OK) {
    if (transfer.tooLarge) {
      result.error = "the response is larger than " + std::to_string(limits.maxFeedBytes) +
                     " bytes (" + url + ")";
    } else if (transfer.writeFailed) {
      result.error = std::string("writing the download: ") + std::strerror(transfer.writeErrno) +
                     " (" + url + ")";
    } else if (code == CURLE_ABORTED_BY_CALLBACK) {
      result.error = "cancelled (" + url + ")";
    } else {
      result.error = describe(code, detail, url);
    }
    return result;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  // file:// answers 0; http answers its status.
  if (status != 0 && (status < 200 || status > 299)) {
    result.error = "the server answered HTTP " + std::to_string(status) + " (" + url + ")";
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace

FetchResult fetchText(const std::string& url, const FetchLimits& limits,
                      const std::atomic<bool>& cancelled) {
  Transfer transfer;
  transfer.maxBytes = limits.maxFeedBytes;
  transfer.cancelled = &cancelled;
  FetchResult result = perform(url, limits, transfer, true);
  if (result.ok) result.body = std::move(transfer.body);
  return result;
}

FetchResult fetchToFile(const std::string& url, const std::string& path, const FetchLimits& limits,
                        const FetchProgress& progress) {
  FetchResult result;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    result.error = "creating " + path + ": " + std::strerror(errno);
    return result;
  }
  Transfer transfer;
  transfer.fd = fd;
  transfer.progress = &progress;
  result = perform(url, limits, transfer, false);
  if (::close(fd) != 0 && result.ok) {
    result.ok = false;
    result.error = "writing " + path + ": " + std::strerror(errno);
  }
  return result;
}

}  // namespace vellumark::linux_platform::update
