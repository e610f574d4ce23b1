// Shared pieces of the update framework's tests: a loopback HTTP server, a
// main queue the test drains, temporary folders, bundles, signed archives.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "embedding/task_queue.h"

namespace vellumark::linux_platform::update_test {

namespace fs = std::filesystem;

inline std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vellumark-update-test.XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path path;
};

// Serves fixed responses on 127.0.0.1 until destroyed; a route marked
// `hang` accepts the request and never answers.
class LoopbackServer {
 public:
  struct Route {
    int status = 200;
    std::string body;
    bool hang = false;
  };

  LoopbackServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    ::listen(fd_, 16);
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackServer() {
    stop_ = true;
    thread_.join();
    for (int fd : hung_) ::close(fd);
    ::close(fd_);
  }

  void route(const std::string& path, Route response) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(response);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int requests() const { return requests_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      ++requests_;
      const auto start = request.find(' ') + 1;
      const std::string path = request.substr(start, request.find(' ', start) - start);
      Route response{404, "not found", false};
      {
        std::lock_guard lock(mutex_);
        if (auto it = routes_.find(path); it != routes_.end()) response = it->second;
      }
      if (response.hang) {
        hung_.push_back(client);
        continue;
      }
      const std::string head = "HTTP/1.1 " + std::to_string(response.status) +
                               " X\r\nContent-Length: " + std::to_string(response.body.size()) +
                               "\r\nConnection: close\r\n\r\n";
      const std::string all = head + response.body;
      size_t sent = 0;
      while (sent < all.size()) {
        const ssize_t n = ::send(client, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::close(client);
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::map<std::string, Route> routes_;
  std::vector<int> hung_;
  std::thread thread_;
};

// A main queue the test drains, with virtual time, that worker threads wake.
class WaitableQueue : public platform::TaskQueue {
 public:
  void post(platform::Task task) override {
    inner_.post(std::move(task));
    notify();
  }
  void postAfter(std::chrono::milliseconds delay, platform::Task task) override {
    inner_.postAfter(delay, std::move(task));
    notify();
  }
  size_t runUntilIdle() { return inner_.runUntilIdle(); }
  size_t advance(std::chrono::milliseconds by) { return inner_.advance(by); }
  // Runs tasks as they come until `done` holds.
  template <typename Predicate>
  void runUntil(Predicate done) {
    while (!done()) {
      {
        std::unique_lock lock(mutex_);
        posted_.wait(lock, [this] { return due_ > 0; });
        due_ = 0;
      }
      inner_.runUntilIdle();
    }
  }

 private:
  void notify() {
    {
      std::lock_guard lock(mutex_);
      ++due_;
    }
    posted_.notify_all();
  }
  ManualQueue inner_;
  std::mutex mutex_;
  std::condition_variable posted_;
  size_t due_ = 0;
};

// Ed25519 keys and signatures.
struct SigningKey {
  SigningKey() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
  }
  ~SigningKey() { EVP_PKEY_free(key); }
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  static std::string base64(const unsigned char* data, size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<size_t>(n));
    return out;
  }
  std::string publicKey() const {
    unsigned char raw[32];
    size_t size = sizeof raw;
    EVP_PKEY_get_raw_public_key(key, raw, &size);
    return base64(raw, size);
  }
  std::string sign(const std::string& message) const {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key);
    unsigned char sig[64];
    size_t size = sizeof sig;
    EVP_DigestSign(ctx, sig, &size, reinterpret_cast<const unsigned char*>(message.data()),
                   message.size());
    EVP_MD_CTX_free(ctx);
    return base64(sig, size);
  }

  EVP_PKEY* key = nullptr;
};

inline std::string infoPlist(const std::string& version, const std::string& publicKey,
                             const std::string& identifier = "com.vellumark.desktop") {
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>CFBundleIdentifier</key><string>" +
      identifier +
      "</string>"
      "<key>CFBundleExecutable</key><string>vellumark</string>"
      "<key>CFBundleShortVersionString</key><string>" +
      version +
      ".0</string>"
      "<key>CFBundleVersion</key><string>" +
      version + "</string>";
  if (!publicKey.empty()) plist += "<key>SUPublicEDKey</key><string>" + publicKey + "</string>";
  return plist + "</dict></plist>\n";
}

// A minimal bundle folder.
inline void makeBundle(const fs::path& dir, const std::string& version,
                       const std::string& publicKey) {
  writeText(dir / "Info.plist", infoPlist(version, publicKey));
  writeText(dir / "bin/vellumark", "#!/bin/sh\necho " + version + "\n");
  fs::permissions(dir / "bin/vellumark", fs::perms::owner_all);
}

// An archive (gzip'd tar) of the given entries: path → content, a trailing
// "/" for a folder, "->target" content for a symbolic link.
inline std::string makeArchive(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::vector<char> buffer(1 << 20);
  size_t used = 0;
  archive* a = archive_write_new();
  archive_write_add_filter_gzip(a);
  archive_write_set_format_pax_restricted(a);
  archive_write_open_memory(a, buffer.data(), buffer.size(), &used);
  for (const auto& [path, content] : entries) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, path.c_str());
    if (!path.empty() && path.back() == '/') {
      archive_entry_set_filetype(e, AE_IFDIR);
      archive_entry_set_perm(e, 0755);
    } else if (content.rfind("->", 0) == 0) {
      archive_entry_set_filetype(e, AE_IFLNK);
      archive_entry_set_symlink(e, content.substr(2).c_str());
      archive_entry_set_perm(e, 0777);
    } else {
      archive_entry_set_filetype(e, AE_IFREG);
      archive_entry_set_perm(e, 0755);
      archive_entry_set_size(e, static_cast<la_int64_t>(content.size()));
    }
    archive_write_header(a, e);
    if (archive_entry_filetype(e) == AE_IFREG)
      archive_write_data(a, content.data(), content.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
  return std::string(buffer.data(), used);
}

// The archive of a bundle of `version` inside a "Vellumark/" folder.
inline std::string bundleArchive(const std::string& version, const std::string& publicKey) {
  return makeArchive({{"Vellumark/", ""},
                      {"Vellumark/Info.plist", infoPlist(version, publicKey)},
                      {"Vellumark/bin/", ""},
                      {"Vellumark/bin/vellumark", "#!/bin/sh\necho " + version + "\n"}});
}

inline std::string appcast(const std::string& items) {
  return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" "
         "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
         "<title>Vellumark</title>" +
         items + "</channel></rss>";
}

inline std::string item(const std::string& version, const std::string& url,
                        const std::string& signature = "", const std::string& extra = "") {
  std::string enclosure =
      "<enclosure url=\"" + url + "\" length=\"10\" type=\"application/octet-stream\"";
  if (!signature.empty()) enclosure += " sparkle:edSignature=\"" + signature + "\"";
  enclosure += "/>";
  return "<item><title>Version " + version + "</title><sparkle:version>" + version +
         "</sparkle:version><sparkle:shortVersionString>" + version +
         ".0</sparkle:shortVersionString>" + extra + enclosure + "</item>";
}

}  // namespace vellumark::linux_platform::update_test
