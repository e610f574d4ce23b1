// The update framework of a build without self-update (-DVELLUMARK_UPDATER=OFF),
// for distributions that update through their package manager: every check,
// manual or scheduled, finds no update.
#pragma once

#include <memory>

#include "platform/task_queue.h"
#include "platform/updater.h"

namespace vellumark {

// Its updaters answer on `mainQueue`, never inside the call that checks.
std::shared_ptr<platform::UpdateFramework> makeNoUpdateFramework(
    std::shared_ptr<platform::TaskQueue> mainQueue);

}  // namespace vellumark
