// The update dialogs of checks a person asked for: one window at a time,
// modal to the application's active window.
#include <gtk/gtk.h>

#include <cstdio>
#include <functional>
#include <utility>

#include "gtk_object.h"
#include "platform_linux/update_framework.h"

namespace vellumark::linux_platform {
namespace {

constexpr char kTitle[] = "Software Update";
constexpr char kInfoDisplayName[] = "CFBundleDisplayName";
constexpr char kInfoName[] = "CFBundleName";
constexpr char kDefaultName[] = "Vellumark";

enum Response : int {
  kResponseInstall = 1,
  kResponseLater = 2,
};

class GtkUpdateUserDriver : public UpdateUserDriver {
 public:
  explicit GtkUpdateUserDriver(std::shared_ptr<platform::Bundle> bundle) {
    for (const char* key : {kInfoDisplayName, kInfoName}) {
      auto value = bundle ? bundle->objectForInfoDictionaryKey(key) : std::nullopt;
      const std::string* text = value ? value->asString() : nullptr;
      if (text != nullptr && !text->empty()) {
        appName_ = *text;
        break;
      }
    }
  }
  ~GtkUpdateUserDriver() override { dismiss(); }

  void showCheckingForUpdates(std::function<void()> cancel) override {
    GtkWidget* dialog = message(GTK_MESSAGE_OTHER, "Checking for updates\u2026", "");
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Cancel", GTK_RESPONSE_CANCEL);
    addSpinner(dialog);
    present(dialog, [cancel = std::move(cancel)](int response) {
      if (response == GTK_RESPONSE_CANCEL || response == GTK_RESPONSE_DELETE_EVENT) cancel();
    });
  }

  void showUpdateFound(const platform::AppcastItem& item,
                       std::function<void(bool)> reply) override {
    const std::string body = appName_ + " " + item.displayVersionString +
                             " is now available. Would you like to install it now?";
    GtkWidget* dialog =
        message(GTK_MESSAGE_QUESTION, "A new version of " + appName_ + " is available!", body);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Later", kResponseLater);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Install", kResponseInstall);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kResponseInstall);
    present(dialog,
            [reply = std::move(reply)](int response) { reply(response == kResponseInstall); });
    // Return installs, as the default button says.
    gtk_widget_grab_focus(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), kResponseInstall));
  }

  void showUpToDate(const std::string& currentVersion) override {
    GtkWidget* dialog =
        message(GTK_MESSAGE_INFO, "You\u2019re up to date!",
                appName_ + " " + currentVersion + " is currently the newest version available.");
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_OK", GTK_RESPONSE_OK);
    present(dialog, nullptr);
  }

  void showDownloadProgress(uint64_t received, uint64_t total,
                            std::function<void()> cancel) override {
    if (progress_ == nullptr || !current_) {
      GtkWidget* dialog = message(GTK_MESSAGE_OTHER, "Downloading update\u2026", "");
      gtk_dialog_add_button(GTK_DIALOG(dialog), "_Cancel", GTK_RESPONSE_CANCEL);
      GtkWidget* bar = gtk_progress_bar_new();
      gtk_box_pack_end(GTK_BOX(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))),
                       bar, FALSE, FALSE, 0);
      present(dialog, [cancel = std::move(cancel)](int response) {
        if (response == GTK_RESPONSE_CANCEL || response == GTK_RESPONSE_DELETE_EVENT) cancel();
      });
      progress_ = bar;
    }
    if (total > 0) {
      gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_),
                                    static_cast<double>(received) / static_cast<double>(total));
    } else {
      gtk_progress_bar_pulse(GTK_PROGRESS_BAR(progress_));
    }
  }

  void showInstalling() override {
    GtkWidget* dialog = message(GTK_MESSAGE_OTHER, "Installing update\u2026",
                                appName_ + " will restart when the update is installed.");
    addSpinner(dialog);
    present(dialog, nullptr);
  }

  void showError(const std::string& text) override {
    GtkWidget* dialog = message(GTK_MESSAGE_ERROR, "Update Error!", text);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_OK", GTK_RESPONSE_OK);
    present(dialog, nullptr);
  }

  void dismiss() override {
    gtk::GObjectPtr<GtkWidget> dialog = std::move(current_);
    progress_ = nullptr;
    onResponse_ = nullptr;
    responseHandler_.disconnect();
    // Held by reference: the main window may have destroyed it already.
    if (dialog) gtk_widget_destroy(dialog.get());
  }

 private:
  GtkWidget* message(GtkMessageType type, const std::string& primary,
                     const std::string& secondary) {
    dismiss();
    GtkWindow* parent = nullptr;
    if (GApplication* app = g_application_get_default();
        app != nullptr && GTK_IS_APPLICATION(app)) {
      parent = gtk_application_get_active_window(GTK_APPLICATION(app));
    }
    GtkWidget* dialog = gtk_message_dialog_new(
        parent, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        type, GTK_BUTTONS_NONE, "%s", primary.c_str());
    if (!secondary.empty()) {
      gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", secondary.c_str());
    }
    gtk_window_set_title(GTK_WINDOW(dialog), kTitle);
    return dialog;
  }

  static void addSpinner(GtkWidget* dialog) {
    GtkWidget* spinner = gtk_spinner_new();
    gtk_spinner_start(GTK_SPINNER(spinner));
    gtk_box_pack_end(GTK_BOX(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))),
                     spinner, FALSE, FALSE, 0);
  }

  // Shows `dialog`; its first response goes to `onResponse` and closes it.
  void present(GtkWidget* dialog, std::function<void(int)> onResponse) {
    current_ = gtk::retain(dialog);
    onResponse_ = std::move(onResponse);
    responseHandler_ =
        gtk::SignalConnection(dialog, "response", G_CALLBACK(&onDialogResponse), this);
    gtk_widget_show_all(dialog);
    gtk_window_present(GTK_WINDOW(dialog));
  }

  static void onDialogResponse(GtkDialog* /*dialog*/, gint response, gpointer data) {
    auto* self = static_cast<GtkUpdateUserDriver*>(data);
    auto handler = std::exchange(self->onResponse_, nullptr);
    self->dismiss();
    // The handler may show the next dialog.
    if (handler) handler(response);
  }

  std::string appName_ = kDefaultName;
  gtk::GObjectPtr<GtkWidget> current_;
  GtkWidget* progress_ = nullptr;
  std::function<void(int)> onResponse_;
  gtk::SignalConnection responseHandler_;
};

}  // namespace

std::shared_ptr<UpdateUserDriver> createGtkUpdateUserDriver(
    std::shared_ptr<platform::Bundle> bundle) {
  return std::make_shared<GtkUpdateUserDriver>(std::move(bundle));
}

}  // namespace vellumark::linux_platform
