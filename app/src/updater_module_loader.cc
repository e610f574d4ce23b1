#include "backend_module.h"
#include "updater_module.h"

namespace vellumark {

std::shared_ptr<platform::UpdateFramework> loadUpdaterModule(const std::string& path,
                                                             const UpdaterModuleOptions& options,
                                                             std::string* error) {
  return makeBackendService<platform::UpdateFramework>(path, kUpdaterModuleEntry,
                                                       "update framework", error, options);
}

}  // namespace vellumark
