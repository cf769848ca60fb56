// Runs the library's start-up once, when the shared library is loaded.
#include "api/Library.h"

namespace {

struct ApplicationObject {
  ApplicationObject() { dnm::DeviceNet_Initial(); }
};

const ApplicationObject g_application;

}  // namespace
