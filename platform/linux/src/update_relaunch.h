// Starting the relaunch helper before the bundle is swapped, and telling it
// to go once the swap is done. Main-thread only.
#pragma once

#include <string>

namespace vellumark::linux_platform::update {

class RelaunchHelper {
 public:
  RelaunchHelper() = default;
  // Without go() the helper exits without doing anything.
  ~RelaunchHelper() { abandon(); }
  RelaunchHelper(const RelaunchHelper&) = delete;
  RelaunchHelper& operator=(const RelaunchHelper&) = delete;

  // Starts `helper`, which will remove `oldFolder` and run `executable` once
  // this process has gone and `busName` (may be empty) is free.
  bool start(const std::string& helper, const std::string& busName, const std::string& oldFolder,
             const std::string& executable, std::string* error);
  // Tells the helper to go ahead. The pipe stays open until this process
  // ends: its end is how the helper learns that this process has gone.
  void go();
  // Lets the helper exit without relaunching.
  void abandon();

 private:
  int pipe_ = -1;
};

}  // namespace vellumark::linux_platform::update
