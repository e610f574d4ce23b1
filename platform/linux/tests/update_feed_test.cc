// The feed side of the update framework: version order, appcast reading and
// the choice of update, and fetching over loopback HTTP and file URLs.
#include <gtest/gtest.h>

#include "../src/update_appcast.h"
#include "../src/update_fetch.h"
#include "../src/update_version.h"
#include "update_test_support.h"

namespace vellumark::linux_platform::update {
namespace {

using namespace update_test;
using namespace std::chrono_literals;

TEST(UpdateVersionTest, ComparesRunsPiecewise) {
  struct Row {
    const char* older;
    const char* newer;
  };
  const Row rows[] = {
      {"1.9", "1.10"},      {"1.0", "1.0.1"},    {"2.0b1", "2.0"},
      {"2.0a", "2.0b"},     {"1.0b9", "1.0b10"}, {"9", "10"},
      {"1.0a", "1.0.1"},    {"1.0b2", "1.0.1"},  {"99999999999999999998", "99999999999999999999"},
      {"1.2-rc1", "1.2.1"}, {"", "1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.older) + " < " + row.newer);
    EXPECT_LT(compareVersions(row.older, row.newer), 0);
    EXPECT_GT(compareVersions(row.newer, row.older), 0);
  }
  for (const char* same : {"1.0", "010.2", "1.0b1", ""}) {
    EXPECT_EQ(compareVersions(same, same), 0) << same;
  }
  EXPECT_EQ(compareVersions("01.2", "1.02"), 0);
}

TEST(UpdateAppcastTest, ReadsItemsAndPicksTheNewestApplicableOne) {
  const std::string xml = appcast(
      item("9", "https://u.example/9.tar.gz", "c2ln") +
      item("12", "https://u.example/12.tar.gz", "",
           "<sparkle:minimumSystemVersion>99.0</sparkle:minimumSystemVersion>") +
      item("10", "https://u.example/10.tar.gz",
           "c2lnMTA=", "<sparkle:minimumSystemVersion>5.10</sparkle:minimumSystemVersion>") +
      "<item><title>no version</title><enclosure url=\"x\"/></item>" +
      "<item><title>attributes</title><enclosure url=\"a.tgz\" sparkle:version=\"3\" "
      "length=\"oops\"/></item>");
  std::string error;
  auto items = parseAppcast(xml, &error);
  ASSERT_TRUE(items) << error;
  ASSERT_EQ(items->size(), 4u);
  const auto& ten = (*items)[2];
  EXPECT_EQ(ten.title, "Version 10");
  EXPECT_EQ(ten.versionString, "10");
  EXPECT_EQ(ten.displayVersionString, "10.0");
  EXPECT_EQ(ten.fileURL, "https://u.example/10.tar.gz");
  EXPECT_EQ(ten.contentLength, 10u);
  EXPECT_EQ(ten.edSignature, "c2lnMTA=");
  EXPECT_EQ(ten.minimumSystemVersion, "5.10");
  EXPECT_EQ((*items)[3].versionString, "3");
  EXPECT_EQ((*items)[3].displayVersionString, "3");
  EXPECT_FALSE((*items)[3].contentLength);

  // 12 needs a newer system; 10 needs 5.10, which 6.1 meets (and 5.9 not).
  EXPECT_EQ(bestUpdate(*items, "1", "6.1")->versionString, "10");
  EXPECT_EQ(bestUpdate(*items, "1", "5.9")->versionString, "9");
  EXPECT_EQ(bestUpdate(*items, "1", "99.0")->versionString, "12");
  EXPECT_FALSE(bestUpdate(*items, "10", "6.1"));
  EXPECT_FALSE(bestUpdate(*items, "11", "6.1"));
}

TEST(UpdateAppcastTest, RefusesWhatIsNoFeed) {
  for (const char* bad :
       {"", "<rss><channel>", "<html><body/></html>", "not xml at all",
        "<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><rss>&e;</rss>"}) {
    std::string error;
    auto items = parseAppcast(bad, &error);
    if (items) {
      // An entity is never expanded into the document.
      EXPECT_TRUE(items->empty()) << bad;
    } else {
      EXPECT_FALSE(error.empty()) << bad;
    }
  }
  std::string error;
  EXPECT_FALSE(parseAppcast("<html/>", &error));
  EXPECT_NE(error.find("not an RSS document"), std::string::npos) << error;
}

TEST(UpdateFetchTest, FetchesOverLoopbackAndFileUrlsAndNamesFailures) {
  LoopbackServer server;
  server.route("/feed.xml", {200, "<rss/>", false});
  server.route("/hang", {200, "", true});
  TempDir dir;
  writeText(dir.path / "feed.xml", "<rss>file</rss>");
  FetchLimits limits;
  limits.stallTimeout = 1s;
  limits.feedTimeout = 5s;
  const std::atomic<bool> running{false};

  auto ok = fetchText(server.url("/feed.xml"), limits, running);
  EXPECT_TRUE(ok.ok) << ok.error;
  EXPECT_EQ(ok.body, "<rss/>");
  auto file = fetchText("file://" + (dir.path / "feed.xml").string(), limits, running);
  EXPECT_TRUE(file.ok) << file.error;
  EXPECT_EQ(file.body, "<rss>file</rss>");

  auto missing = fetchText(server.url("/nothing"), limits, running);
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("HTTP 404"), std::string::npos) << missing.error;
  EXPECT_NE(missing.error.find(server.url("/nothing")), std::string::npos) << missing.error;

  auto noFile = fetchText("file://" + (dir.path / "gone.xml").string(), limits, running);
  EXPECT_FALSE(noFile.ok);

  auto refused = fetchText("ftp://127.0.0.1/feed.xml", limits, running);
  EXPECT_FALSE(refused.ok);

  auto stalled = fetchText(server.url("/hang"), limits, running);
  EXPECT_FALSE(stalled.ok);
  EXPECT_FALSE(stalled.error.empty());

  limits.maxFeedBytes = 3;
  auto large = fetchText(server.url("/feed.xml"), limits, running);
  EXPECT_FALSE(large.ok);
  EXPECT_NE(large.error.find("larger than 3 bytes"), std::string::npos) << large.error;

  const std::atomic<bool> cancelled{true};
  EXPECT_FALSE(fetchText(server.url("/feed.xml"), FetchLimits{}, cancelled).ok);
}

}  // namespace
}  // namespace vellumark::linux_platform::update
