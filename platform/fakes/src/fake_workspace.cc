#include "platform_fakes/fake_workspace.h"

#include <cctype>

namespace vellumark::platform::fakes {
namespace {

std::string schemeOf(const std::string& url) { return url.substr(0, url.find(':')); }

}  // namespace

bool FakeUrlParser::isValidURL(const std::string& text) const {
  if (rejected.contains(text)) return false;
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  if (std::isalpha(static_cast<unsigned char>(text[0])) == 0) return false;
  for (size_t i = 1; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (std::isalnum(c) == 0 && c != '+' && c != '-' && c != '.') return false;
  }
  return text.find(' ') == std::string::npos;
}

bool FakeWorkspace::openURL(const std::string& url) {
  opened.push_back(url);
  return openResult;
}

std::optional<std::string> FakeWorkspace::urlForApplicationToOpenURL(const std::string& url) {
  lookedUp.push_back(url);
  auto it = applications.find(schemeOf(url));
  if (it == applications.end()) return std::nullopt;
  return it->second;
}

}  // namespace vellumark::platform::fakes
