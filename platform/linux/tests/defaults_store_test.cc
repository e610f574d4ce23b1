// The user-defaults store on real files in a temporary folder: value types,
// the merged view, refused suites, damaged files, and writers in other
// processes (killed mid-write, or racing on different keys).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "../src/defaults_plist.h"
#include "platform_linux/user_defaults.h"

namespace vellumark::linux_platform {
namespace {

namespace fs = std::filesystem;
using platform::DefaultsArray;
using platform::DefaultsData;
using platform::DefaultsDate;
using platform::DefaultsDictionary;
using platform::DefaultsValue;

constexpr char kApp[] = "com.example.app";

class DefaultsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vellumark-defaults.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    folder = root / "config/vellumark";
    defaults = makeUserDefaults(folder.string(), kApp);
  }
  void TearDown() override { fs::remove_all(root); }

  void set(platform::UserDefaultsStore& store, const std::string& key, DefaultsValue value) {
    std::string error;
    ASSERT_TRUE(store.setObject(key, value, error)) << error;
  }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The domain file parsed, or nullopt.
  std::optional<DefaultsDictionary> parsed(const std::string& domain) {
    std::string why;
    auto rootNode = defaults::parseDomain(read(folder / (domain + ".plist")), why);
    if (!rootNode) return std::nullopt;
    return defaults::toDictionary(rootNode.get());
  }
  std::vector<std::string> corruptFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename().string().find(".corrupt-") != std::string::npos) {
        names.push_back(entry.path().filename().string());
      }
    }
    return names;
  }

  fs::path root;
  fs::path folder;
  std::shared_ptr<platform::UserDefaults> defaults;
};

