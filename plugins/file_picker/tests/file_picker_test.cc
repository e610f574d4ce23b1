// The file picker through the real codec, with scripted panels, entitlements
// and content types.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "embedding/engine.h"
#include "embedding/testing.h"
#include "file_picker/file_picker_plugin.h"
#include "platform_fakes/fake_file_panels.h"

namespace vellumark {
namespace {

using platform::InfoValue;
using platform::ModalResponse;
using platform::fakes::FakeContentTypes;
using platform::fakes::FakeEntitlements;
using platform::fakes::FakeFilePanels;
using platform::fakes::FakePanel;
using ::testing::ElementsAre;

constexpr char kChannel[] = "zorbeline.flutter.plugins.filepicker";
constexpr char kReadOnly[] = "com.apple.security.files.user-selected.read-only";
constexpr char kReadWrite[] = "com.apple.security.files.user-selected.read-write";

class FilePickerTest : public ::testing::Test {
 protected:
  FilePickerTest() {
    entitlements->values[kReadWrite] = InfoValue{true};
    platform::Services services;
    services.entitlements = entitlements;
    services.filePanels = panels;
    services.contentTypes = contentTypes;
    controller = std::make_unique<FlutterViewController>(&view, services);
    FilePickerPlugin::registerWithRegistrar(controller->registrarForPlugin("FilePickerPlugin"));
    ui = std::make_unique<testing::TestUi>(controller->engine().binaryMessenger());
  }

  // Sends the call; its answer, once there is one.
  void call(const std::string& method, const ChannelValue& args = ChannelMap{}) {
    answer.reset();
    ui->callAsync(kChannel, method, args, [this](const MethodResponse& r) { answer = r; });
  }
  ChannelValue value() const {
    EXPECT_TRUE(answer.has_value());
    const auto* v = answer ? std::get_if<ChannelValue>(&*answer) : nullptr;
    EXPECT_NE(v, nullptr);
    return v != nullptr ? *v : ChannelValue("<no value>");
  }
  std::string errorCode() const {
    const auto* e = answer ? std::get_if<ChannelError>(&*answer) : nullptr;
    return e != nullptr ? e->code : "<no error>";
  }
  std::shared_ptr<FakePanel> panel() const { return panels->last(); }

