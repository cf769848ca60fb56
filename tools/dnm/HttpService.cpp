#include "HttpService.h"

#include <stdexcept>

namespace dnm::tool {

std::unique_ptr<HttpService> HttpService::Start(const HttpOptions&, Scanner&, OutputStore&) {
  throw std::runtime_error("the web view is not built yet");
}

}  // namespace dnm::tool
