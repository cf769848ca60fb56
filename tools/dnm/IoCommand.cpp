// dnm io: one I/O connection's inputs, status and counters, live.
#include <unistd.h>

#include <cstdio>

#include "Commands.h"
#include "Connections.h"
#include "Diagnosis.h"
#include "Explain.h"
#include "Interrupt.h"
#include "Json.h"
#include "Values.h"

namespace dnm::tool {
namespace {

struct IoRequest {
  uint8_t mac;
  const ConnectionKind* kind;
  ConnectionSpec spec;
  std::vector<uint8_t> outputs;
  bool write = false;
  uint32_t rate_hz = 10;
  uint32_t count = 0;  // 0: until interrupted
};

IoRequest RequestOf(const CommandLine& line) {
  ExpectWords(line, 1);
  IoRequest request{static_cast<uint8_t>(ParseNumber(line.Word(0, "MAC ID"), 0, 63, "MAC ID")),
                    nullptr,
                    {},
                    {},
                    false,
                    10,
                    0};
  for (const char* name : {"poll", "strobe", "cos", "cyclic"}) {
    const auto option = line.options.find(std::string("--") + name);
    if (option == line.options.end()) continue;
    if (request.kind != nullptr) throw UsageError("one connection at a time");
    request.kind = IoKindNamed(name);
    request.spec = MakeSpec(*request.kind, option->second);
  }
  if (request.kind == nullptr) throw UsageError("missing --poll, --strobe, --cos or --cyclic");
  if (line.Has("--write")) {
    if (request.kind->write == nullptr) throw UsageError("a bit-strobe connection has no outputs");
    request.outputs = ParseHex(line.options.at("--write")[0]);
    request.write = true;
  }
  if (line.Has("--rate"))
    request.rate_hz = ParseNumber(line.options.at("--rate")[0], 1, 1000, "rate");
  if (line.Has("--count"))
    request.count = ParseNumber(line.options.at("--count")[0], 1, 1000000, "count");
  return request;
}

// Sets the connection up and waits until it stands.
void SetUp(const Session& session, const IoRequest& request) {
  session.AddDevice(request.mac);
  Configure(session, request.mac, request.spec);
  session.Start(request.mac);
  const StatusCheck check = request.kind->check;
  const std::string what = std::string("the ") + request.kind->name + " connection of MAC ID " +
                           std::to_string(request.mac);
  if (!session.WaitUntilReady(check, {request.mac}, what).empty()) return;
  const uint16_t code = check(session.board(), session.port(), request.mac);
  if (code == DNM_NoError) return;
  const Diagnosis diagnosis = DiagnoseConnection(session, request.mac, *request.kind);
  // The cause leads: the check's code meanwhile may be a secondary one (1804 while the
  // explicit connection is set up again after a size mismatch).
  const std::string words = diagnosis.cause.empty() ? " (" + ConnectionStatusWords(code) + ")" : "";
  throw CallError({request.kind->check_name, code,
                   "MAC ID " + std::to_string(request.mac) + ": the " + request.kind->name +
                       " connection did not stand" + words,
                   false, 0, 0, diagnosis.cause, diagnosis.hint});
}

// One look at the connection, as a line of text or JSON.
std::string Sample(const Session& session, const IoRequest& request, bool json) {
  uint8_t data[64];
  uint32_t length = 0;
  const uint16_t read =
      request.kind->read(session.board(), session.port(), request.mac, data, &length);
  const std::vector<uint8_t> inputs(data, data + (read == DNM_NoError ? length : 0));
  const ConnectionState state = StateOf(session, request.mac, *request.kind);
  if (json) {
    return "{\"mac\":" + std::to_string(request.mac) +
           ",\"inputs\":" + (read == DNM_NoError ? JsonString(HexText(inputs, "")) : "null") +
           ",\"state\":" + StateJson(*request.kind, state) + "}";
  }
  const std::string shown = read == DNM_NoError ? HexText(inputs) : "-";
  return "inputs " + (shown.empty() ? std::string("(none)") : shown) + " | " +
         StateText(*request.kind, state);
}

void Watch(const Session& session, const IoRequest& request, bool json) {
  const bool terminal = !json && isatty(STDOUT_FILENO) != 0;
  const int period_ms = static_cast<int>(1000 / request.rate_hz);
  CatchInterrupts();
  std::string shown;
  for (uint32_t n = 0; !Interrupted() && (request.count == 0 || n < request.count); ++n) {
    if (n > 0 && !PauseUnlessInterrupted(period_ms)) break;
    const std::string line = Sample(session, request, json);
    if (terminal) {
      std::printf("\r%s\033[K", line.c_str());
    } else if (line != shown) {
      std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
    shown = line;
  }
  if (terminal) std::printf("\n");
}

}  // namespace

int RunIo(const CommandLine& line) {
  const IoRequest request = RequestOf(line);
  const Session session(line.common);
  SetUp(session, request);
  if (request.write) {
    session.Check(
        request.kind->write_name,
        request.kind->write(session.board(), session.port(), request.mac, request.outputs.data(),
                            static_cast<uint32_t>(request.outputs.size())),
        request.mac);
  }
  Watch(session, request, line.common.json);
  return kExitOk;
}

}  // namespace dnm::tool
