// Loading the bundle's token module: a missing or foreign module is a clear
// error, never a crash, and the built module resolves and exports its entry.
#include "token_module.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

namespace vellumark {
namespace {

const std::string kBuiltModule =
    std::string(VELLUMARK_BINARY_DIR) + "/Vellumark/" + kTokenModuleFile;

TEST(TokenModuleTest, MissingOrForeignModulesAreErrorsNamingTheCall) {
  std::string error;
  EXPECT_EQ(loadTokenModule("/nonexistent/vellumark_tokens.so", {}, &error), nullptr);
  EXPECT_NE(error.find("dlopen /nonexistent/vellumark_tokens.so"), std::string::npos) << error;

  // A real shared object that is not a token module.
  error.clear();
  EXPECT_EQ(loadTokenModule("libm.so.6", {}, &error), nullptr);
  EXPECT_NE(error.find(std::string("dlsym ") + kTokenModuleEntry), std::string::npos) << error;
}

TEST(TokenModuleTest, BuiltModuleResolvesEveryReferenceAndExportsItsEntry) {
  // RTLD_NOW fails on any symbol the module expects from elsewhere; the
  // executable exports none.
  void* handle = dlopen(kBuiltModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  EXPECT_NE(dlsym(handle, kTokenModuleEntry), nullptr);
  dlclose(handle);
}

}  // namespace
}  // namespace vellumark
