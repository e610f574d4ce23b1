// The PDF rendering library's plugin class. It is not in the registration
// list: the UI code calls the library directly and the host never does.
#pragma once

#include "embedding/registrar.h"

namespace vellumark {

class PDFiumFlutterPlugin {
 public:
  PDFiumFlutterPlugin() = default;
  // Does nothing and opens no channel.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);
};

}  // namespace vellumark
