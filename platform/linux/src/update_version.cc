#include "update_version.h"

#include <cctype>
#include <string>
#include <vector>

namespace vellumark::linux_platform::update {
namespace {

enum class Kind { Number, Text, Separator };

struct Part {
  Kind kind;
  std::string_view text;
};

Kind kindOf(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (std::isdigit(u)) return Kind::Number;
  if (c == '.' || c == '-' || c == '_' || c == '+' || std::isspace(u)) return Kind::Separator;
  return Kind::Text;
}

std::vector<Part> split(std::string_view version) {
  std::vector<Part> parts;
  size_t i = 0;
  while (i < version.size()) {
    const Kind kind = kindOf(version[i]);
    size_t j = i + 1;
    // Each separator stands alone: "1..2" has two.
    if (kind != Kind::Separator) {
      while (j < version.size() && kindOf(version[j]) == kind) ++j;
    }
    parts.push_back({kind, version.substr(i, j - i)});
    i = j;
  }
  return parts;
}

// Digit strings of any length, without overflow: leading zeros dropped,
// then longer is larger, then lexical.
int compareNumbers(std::string_view a, std::string_view b) {
  auto strip = [](std::string_view s) {
    while (s.size() > 1 && s.front() == '0') s.remove_prefix(1);
    return s;
  };
  a = strip(a);
  b = strip(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
  const std::vector<Part> left = split(a);
  const std::vector<Part> right = split(b);
  const size_t common = std::min(left.size(), right.size());
  for (size_t i = 0; i < common; ++i) {
    const Part& l = left[i];
    const Part& r = right[i];
    if (l.kind == r.kind) {
      int c = 0;
      if (l.kind == Kind::Number) {
        c = compareNumbers(l.text, r.text);
      } else if (l.kind == Kind::Text) {
        const int t = l.text.compare(r.text);
        c = t < 0 ? -1 : (t > 0 ? 1 : 0);
      }
      if (c != 0) return c;
      continue;
    }
    // Different kinds: a number outranks text ("1.0.1" > "1.0b"); a separator
    // leading on to more parts outranks text ("1.0.1" > "1.0a") but not a
    // number.
    if (l.kind == Kind::Number) return 1;
    if (r.kind == Kind::Number) return -1;
    return l.kind == Kind::Separator ? 1 : -1;
  }
  if (left.size() == right.size()) return 0;
  // The longer one: newer when it goes on with a number or separator
  // ("1.0.1" > "1.0"), older when it goes on with text ("1.0b1" < "1.0").
  const bool leftLonger = left.size() > right.size();
  const Part& next = leftLonger ? left[common] : right[common];
  const bool extraIsNewer = next.kind != Kind::Text;
  return (leftLonger == extraIsNewer) ? 1 : -1;
}

}  // namespace vellumark::linux_platform::update
