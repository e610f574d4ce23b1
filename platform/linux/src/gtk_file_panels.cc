#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gtk_object.h"
#include "gtk_ui_view.h"
#include "platform_linux/file_services.h"

namespace vellumark::linux_platform {

namespace {

using gtk::GCharPtr;
using gtk::GObjectPtr;
using gtk::SignalConnection;

constexpr char kOpenTitle[] = "Open";
constexpr char kSaveTitle[] = "Save";

// One open or save panel: the settings are kept until it is shown, then a
// GtkFileChooserNative (the portal's chooser when sandboxed) shows them,
// modal and transient for the view's window, without holding the main loop.
class GtkFilePanel : public platform::OpenPanel, public std::enable_shared_from_this<GtkFilePanel> {
 public:
  explicit GtkFilePanel(bool save) : save_(save) {}
  ~GtkFilePanel() override { close(); }
  GtkFilePanel(const GtkFilePanel&) = delete;
  GtkFilePanel& operator=(const GtkFilePanel&) = delete;

  void setDirectory(const std::string& path) override { directory_ = path; }
  void setShowsHiddenFiles(bool shows) override { showsHidden_ = shows; }
  void setTitle(const std::string& title) override { title_ = title; }
  // GTK's chooser has no tag field.
  void setShowsTagField(bool /*shows*/) override {}
  void setCanCreateDirectories(bool can) override { canCreateDirectories_ = can; }
  void setNameFieldStringValue(const std::string& name) override { name_ = name; }
  void setAllowedContentTypes(std::vector<platform::ContentType> types) override {
    types_ = std::move(types);
  }
  void setAllowsMultipleSelection(bool allows) override { multiple_ = allows; }
  void setCanChooseDirectories(bool can) override { canChooseDirectories_ = can; }
  void setCanChooseFiles(bool can) override { canChooseFiles_ = can; }

