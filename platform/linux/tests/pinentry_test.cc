// The pinentry PIN dialog: Assuan escaping and answers through the tests'
// stand-in, program choice, and one conversation with the real pinentry-tty.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "softhsm_fixture.h"

namespace vellumark::linux_platform::testing {
namespace {

using Outcome = PinReply::Outcome;

std::string pinText(const PinReply& reply) {
  return std::string(reply.pin.data(), reply.pin.size());
}

class PinentryTest : public TokenTest {
 protected:
  std::shared_ptr<PinPrompt> standinPrompt() {
    PinentryOptions options;
    options.program = Fixtures::get().standin.string();
    options.timeoutSeconds = 30;
    return createPinentryPrompt(options);
  }
};

TEST_F(PinentryTest, TextsAreEscapedAndAnswersDecoded) {
  script({"PIN:a%25b%0Ac d"});
  PinRequest request{"100% sure\nsecond line", "PIN:", "Wrong PIN", true};
  PinReply reply = standinPrompt()->ask(request);
  ASSERT_EQ(reply.outcome, Outcome::Entered) << reply.failure;
  EXPECT_EQ(pinText(reply), "a%b\nc d");

  auto commands = dialogCommands();
  auto has = [&](const std::string& line) {
    return std::find(commands.begin(), commands.end(), line) != commands.end();
  };
  EXPECT_TRUE(has("SETDESC 100%25 sure%0Asecond line"));
  EXPECT_TRUE(has("SETPROMPT PIN:"));
  EXPECT_TRUE(has("SETERROR Wrong PIN"));
  EXPECT_TRUE(has("SETTIMEOUT 30"));
  EXPECT_EQ(commands.back(), "BYE");
}

TEST_F(PinentryTest, EmptyPinCancelTimeoutAndBrokenPrograms) {
  script({"PIN:", "CANCEL", "TIMEOUT", "DIE", "GARBLE"});
  auto prompt = standinPrompt();
  PinRequest request{"d", "PIN:", "", false};

  PinReply empty = prompt->ask(request);
  EXPECT_EQ(empty.outcome, Outcome::Entered);
  EXPECT_TRUE(empty.pin.empty());
  EXPECT_EQ(prompt->ask(request).outcome, Outcome::Cancelled);
  EXPECT_EQ(prompt->ask(request).outcome, Outcome::TimedOut);
  PinReply died = prompt->ask(request);
  EXPECT_EQ(died.outcome, Outcome::Failed);
  EXPECT_FALSE(died.failure.empty());
  PinReply error = prompt->ask(request);
  EXPECT_EQ(error.outcome, Outcome::Failed);
  EXPECT_NE(error.failure.find("General error"), std::string::npos) << error.failure;
  // No error line was sent when there was none.
  for (const auto& line : dialogCommands()) EXPECT_FALSE(line.starts_with("SETERROR"));

  PinentryOptions missing;
  missing.program = "/nonexistent/pinentry";
  PinReply none = createPinentryPrompt(missing)->ask(request);
  EXPECT_EQ(none.outcome, Outcome::Failed);
  EXPECT_NE(none.failure.find("/nonexistent/pinentry"), std::string::npos);
}

TEST_F(PinentryTest, DialogIsTransientForTheWindowWhenItIsKnown) {
  script({"PIN:1", "PIN:2"});
  std::string window = "3a00007";
  PinentryOptions options;
  options.program = Fixtures::get().standin.string();
  options.parentWindowId = [&window] { return window; };
  auto prompt = createPinentryPrompt(options);
  ASSERT_EQ(prompt->ask({"d", "PIN:", "", false}).outcome, Outcome::Entered);
  window.clear();  // the window is gone: nothing is sent
  ASSERT_EQ(prompt->ask({"d", "PIN:", "", false}).outcome, Outcome::Entered);
  int sent = 0;
  for (const auto& line : dialogCommands()) {
    if (line.starts_with("OPTION parent-wid")) {
      EXPECT_EQ(line, "OPTION parent-wid=3a00007");
      ++sent;
    }
  }
  EXPECT_EQ(sent, 1);
}

TEST_F(PinentryTest, CancellationEndsTheDialogAtOnce) {
  auto prompt = standinPrompt();
  Cancellation cancellation;
  PinRequest request{"d", "PIN:", "", false, &cancellation};

  // Set before the ask: no dialog is started at all.
  cancellation.cancel();
  EXPECT_EQ(prompt->ask(request).outcome, Outcome::Cancelled);
  EXPECT_EQ(timesAsked(), 0);
  EXPECT_TRUE(dialogCommands().empty());

  // Set from another thread while nobody answers.
  cancellation.reset();
  script({"BLOCK"});
  std::thread other([&] {
    while (timesAsked() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cancellation.cancel();
  });
  PinReply reply = prompt->ask(request);
  other.join();
  EXPECT_EQ(reply.outcome, Outcome::Cancelled);
  EXPECT_TRUE(reply.pin.empty());
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // Reset, the same cancellation lets the next dialog be answered.
  cancellation.reset();
  script({"PIN:7"});
  EXPECT_EQ(prompt->ask(request).outcome, Outcome::Entered);
}

TEST_F(PinentryTest, ProgramChoice) {
  std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  setenv("VELLUMARK_PINENTRY", Fixtures::get().standin.c_str(), 1);
  EXPECT_EQ(findPinentryProgram(), Fixtures::get().standin.string());
  unsetenv("VELLUMARK_PINENTRY");
  // Without a display a text flavour, named explicitly.
  EXPECT_EQ(findPinentryProgram(), "/usr/bin/pinentry-tty");
  if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);

  // The override reaches the default prompt.
  setenv("VELLUMARK_PINENTRY", Fixtures::get().standin.c_str(), 1);
  script({"PIN:42"});
  PinReply reply = createPinentryPrompt()->ask({"d", "PIN:", "", false});
  unsetenv("VELLUMARK_PINENTRY");
  EXPECT_EQ(pinText(reply), "42");
}

// The human types at the real pinentry-tty's terminal.
TEST_F(PinentryTest, RealPinentryTtyThroughAPty) {
  if (access("/usr/bin/pinentry-tty", X_OK) != 0) GTEST_SKIP() << "pinentry-tty missing";
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);

  std::string screen;
  std::thread human([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool typed = false;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{master, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0) continue;
      char chunk[256];
      ssize_t n = read(master, chunk, sizeof chunk);
      if (n <= 0) break;
      screen.append(chunk, static_cast<size_t>(n));
      if (!typed && screen.find("PIN:") != std::string::npos) {
        EXPECT_EQ(write(master, "2468\n", 5), 5);
        typed = true;
      }
    }
  });

  PinentryOptions options;
  options.program = "/usr/bin/pinentry-tty";
  options.ttyName = name;
  options.timeoutSeconds = 15;
  PinReply reply = createPinentryPrompt(options)->ask(
      {"Enter the PIN of the token \"Alpha\"", "PIN:", "Wrong PIN", false});
  close(slave);  // the reader sees EIO once pinentry has gone too
  human.join();
  close(master);
  ASSERT_EQ(reply.outcome, Outcome::Entered) << reply.failure << "\nscreen:\n" << screen;
  EXPECT_EQ(pinText(reply), "2468");
  EXPECT_NE(screen.find("Alpha"), std::string::npos) << screen;
  EXPECT_NE(screen.find("Wrong PIN"), std::string::npos) << screen;
}

}  // namespace
}  // namespace vellumark::linux_platform::testing
