#include "embedding_glib/main_queue.h"

#include <glib.h>

#include <exception>
#include <memory>
#include <string>

#include "embedding/messenger.h"

namespace vellumark {
namespace {

gboolean runTask(gpointer data) {
  auto* task = static_cast<Task*>(data);
  // Nothing may throw across a GLib callback.
  try {
    if (*task) (*task)();
  } catch (const std::exception& e) {
    logEngineMessage(std::string("main queue task failed: ") + e.what());
  } catch (...) {
    logEngineMessage("main queue task failed with an unknown exception");
  }
  return G_SOURCE_REMOVE;
}

void destroyTask(gpointer data) { std::unique_ptr<Task>(static_cast<Task*>(data)); }

// Attaching a source is thread-safe and wakes the context. Unlike
// g_main_context_invoke_full(), it never runs the task in place: invoke runs it
// at once when the caller owns (or can acquire) the context, which would make
// post() re-entrant on the main thread and run a worker's task on the worker.
void attach(GSource* raw, Task task) {
  std::unique_ptr<GSource, decltype(&g_source_unref)> source(raw, &g_source_unref);
  g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
  g_source_set_callback(source.get(), runTask, std::make_unique<Task>(std::move(task)).release(),
                        destroyTask);
  g_source_attach(source.get(), g_main_context_default());
}

}  // namespace

void GlibMainQueue::post(Task task) { attach(g_idle_source_new(), std::move(task)); }

void GlibMainQueue::postAfter(std::chrono::milliseconds delay, Task task) {
  const auto ms = delay.count() < 0 ? 0 : delay.count();
  const auto capped = ms > G_MAXUINT ? G_MAXUINT : static_cast<guint>(ms);
  attach(g_timeout_source_new(capped), std::move(task));
}

}  // namespace vellumark
