#include "update_appcast.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <memory>

#include "update_version.h"

namespace vellumark::linux_platform::update {
namespace {

// Feeds are small; a larger document is refused before parsing.
constexpr size_t kMaxFeedSize = 8 * 1024 * 1024;

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

struct XmlFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlText = std::unique_ptr<xmlChar, XmlFree>;

const char* name(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }

bool inSparkle(const xmlNode* node) {
  return node->ns != nullptr && node->ns->href != nullptr &&
         xmlStrEqual(node->ns->href, reinterpret_cast<const xmlChar*>(kSparkleNamespace));
}

bool inNoNamespace(const xmlNode* node) { return node->ns == nullptr; }

bool isElement(const xmlNode* node, const char* localName) {
  return node->type == XML_ELEMENT_NODE && std::string_view(name(node)) == localName;
}

std::string textOf(const xmlNode* node) {
  XmlText text(xmlNodeGetContent(node));
  return text ? std::string(reinterpret_cast<const char*>(text.get())) : std::string();
}

std::optional<std::string> attribute(const xmlNode* node, const char* attr, bool sparkle) {
  XmlText value(sparkle ? xmlGetNsProp(node, reinterpret_cast<const xmlChar*>(attr),
                                       reinterpret_cast<const xmlChar*>(kSparkleNamespace))
                        : xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(attr)));
  if (!value) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(value.get()));
}

std::string trimmed(std::string text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

platform::AppcastItem readItem(const xmlNode* item) {
  platform::AppcastItem out;
  std::optional<std::string> shortVersion;
  for (const xmlNode* child = item->children; child != nullptr; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    if (isElement(child, "title") && inNoNamespace(child)) {
      out.title = trimmed(textOf(child));
    } else if (isElement(child, "version") && inSparkle(child)) {
      out.versionString = trimmed(textOf(child));
    } else if (isElement(child, "shortVersionString") && inSparkle(child)) {
      shortVersion = trimmed(textOf(child));
    } else if (isElement(child, "minimumSystemVersion") && inSparkle(child)) {
      out.minimumSystemVersion = trimmed(textOf(child));
    } else if (isElement(child, "enclosure") && inNoNamespace(child)) {
      if (auto url = attribute(child, "url", false)) out.fileURL = trimmed(*url);
      if (auto length = attribute(child, "length", false)) {
        uint64_t n = 0;
        const char* end = length->data() + length->size();
        auto [ptr, ec] = std::from_chars(length->data(), end, n);
        if (ec == std::errc() && ptr == end) out.contentLength = n;
      }
      if (auto signature = attribute(child, "edSignature", true)) {
        out.edSignature = trimmed(*signature);
      }
      // The enclosure may carry the versions as attributes instead.
      if (out.versionString.empty()) {
        if (auto version = attribute(child, "version", true)) out.versionString = trimmed(*version);
      }
      if (!shortVersion) shortVersion = attribute(child, "shortVersionString", true);
    }
  }
  out.displayVersionString =
      shortVersion && !shortVersion->empty() ? *shortVersion : out.versionString;
  return out;
}

}  // namespace

std::optional<std::vector<platform::AppcastItem>> parseAppcast(std::string_view xml,
                                                               std::string* error) {
  if (xml.size() > kMaxFeedSize) {
    *error = "The update feed is too large (" + std::to_string(xml.size()) + " bytes).";
    return std::nullopt;
  }
  // No network, no entity expansion, no DTD loading: the feed is untrusted.
  DocPtr doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                           XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!doc) {
    const xmlError* last = xmlGetLastError();
    std::string why = last != nullptr && last->message != nullptr ? trimmed(last->message)
                                                                  : "not well-formed XML";
    *error = "The update feed could not be read: " + why + ".";
    return std::nullopt;
  }
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr || !isElement(root, "rss")) {
    *error = "The update feed could not be read: it is not an RSS document.";
    return std::nullopt;
  }
  std::vector<platform::AppcastItem> items;
  for (const xmlNode* channel = root->children; channel != nullptr; channel = channel->next) {
    if (!isElement(channel, "channel")) continue;
    for (const xmlNode* item = channel->children; item != nullptr; item = item->next) {
      if (!isElement(item, "item")) continue;
      platform::AppcastItem parsed = readItem(item);
      if (!parsed.versionString.empty()) items.push_back(std::move(parsed));
    }
  }
  return items;
}

std::optional<platform::AppcastItem> bestUpdate(const std::vector<platform::AppcastItem>& items,
                                                std::string_view currentVersion,
                                                std::string_view systemVersion) {
  const platform::AppcastItem* best = nullptr;
  for (const auto& item : items) {
    if (item.minimumSystemVersion && !item.minimumSystemVersion->empty() &&
        compareVersions(systemVersion, *item.minimumSystemVersion) < 0) {
      continue;
    }
    if (compareVersions(item.versionString, currentVersion) <= 0) continue;
    if (best == nullptr || compareVersions(item.versionString, best->versionString) > 0) {
      best = &item;
    }
  }
  if (best == nullptr) return std::nullopt;
  return *best;
}

}  // namespace vellumark::linux_platform::update