  platform::View view;
  std::shared_ptr<FakeEntitlements> entitlements = std::make_shared<FakeEntitlements>();
  std::shared_ptr<FakeFilePanels> panels = std::make_shared<FakeFilePanels>();
  std::shared_ptr<FakeContentTypes> contentTypes = std::make_shared<FakeContentTypes>();
  std::unique_ptr<FlutterViewController> controller;
  std::unique_ptr<testing::TestUi> ui;
  std::optional<MethodResponse> answer;
};

TEST_F(FilePickerTest, EntitlementsDecideBeforeAnyPanel) {
  struct Case {
    const char* name;
    std::map<std::string, InfoValue> values;
    bool unavailable;
    const char* readOutcome;  // "" when the panel shows
    const char* writeOutcome;
  };
  const std::vector<Case> cases = {
      {"none", {}, false, "ENTITLEMENT_NOT_FOUND", "ENTITLEMENT_REQUIRED_WRITE"},
      {"read-only", {{kReadOnly, InfoValue{true}}}, false, "", "ENTITLEMENT_REQUIRED_WRITE"},
      {"read-write", {{kReadWrite, InfoValue{true}}}, false, "", ""},
      {"read-write false",
       {{kReadWrite, InfoValue{false}}},
       false,
       "ENTITLEMENT_NOT_FOUND",
       "ENTITLEMENT_REQUIRED_WRITE"},
      {"read-write as a string",
       {{kReadWrite, InfoValue{std::string("true")}}, {kReadOnly, InfoValue{int64_t{1}}}},
       false,
       "ENTITLEMENT_NOT_FOUND",
       "ENTITLEMENT_REQUIRED_WRITE"},
      {"no task",
       {{kReadWrite, InfoValue{true}}},
       true,
       "ENTITLEMENT_CHECK_FAILED",
       "ENTITLEMENT_CHECK_FAILED"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    entitlements->values = c.values;
    entitlements->unavailable = c.unavailable;
    for (const char* method :
         {"pickFiles", "getDirectoryPath", "pickFileAndDirectoryPaths", "saveFile"}) {
      SCOPED_TRACE(method);
      const std::string expected =
          std::string(method) == "saveFile" ? c.writeOutcome : c.readOutcome;
      const size_t before = panels->made.size();
      call(method, ChannelValue());  // not even a map: the check still comes first
      if (expected.empty()) {
        ASSERT_EQ(panels->made.size(), before + 1);
        ASSERT_TRUE(panel()->respond(ModalResponse::Cancel));
        EXPECT_TRUE(value().isNull());
      } else {
        EXPECT_EQ(errorCode(), expected);
        EXPECT_EQ(panels->made.size(), before);
      }
      EXPECT_EQ(*entitlements->liveTasks, 0) << "the task is released after the check";
    }
  }
}

TEST_F(FilePickerTest, SkippingChecksIsOneWayAndUnknownMethodsLeaveItAlone) {
  entitlements->values.clear();
  ASSERT_EQ(ui->call(kChannel, "SkipEntitlementsChecks"),
            MethodResponse(FlutterMethodNotImplemented));
  call("saveFile");
  EXPECT_EQ(errorCode(), "ENTITLEMENT_REQUIRED_WRITE");

  EXPECT_EQ(ui->call(kChannel, "skipEntitlementsChecks"), MethodResponse(ChannelValue()));
  entitlements->unavailable = true;
  const int tasks = entitlements->tasksCreated;
  for (const char* method :
       {"pickFiles", "getDirectoryPath", "pickFileAndDirectoryPaths", "saveFile"}) {
    call(method);
    ASSERT_TRUE(panel() && panel()->showing) << method;
    panel()->respond(ModalResponse::Cancel);
  }
  EXPECT_EQ(entitlements->tasksCreated, tasks) << "no task is asked for once checks are skipped";
}

TEST_F(FilePickerTest, PanelsAreConfiguredInOrderWithFallbacksForOddArguments) {
  call("pickFiles", ChannelMap{{"initialDirectory", "/data"},
                               {"allowMultiple", true},
                               {"allowedExtensions", ChannelList{"pdf"}}});
  EXPECT_THAT(panel()->calls,
              ElementsAre("setDirectory(/data)", "setShowsHiddenFiles(false)",
                          "setAllowsMultipleSelection(true)", "setCanChooseDirectories(false)",
                          "setCanChooseFiles(true)", "setAllowedContentTypes(application/pdf)",
                          "beginSheet"));
  EXPECT_EQ(panel()->kind, FakePanel::Kind::Open);
  EXPECT_EQ(panel()->shownFor, &view);
  panel()->respond(ModalResponse::Cancel);

  // A number is no bool, "" is no folder, a list with a non-string is no list.
  call("pickFiles", ChannelMap{{"initialDirectory", ""},
                               {"allowMultiple", int32_t{1}},
                               {"allowedExtensions", ChannelList{"pdf", int32_t{3}}}});
  EXPECT_THAT(
      panel()->calls,
      ElementsAre("setShowsHiddenFiles(false)", "setAllowsMultipleSelection(false)",
                  "setCanChooseDirectories(false)", "setCanChooseFiles(true)", "beginSheet"));
  panel()->respond(ModalResponse::Cancel);

  call("getDirectoryPath",
       ChannelMap{{"initialDirectory", "/d"}, {"allowedExtensions", ChannelList{"pdf"}}});
  EXPECT_THAT(panel()->calls,
              ElementsAre("setDirectory(/d)", "setShowsHiddenFiles(false)",
                          "setAllowsMultipleSelection(false)", "setCanChooseDirectories(true)",
                          "setCanChooseFiles(false)", "beginSheet"));
  panel()->respond(ModalResponse::Cancel);

  call("pickFileAndDirectoryPaths", ChannelMap{{"allowMultiple", false}});
  EXPECT_THAT(
      panel()->calls,
      ElementsAre("setShowsHiddenFiles(false)", "setAllowsMultipleSelection(true)",
                  "setCanChooseDirectories(true)", "setCanChooseFiles(true)", "beginSheet"));
  panel()->respond(ModalResponse::Cancel);

  call("saveFile", ChannelMap{{"dialogTitle", "Export"},
                              {"fileName", "signed.pdf"},
                              {"initialDirectory", "/out"},
                              {"allowedExtensions", ChannelList{"pdf", "txt"}}});
  EXPECT_EQ(panel()->kind, FakePanel::Kind::Save);
  EXPECT_THAT(panel()->calls,
              ElementsAre("setTitle(Export)", "setShowsTagField(false)",
                          "setShowsHiddenFiles(false)", "setCanCreateDirectories(true)",
                          "setNameFieldStringValue(signed.pdf)", "setDirectory(/out)",
                          "setAllowedContentTypes(application/pdf,text/plain)", "beginSheet"));
  panel()->respond(ModalResponse::Cancel);

  call("saveFile", ChannelMap{{"dialogTitle", int32_t{5}}});
  EXPECT_THAT(
      panel()->calls,
      ElementsAre("setTitle()", "setShowsTagField(false)", "setShowsHiddenFiles(false)",
                  "setCanCreateDirectories(true)", "setNameFieldStringValue()", "beginSheet"));
  panel()->respond(ModalResponse::Cancel);
}

TEST_F(FilePickerTest, UnknownExtensionsAreSkippedButTheFilterIsStillSet) {
  call("pickFiles", ChannelMap{{"allowedExtensions", ChannelList{"zzq", "pdf", "qqz"}}});
  ASSERT_TRUE(panel()->allowedTypes);
  EXPECT_EQ(*panel()->allowedTypes, std::vector<platform::ContentType>{{"application/pdf"}});
  panel()->respond(ModalResponse::Cancel);

  call("pickFileAndDirectoryPaths", ChannelMap{{"allowedExtensions", ChannelList{"zzq"}}});
  ASSERT_TRUE(panel()->allowedTypes) << "set, and empty";
  EXPECT_TRUE(panel()->allowedTypes->empty());
  panel()->respond(ModalResponse::Cancel);

  call("pickFiles", ChannelMap{{"allowedExtensions", ChannelList{}}});
  EXPECT_FALSE(panel()->allowedTypes) << "an empty list changes nothing";
  panel()->respond(ModalResponse::Cancel);
}

TEST_F(FilePickerTest, RepliesHaveTheShapeOfTheirMethod) {
  call("pickFiles");
  panel()->respond(ModalResponse::OK, {"/a/one.pdf"});
  EXPECT_EQ(value(), ChannelValue(ChannelList{"/a/one.pdf"})) << "a list even for one file";

  call("pickFiles", ChannelMap{{"allowMultiple", true}});
  panel()->respond(ModalResponse::OK, {"/a/1", "/b/2"});
  EXPECT_EQ(value(), ChannelValue(ChannelList{"/a/1", "/b/2"}));

  call("pickFileAndDirectoryPaths");
  panel()->respond(ModalResponse::OK, {"/dir", "/f"});
  EXPECT_EQ(value(), ChannelValue(ChannelList{"/dir", "/f"}));

  call("getDirectoryPath");
  panel()->respond(ModalResponse::OK, {"/chosen/dir"});
  EXPECT_EQ(value(), ChannelValue("/chosen/dir"));

  call("saveFile");
  panel()->respond(ModalResponse::OK, {"/out/x.pdf"});
  EXPECT_EQ(value(), ChannelValue("/out/x.pdf"));

  // Cancel, and OK without a choice, are null, never an empty list.
  for (const char* method :
       {"pickFiles", "getDirectoryPath", "pickFileAndDirectoryPaths", "saveFile"}) {
    SCOPED_TRACE(method);
    call(method, ChannelMap{{"allowMultiple", true}});
    panel()->respond(ModalResponse::Cancel, {"/ignored"});
    EXPECT_TRUE(value().isNull());
    call(method, ChannelMap{{"allowMultiple", true}});
    panel()->respond(ModalResponse::OK, {});
    EXPECT_TRUE(value().isNull());
  }
}

TEST_F(FilePickerTest, NoWindowAnswersNullAtOnceAndPanelsGoAfterTheirReply) {
  panels->noWindow = true;
  call("saveFile");
  EXPECT_TRUE(value().isNull());
  EXPECT_FALSE(panel()) << "the panel that could not show is gone";

  panels->noWindow = false;
  call("pickFiles");
  EXPECT_FALSE(answer.has_value()) << "the main loop is not held while the panel shows";
  std::weak_ptr<FakePanel> shown = panel();
  shown.lock()->respond(ModalResponse::OK, {"/x"});
  EXPECT_TRUE(answer.has_value());
  EXPECT_TRUE(shown.expired());
}

}  // namespace
}  // namespace vellumark
