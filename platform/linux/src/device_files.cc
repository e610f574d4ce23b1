#include "device_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vellumark::linux_platform::device {

std::optional<std::string> readSmallFile(const std::string& path, size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[4096];
  while (content.size() < limit) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (content.size() > limit) content.resize(limit);
  return content;
}

std::string trimEnd(std::string text) {
  while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) text.pop_back();
  return text;
}

namespace {

// The value after "=": quoted parts joined, as a shell would read them.
std::string unquote(const std::string& raw) {
  std::string value;
  size_t i = 0;
  while (i < raw.size()) {
    const char c = raw[i];
    if (c == '\'') {
      const size_t end = raw.find('\'', i + 1);
      value += raw.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
      i = end == std::string::npos ? raw.size() : end + 1;
    } else if (c == '"') {
      for (++i; i < raw.size() && raw[i] != '"'; ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size() && std::strchr("\\\"$`", raw[i + 1])) ++i;
        value += raw[i];
      }
      ++i;
    } else if (c == '\\' && i + 1 < raw.size()) {
      value += raw[i + 1];
      i += 2;
    } else if (c == '#' && (i == 0 || raw[i - 1] == ' ' || raw[i - 1] == '\t')) {
      break;  // a trailing comment
    } else {
      value += c;
      ++i;
    }
  }
  return trimEnd(value);
}

}  // namespace

std::map<std::string, std::string> parseAssignments(const std::string& text) {
  std::map<std::string, std::string> values;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    line.erase(0, first);
    if (line.rfind("export ", 0) == 0) line.erase(0, 7);
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    values[line.substr(0, eq)] = unquote(line.substr(eq + 1));
  }
  return values;
}

}  // namespace vellumark::linux_platform::device
