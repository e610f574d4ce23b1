// Registration of every native plugin with the engine, in its fixed order.
#pragma once

#include <span>

#include "embedding/registrar.h"

namespace vellumark {

struct PluginRow {
  const char* registrarName;
  void (*registerWithRegistrar)(FlutterPluginRegistrar& registrar);
};

// The plugins built into this host, in registration order.
std::span<const PluginRow> generatedPluginRows();

// Asks `registry` for each plugin's registrar, in order, and registers the
// plugin with it. Keeps no reference to anything.
void RegisterGeneratedPlugins(FlutterPluginRegistry& registry);

}  // namespace vellumark
