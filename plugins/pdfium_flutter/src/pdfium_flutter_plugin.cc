#include "pdfium_flutter/pdfium_flutter_plugin.h"

namespace vellumark {

void PDFiumFlutterPlugin::registerWithRegistrar(FlutterPluginRegistrar& /*registrar*/) {}

}  // namespace vellumark
