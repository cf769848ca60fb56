#include "MasterLib.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace dnm::test {

std::string LibDir() {
  return DNM_TEST_LIB_DIR;
}

std::string VariantDir(const std::string& name) {
  return std::string(DNM_TEST_VARIANT_DIR) + "/" + name;
}

void UseNetwork(const std::string& text) {
  const std::string path = "/tmp/dnm-test-network-" + std::to_string(getpid()) + ".txt";
  std::ofstream(path) << text;
  setenv("VELKCAN_NETWORK", path.c_str(), 1);
}

StarvationWatch::StarvationWatch()
    : thread_([this] {
        constexpr auto kTick = milliseconds(20);
        constexpr auto kSlack = milliseconds(50);
        while (!ending_.load()) {
          const auto before = Clock::now();
          std::this_thread::sleep_for(kTick);
          const auto overrun = Clock::now() - before - kTick;
          if (overrun > kSlack)
            starved_ms_ += int(std::chrono::duration_cast<milliseconds>(overrun).count());
        }
      }) {}

StarvationWatch::~StarvationWatch() {
  ending_ = true;
  thread_.join();
}

std::string StarvationWatch::Says(Clock::duration measured, int asked_ms) const {
  std::ostringstream text;
  text << "measured " << std::chrono::duration_cast<milliseconds>(measured).count()
       << " ms against " << asked_ms << " ms asked; ";
  if (ms() == 0) {
    text << "the process was not starved";
  } else {
    text << "THE PROCESS WAS STARVED for " << ms() << " ms (sleeps of 20 ms overran by that much)";
  }
  return text.str();
}

MasterLib::MasterLib(const std::string& dir) : dir_(dir) {
  // The card and trace library are found by the master through its own run
  // path; opening the same files here returns the already loaded objects.
  handle_ = dlopen((dir + "/libVELKCANDNM.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) return;
  trace_ = dlopen((dir + "/libHYPERTRACE.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
  card_ = dlopen((dir + "/libVELKCAN.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
#define DNM_TEST_RESOLVE(name) name = reinterpret_cast<decltype(name)>(Symbol(#name));
  DNM_TEST_EXPORTS(DNM_TEST_RESOLVE)
#undef DNM_TEST_RESOLVE
}

void* MasterLib::Symbol(const char* name) const {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

void* MasterLib::CardSymbol(const char* name) const {
  return card_ ? dlsym(card_, name) : nullptr;
}

std::vector<std::string> MasterLib::TraceLines() const {
  std::vector<std::string> lines;
  if (trace_ == nullptr) return lines;
  auto count = reinterpret_cast<int (*)()>(dlsym(trace_, "HyperTraceTest_LineCount"));
  auto get = reinterpret_cast<int (*)(int, char*, int)>(dlsym(trace_, "HyperTraceTest_GetLine"));
  const int n = count();
  for (int i = 0; i < n; ++i) {
    std::string line(static_cast<size_t>(get(i, nullptr, 0)) + 1, '\0');
    get(i, line.data(), static_cast<int>(line.size()));
    line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

void MasterLib::ClearTrace() const {
  if (trace_ == nullptr) return;
  reinterpret_cast<void (*)()>(dlsym(trace_, "HyperTraceTest_Clear"))();
}

bool MasterLib::HasLine(const std::string& text) const {
  for (const auto& line : TraceLines())
    if (line == text) return true;
  return false;
}

std::vector<std::string> MasterLib::LinesWith(const std::string& fragment) const {
  std::vector<std::string> found;
  for (const auto& line : TraceLines())
    if (line.find(fragment) != std::string::npos) found.push_back(line);
  return found;
}

}  // namespace dnm::test
