#include "Api.h"

#include "CommandLine.h"

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

// The master loaded the card driver beside itself; the name finds it among the loaded. A
// card driver without the entry answers fallback.
template <typename Entry, typename Result, typename Call>
Result AskLoadedCard(const char* entry, Result fallback, Call call) {
  void* card = dlopen("libVELKCAN.so", RTLD_NOW | RTLD_NOLOAD);
  if (card == nullptr) return fallback;
  const auto bound = reinterpret_cast<Entry>(dlsym(card, entry));
  Result result = bound != nullptr ? call(bound) : fallback;
  dlclose(card);
  return result;
}

int RefusedNetworkLines() {
  using RefusedLines = int32_t (*)();
  return AskLoadedCard<RefusedLines>("VCAN_RefusedLines", 0,
                                     [](RefusedLines refused) { return int{refused()}; });
}

void CheckRefusedLines(int refused) {
  if (refused == 0) return;
  throw UsageError("the network description has " + std::to_string(refused) + " line" +
                   (refused == 1 ? "" : "s") + " the virtual card refused (above); fix " +
                   (refused == 1 ? "it" : "them"));
}

std::string UnhostedSharedSegment() {
  using Unhosted = int32_t (*)(char*, int32_t);
  return AskLoadedCard<Unhosted>("VCAN_UnhostedSegment", std::string(), [](Unhosted unhosted) {
    char path[PATH_MAX] = {};
    unhosted(path, sizeof path);
    return std::string(path);
  });
}

const Api& api() {
  return bound;
}

}  // namespace dnm::tool
