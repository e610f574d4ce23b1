#include "backend_module.h"
#include "updater_module.h"

namespace vellumark {

std::shared_ptr<platform::UpdateFramework> loadUpdaterModule(const std::string& path,
                                                             const UpdaterModuleOptions& options,
                                                             std::string* error) {
  auto entry = loadBackendEntry<UpdaterModuleEntry>(path, kUpdaterModuleEntry, error);
  if (entry == nullptr) return nullptr;
  std::shared_ptr<platform::UpdateFramework> framework;
  entry(options, &framework);
  if (!framework) *error = path + " made no update framework";
  return framework;
}

}  // namespace vellumark
