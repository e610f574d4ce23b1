// Loading PKCS#11 modules: the p11-kit registry, explicit paths, and NSS's
// software token.
#include <dlfcn.h>
#include <glib.h>
#include <p11-kit/p11-kit.h>

#include <cstdlib>
#include <filesystem>

#include "p11_internal.h"

namespace vellumark::linux_platform::p11 {
namespace {

// Support asks first which module and version was in use.
void logModuleInfo(const std::string& name, CK_FUNCTION_LIST* fn) {
  CK_INFO info{};
  if (fn->C_GetInfo(&info) != CKR_OK) return;
  g_debug("PKCS#11 module %s: %s, %s, library %u.%u, cryptoki %u.%u", name.c_str(),
          trimField(info.manufacturerID, sizeof info.manufacturerID).c_str(),
          trimField(info.libraryDescription, sizeof info.libraryDescription).c_str(),
          info.libraryVersion.major, info.libraryVersion.minor, info.cryptokiVersion.major,
          info.cryptokiVersion.minor);
}

std::string p11KitMessage() {
  const char* message = p11_kit_message();
  return message ? message : "no reason given";
}

// Releases the registry's modules once each has been finalized.
struct ModuleList {
  CK_FUNCTION_LIST** list = nullptr;
  ~ModuleList() {
    if (list) p11_kit_modules_release(list);
  }
};

}  // namespace

std::string trimField(const unsigned char* field, size_t size) {
  std::string text(reinterpret_cast<const char*>(field), size);
  size_t end = text.find_last_not_of(" \0", std::string::npos, 2);
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

void report(const std::string& what) { g_message("%s", what.c_str()); }

std::vector<std::shared_ptr<Module>> registeredModules() {
  // Function-local so the modules are loaded on first use and finalized at
  // exit, before the modules' own static data goes away.
  static const std::vector<std::shared_ptr<Module>> modules = [] {
    std::vector<std::shared_ptr<Module>> loaded;
    auto owner = std::make_shared<ModuleList>();
    owner->list = p11_kit_modules_load(nullptr, 0);
    if (!owner->list) {
      report("p11_kit_modules_load: " + p11KitMessage());
      return loaded;
    }
    for (CK_FUNCTION_LIST** it = owner->list; *it; ++it) {
      // Trust-policy modules expose the system's CA store, not identities.
      if (p11_kit_module_get_flags(*it) & P11_KIT_MODULE_TRUSTED) continue;
      char* rawName = p11_kit_module_get_name(*it);
      std::string name = rawName ? rawName : "module";
      free(rawName);
      // Each on its own, so that a failure names its module and return value.
      CK_RV rv = p11_kit_module_initialize(*it);
      if (rv != CKR_OK) {
        report("PKCS#11 module " + name + ": " + translate("C_Initialize", rv).description);
        continue;
      }
      logModuleInfo(name, *it);
      CK_FUNCTION_LIST* fn = *it;
      loaded.push_back(
          std::make_shared<Module>(name, fn, [owner, fn] { p11_kit_module_finalize(fn); }));
    }
    return loaded;
  }();
  return modules;
}

std::shared_ptr<Module> loadModule(const std::string& path, Failure& failure) {
  CK_FUNCTION_LIST* fn = p11_kit_module_load(path.c_str(), 0);
  if (!fn) {
    failure = {platform::status::kNotAvailable, "p11_kit_module_load: " + p11KitMessage()};
    return nullptr;
  }
  CK_RV rv = p11_kit_module_initialize(fn);
  if (rv != CKR_OK) {
    failure = translate("C_Initialize", rv);
    p11_kit_module_release(fn);
    return nullptr;
  }
  // "libsofthsm2.so" -> "softhsm2", the name the p11-kit registry uses.
  std::string name = std::filesystem::path(path).stem().string();
  if (name.starts_with("lib")) name.erase(0, 3);
  logModuleInfo(name, fn);
  return std::make_shared<Module>(name, fn, [fn] {
    p11_kit_module_finalize(fn);
    p11_kit_module_release(fn);
  });
}

std::shared_ptr<Module> loadNssModule(const std::string& databaseDir, Failure& failure) {
  if (databaseDir.find_first_of("'\"") != std::string::npos) {
    failure = {platform::status::kParam, "NSS database folder name holds a quote"};
    return nullptr;
  }
  // Never closed: NSS keeps process-wide state that does not survive dlclose.
  void* library = dlopen("libsoftokn3.so", RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    failure = {platform::status::kNotAvailable, std::string("dlopen: ") + dlerror()};
    return nullptr;
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
  CK_FUNCTION_LIST* fn = nullptr;
  if (!getList || getList(&fn) != CKR_OK || !fn) {
    failure = {platform::status::kNotAvailable, "C_GetFunctionList: softokn has none"};
    return nullptr;
  }
  std::string config = "configdir='sql:" + databaseDir +
                       "' certPrefix='' keyPrefix='' secmod='secmod.db' flags=readOnly";
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  args.pReserved = config.data();
  CK_RV rv = fn->C_Initialize(&args);
  if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    // Someone else in this process owns it: use it, never finalize it.
    return std::make_shared<Module>("nss", fn, nullptr);
  }
  if (rv != CKR_OK) {
    failure = translate("C_Initialize", rv);
    return nullptr;
  }
  logModuleInfo("nss", fn);
  return std::make_shared<Module>("nss", fn, [fn] { fn->C_Finalize(nullptr); });
}

}  // namespace vellumark::linux_platform::p11
