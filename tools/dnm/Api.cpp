#include "Api.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace dnm::tool {
namespace {

Api bound;

// The library in the lib directory beside the tool's bin directory.
std::string BesideTheTool(const char* file = DNM_LIBRARY_FILE) {
  char tool[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", tool, sizeof tool - 1);
  if (length <= 0) return file;
  const std::string path(tool, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/')) + "/../lib/" + file;
}

}  // namespace

void* LoadCardLibrary(std::string& error) {
  constexpr const char* kCardFile = "libVELKCAN.so";
  void* library = dlopen(kCardFile, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) library = dlopen(BesideTheTool(kCardFile).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) error = dlerror();
  return library;
}

bool LoadApi(std::string& error) {
  // The tool's run path names the library directory beside it. A
  // sanitizer's dlopen searches from its own library instead, without that
  // run path, hence the second try.
  void* library = dlopen(DNM_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    error = dlerror();
    library = dlopen(BesideTheTool().c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (library == nullptr) return false;
#define DNM_TOOL_RESOLVE(name)                                                \
  bound.name = reinterpret_cast<decltype(bound.name)>(dlsym(library, #name)); \
  if (bound.name == nullptr) {                                                \
    error = DNM_LIBRARY_FILE " has no " #name;                                \
    return false;                                                             \
  }
  DNM_TOOL_EXPORTS(DNM_TOOL_RESOLVE)
#undef DNM_TOOL_RESOLVE
  return true;
}

int RefusedNetworkLines() {
  // The master loaded the card driver beside itself; the name finds it among the loaded.
  void* card = dlopen("libVELKCAN.so", RTLD_NOW | RTLD_NOLOAD);
  if (card == nullptr) return 0;
  using RefusedLines = int32_t (*)();
  const auto refused = reinterpret_cast<RefusedLines>(dlsym(card, "VCAN_RefusedLines"));
  const int count = refused != nullptr ? refused() : 0;
  dlclose(card);
  return count;
}

const Api& api() {
  return bound;
}

}  // namespace dnm::tool
