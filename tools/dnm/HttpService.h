// The web view of dnm run: one page and a JSON API over HTTP (docs/dnm.1.md, "WEB VIEW"), live
// through server-sent events. Read-only unless started to let the page write.
#pragma once

#include <memory>
#include <string>

#include "DeviceSample.h"
#include "Scanner.h"

namespace dnm::tool {

struct HttpOptions {
  std::string address;  // "HOST:PORT" or ":PORT" (then 127.0.0.1)
  bool write = false;   // --http-write: the page may write outputs and attributes
  std::string scan_list;  // the file run, as the page names it
};

class HttpService {
 public:
  // Listens and serves on threads of its own until destroyed. UsageError for an address that is
  // not one; std::runtime_error saying why when it cannot listen or this build has no web view.
  static std::unique_ptr<HttpService> Start(const HttpOptions& options, Scanner& scanner,
                                            OutputStore& outputs);
  virtual ~HttpService() = default;  // stops serving and closes every browser's connection
};

}  // namespace dnm::tool
