// The system log: syslog(3). Its own file, so the executable links only this
// part of the update framework.
#include <syslog.h>

#include "platform_linux/update_framework.h"

namespace vellumark::linux_platform {
namespace {

class Syslog : public platform::SystemLog {
 public:
  void log(const std::string& line) override { ::syslog(LOG_NOTICE, "%s", line.c_str()); }
};

}  // namespace

std::shared_ptr<platform::SystemLog> createSystemLog() { return std::make_shared<Syslog>(); }

}  // namespace vellumark::linux_platform