  bool beginSheetModalForView(platform::View* view,
                              std::function<void(platform::ModalResponse)> completion) override {
    auto* uiView = dynamic_cast<gtk::GtkUiView*>(view);
    if (uiView == nullptr || dialog_) return false;
    GtkWidget* toplevel = gtk_widget_get_toplevel(uiView->widget());
    if (toplevel == nullptr || !gtk_widget_is_toplevel(toplevel) || !GTK_IS_WINDOW(toplevel)) {
      return false;
    }
    GtkWindow* parent = GTK_WINDOW(toplevel);

    dialog_ = gtk::adopt(
        gtk_file_chooser_native_new(title().c_str(), parent, action(), nullptr, nullptr));
    configure(GTK_FILE_CHOOSER(dialog_.get()));
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog_.get()), TRUE);
    response_ =
        SignalConnection(dialog_.get(), "response", G_CALLBACK(&GtkFilePanel::onResponse), this);
    // A window that goes while the panel shows (the application quits)
    // cancels it, so the call is still answered.
    parentGone_ =
        SignalConnection(parent, "destroy", G_CALLBACK(&GtkFilePanel::onParentGone), this);
    completion_ = std::move(completion);
    self_ = shared_from_this();
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog_.get()));
    return true;
  }

  std::optional<std::string> path() const override {
    if (paths_.empty()) return std::nullopt;
    return paths_.front();
  }
  std::vector<std::string> paths() const override { return paths_; }

 private:
  GtkFileChooserAction action() const {
    if (save_) return GTK_FILE_CHOOSER_ACTION_SAVE;
    // GTK chooses either files or folders; a panel for both takes files and
    // opens folders.
    if (canChooseDirectories_ && !canChooseFiles_) return GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER;
    return GTK_FILE_CHOOSER_ACTION_OPEN;
  }

  std::string title() const {
    if (!title_.empty()) return title_;
    return save_ ? kSaveTitle : kOpenTitle;
  }

  void configure(GtkFileChooser* chooser) const {
    gtk_file_chooser_set_local_only(chooser, TRUE);
    // A folder that is not there leaves the chooser where it would open.
    if (!directory_.empty() && g_file_test(directory_.c_str(), G_FILE_TEST_IS_DIR)) {
      gtk_file_chooser_set_current_folder(chooser, directory_.c_str());
    }
    gtk_file_chooser_set_show_hidden(chooser, showsHidden_ ? TRUE : FALSE);
    if (save_) {
      gtk_file_chooser_set_create_folders(chooser, canCreateDirectories_ ? TRUE : FALSE);
      gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
      gtk_file_chooser_set_current_name(chooser, name_.c_str());
    } else {
      gtk_file_chooser_set_select_multiple(chooser, multiple_ ? TRUE : FALSE);
    }
    // No allowed types: every file may be chosen.
    if (!types_.empty()) {
      GtkFileFilter* filter = gtk_file_filter_new();
      std::string name;
      for (const auto& type : types_) {
        gtk_file_filter_add_mime_type(filter, type.identifier.c_str());
        GCharPtr description(g_content_type_get_description(type.identifier.c_str()));
        if (!name.empty()) name += ", ";
        name += description ? description.get() : type.identifier;
      }
      gtk_file_filter_set_name(filter, name.c_str());
      gtk_file_chooser_add_filter(chooser, filter);  // takes the floating reference
    }
  }

  static void onResponse(GtkNativeDialog* dialog, gint response, gpointer data) {
    auto* self = static_cast<GtkFilePanel*>(data);
    if (response == GTK_RESPONSE_ACCEPT) {
      GSList* files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog));
      for (GSList* it = files; it != nullptr; it = it->next) {
        GCharPtr path(g_file_get_path(G_FILE(it->data)));
        if (path) self->paths_.emplace_back(path.get());
      }
      g_slist_free_full(files, g_object_unref);
    }
    self->finish(response == GTK_RESPONSE_ACCEPT ? platform::ModalResponse::OK
                                                 : platform::ModalResponse::Cancel);
  }

  static void onParentGone(GtkWidget* /*parent*/, gpointer data) {
    auto* self = static_cast<GtkFilePanel*>(data);
    const std::shared_ptr<GtkFilePanel> keep = self->shared_from_this();
    if (self->dialog_) gtk_native_dialog_hide(GTK_NATIVE_DIALOG(self->dialog_.get()));
    self->finish(platform::ModalResponse::Cancel);
  }

  // Answers once; the completion may hold the last reference to the panel,
  // so `self_` keeps it alive to the end of this call.
  void finish(platform::ModalResponse response) {
    std::shared_ptr<GtkFilePanel> keep = std::move(self_);
    auto completion = std::move(completion_);
    completion_ = nullptr;
    response_.disconnect();
    parentGone_.disconnect();
    if (completion) completion(response);
  }

  void close() {
    response_.disconnect();
    parentGone_.disconnect();
    if (dialog_) gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(dialog_.get()));
  }

  const bool save_;
  std::string directory_;
  bool showsHidden_ = false;
  std::string title_;
  bool canCreateDirectories_ = false;
  std::string name_;
  std::vector<platform::ContentType> types_;
  bool multiple_ = false;
  bool canChooseDirectories_ = false;
  bool canChooseFiles_ = true;

  GObjectPtr<GtkFileChooserNative> dialog_;
  SignalConnection response_;
  SignalConnection parentGone_;
  std::function<void(platform::ModalResponse)> completion_;
  std::shared_ptr<GtkFilePanel> self_;
  std::vector<std::string> paths_;
};

class GtkFilePanels : public platform::FilePanels {
 public:
  std::shared_ptr<platform::OpenPanel> openPanel() override {
    return std::make_shared<GtkFilePanel>(false);
  }
  std::shared_ptr<platform::SavePanel> savePanel() override {
    return std::make_shared<GtkFilePanel>(true);
  }
};

}  // namespace

std::shared_ptr<platform::FilePanels> createFilePanels() {
  return std::make_shared<GtkFilePanels>();
}

}  // namespace vellumark::linux_platform
