#include "gtk_object.h"


namespace vellumark::linux_platform::gtk {

void logShell(const std::string& line) { g_message("%s", line.c_str()); }

std::string cssNumber(double value) {
  // Shortest text that reads back as `value`, always with a '.'.
  char buffer[G_ASCII_DTOSTR_BUF_SIZE];
  return g_ascii_dtostr(buffer, sizeof buffer, value);
}

}  // namespace vellumark::linux_platform::gtk