TEST_F(DefaultsStoreTest, ValuesKeepTheirTypes) {
  // Making the store and opening a suite touch no file.
  auto store = defaults->standardUserDefaults();
  ASSERT_NE(defaults->openSuite("suite"), nullptr);
  EXPECT_FALSE(fs::exists(root / "config"));

  const DefaultsDictionary values = {
      {"true", {true}},
      {"false", {false}},
      {"negative", {int64_t{-5}}},
      {"min", {std::numeric_limits<int64_t>::min()}},
      {"max", {std::numeric_limits<int64_t>::max()}},
      {"double", {0.1 + 0.2}},
      {"whole double", {2.0}},
      {"string", {std::string("h\xc3\xa9llo \xf0\x9f\x94\x91")}},
      {"empty string", {std::string()}},
      {"data", {DefaultsData{0, 1, 255}}},
      {"empty data", {DefaultsData{}}},
      {"date", {DefaultsDate{7.25}}},
      {"array", {DefaultsArray{{int64_t{1}}, {std::string("x")}, {DefaultsArray{}}}}},
      {"dict", {DefaultsDictionary{{"inner", {DefaultsDictionary{{"k", {false}}}}}}}},
  };
  for (const auto& [key, value] : values) set(*store, key, value);
  for (const auto& [key, value] : values) EXPECT_EQ(store->objectForKey(key), value) << key;
  EXPECT_EQ(store->persistentDomainForName(kApp), values);
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(folder / "com.example.app.plist").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(DefaultsStoreTest, UnstorableValuesWriteNothing) {
  auto store = defaults->standardUserDefaults();
  set(*store, "kept", {true});
  const std::string before = read(folder / "com.example.app.plist");
  std::string error;
  EXPECT_FALSE(store->setObject("k", {std::string("a\0b", 3)}, error));
  EXPECT_NE(error.find("NUL"), std::string::npos) << error;
  EXPECT_FALSE(store->setObject(std::string("k\0", 2), {true}, error));
  EXPECT_FALSE(store->setObject("k", {DefaultsDictionary{{std::string("a\0", 2), {true}}}}, error));
  DefaultsValue deep{DefaultsArray{}};
  for (int i = 0; i < 300; ++i) deep = DefaultsValue{DefaultsArray{deep}};
  EXPECT_FALSE(store->setObject("k", deep, error));
  EXPECT_EQ(read(folder / "com.example.app.plist"), before);
}

TEST_F(DefaultsStoreTest, MergedViewAndDomains) {
  auto global = makeUserDefaults(folder.string(), ".GlobalPreferences")->standardUserDefaults();
  set(*global, "shared", {std::string("global")});
  set(*global, "onlyGlobal", {int64_t{1}});
  auto app = defaults->standardUserDefaults();
  set(*app, "shared", {std::string("app")});
  auto suite = defaults->openSuite("group.one");
  set(*suite, "inSuite", {true});

  EXPECT_EQ(app->objectForKey("shared"), DefaultsValue{std::string("app")});
  EXPECT_EQ(app->objectForKey("onlyGlobal"), DefaultsValue{int64_t{1}});
  EXPECT_EQ(app->objectForKey("inSuite"), std::nullopt);
  EXPECT_EQ(suite->objectForKey("shared"), DefaultsValue{std::string("global")});
  EXPECT_EQ(app->dictionaryRepresentation(),
            (DefaultsDictionary{{"shared", {std::string("app")}}, {"onlyGlobal", {int64_t{1}}}}));
  EXPECT_EQ(app->persistentDomainForName("group.one"), (DefaultsDictionary{{"inSuite", {true}}}));
  EXPECT_EQ(app->persistentDomainForName("nothing"), std::nullopt);

  // Removal changes the opened domain only; absent keys are no error.
  std::string error;
  ASSERT_TRUE(app->removeObjectsForKeys({"shared", "onlyGlobal", "absent"}, error)) << error;
  EXPECT_EQ(app->objectForKey("shared"), DefaultsValue{std::string("global")});
  EXPECT_EQ(global->objectForKey("onlyGlobal"), DefaultsValue{int64_t{1}});
}

TEST_F(DefaultsStoreTest, RefusedSuiteNames) {
  for (const std::string& name :
       {std::string("NSGlobalDomain"), std::string(".GlobalPreferences"), std::string(),
        std::string("a/b"), std::string("a\0b", 3), std::string(201, 'x')}) {
    EXPECT_EQ(defaults->openSuite(name), nullptr) << name;
  }
  for (const std::string& name :
       {std::string(200, 'x'), std::string(".."), std::string(kApp), std::string("with space")}) {
    EXPECT_NE(defaults->openSuite(name), nullptr) << name;
  }
}

TEST_F(DefaultsStoreTest, DamagedFilesAreMovedAsideNotOverwritten) {
  fs::create_directories(folder);
  for (const std::string& content :
       {std::string("not a plist"), std::string(), std::string("bplist00\x01\x02", 10),
        std::string("<?xml version=\"1.0\"?><plist><array/></plist>")}) {
    std::ofstream(folder / "com.example.app.plist", std::ios::binary) << content;
    auto store = defaults->standardUserDefaults();
    EXPECT_EQ(store->objectForKey("k"), std::nullopt);
    EXPECT_EQ(store->persistentDomainForName(kApp), std::nullopt);
    EXPECT_FALSE(fs::exists(folder / "com.example.app.plist"));
    ASSERT_EQ(corruptFiles().size(), 1U);
    EXPECT_EQ(read(folder / corruptFiles()[0]), content);
    set(*store, "k", {true});
    EXPECT_EQ(store->objectForKey("k"), DefaultsValue{true});
    for (const auto& name : corruptFiles()) fs::remove(folder / name);
  }
}

TEST_F(DefaultsStoreTest, ChangesByAnotherWriterAreSeenAtOnce) {
  auto store = defaults->standardUserDefaults();
  set(*makeUserDefaults(folder.string(), kApp)->standardUserDefaults(), "k", {int64_t{1}});
  EXPECT_EQ(store->objectForKey("k"), DefaultsValue{int64_t{1}});
  set(*makeUserDefaults(folder.string(), kApp)->standardUserDefaults(), "k", {int64_t{2}});
  EXPECT_EQ(store->objectForKey("k"), DefaultsValue{int64_t{2}});
}

TEST_F(DefaultsStoreTest, AWriterKilledMidWriteNeverLeavesATornFile) {
  auto store = defaults->standardUserDefaults();
  set(*store, "generation", {int64_t{0}});
  std::mt19937 random(42);
  for (int round = 0; round < 25; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Large values keep the writer busy inside its write most of the time.
      auto writer = makeUserDefaults(folder.string(), kApp)->standardUserDefaults();
      std::string error;
      for (int64_t i = 1;; ++i) {
        writer->setObject("generation", {i}, error);
        writer->setObject("payload", {std::string(static_cast<size_t>(256 * 1024), 'p')}, error);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    const auto values = parsed(kApp);
    ASSERT_TRUE(values) << "round " << round << ": the file does not parse";
    ASSERT_TRUE(values->contains("generation")) << "round " << round;
  }
  EXPECT_TRUE(corruptFiles().empty());
  // The next write sweeps the temporary files killed writers left.
  set(*store, "after", {true});
  for (const auto& entry : fs::directory_iterator(folder)) {
    EXPECT_FALSE(entry.path().extension() == ".tmp") << entry.path();
  }
}

TEST_F(DefaultsStoreTest, TwoProcessesWritingDifferentKeysLoseNone) {
  constexpr int kKeys = 1000;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      auto writer = makeUserDefaults(folder.string(), kApp)->standardUserDefaults();
      std::string error;
      int failures = 0;
      for (int i = 0; i < kKeys; ++i) {
        if (!writer->setObject(std::to_string(c) + "-" + std::to_string(i), {int64_t{i}}, error)) {
          ++failures;
        }
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto values = defaults->standardUserDefaults()->persistentDomainForName(kApp);
  ASSERT_TRUE(values);
  EXPECT_EQ(values->size(), 2U * kKeys);
  EXPECT_EQ(values->at("1-999"), DefaultsValue{int64_t{999}});
}

}  // namespace
}  // namespace vellumark::linux_platform
