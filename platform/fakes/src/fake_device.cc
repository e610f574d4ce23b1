#include "platform_fakes/fake_device.h"

#include <algorithm>
#include <cerrno>

namespace vellumark::platform::fakes {

int FakeSysctl::read(const int* path, size_t length, void* buffer, size_t* size) const {
  const Path key(path, path + length);
  reads.push_back(key);
  if (auto it = errors.find(key); it != errors.end()) return it->second;
  auto it = values.find(key);
  if (it == values.end()) return ENOENT;
  std::vector<uint8_t> answer = it->second;
  if (buffer == nullptr) {
    *size = answer.size();
    return 0;
  }
  answer.resize(answer.size() + growAfterSizeQuery, 'x');
  if (*size < answer.size()) return ENOMEM;
  std::copy(answer.begin(), answer.end(), static_cast<uint8_t*>(buffer));
  *size = answer.size();
  return 0;
}

int FakeSysctl::nameToPath(const std::string& name, int* path, size_t* length) const {
  if (auto it = nameErrors.find(name); it != nameErrors.end()) return it->second;
  auto it = names.find(name);
  if (it == names.end()) return ENOENT;
  if (*length < it->second.size()) return ENOMEM;
  std::copy(it->second.begin(), it->second.end(), path);
  *length = it->second.size();
  return 0;
}

void FakeSysctl::setText(const Path& path, const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  values[path] = std::move(bytes);
}

std::optional<Date> FakePackageFacts::creationDate(const std::string& path) const {
  looked.push_back(path);
  auto it = created.find(path);
  if (it == created.end()) return std::nullopt;
  return it->second;
}

std::optional<Date> FakePackageFacts::modificationDate(const std::string& path) const {
  looked.push_back(path);
  auto it = modified.find(path);
  if (it == modified.end()) return std::nullopt;
  return it->second;
}

}  // namespace vellumark::platform::fakes
