// dnm run: a standing scanner that runs a scan list until it is told to stop.
#include <cstdio>

#include "Commands.h"
#include "EventPrinter.h"
#include "Explain.h"
#include "HttpService.h"
#include "Interrupt.h"
#include "ModbusService.h"
#include "MqttService.h"
#include "Scanner.h"

namespace dnm::tool {
namespace {

// How often every device's connections are looked at.
constexpr int kWatchPeriodMs = 100;

// Every refused line on stderr (and with --json the error document); the exit status.
int RefuseFile(const ParsedScanList& parsed, bool json) {
  std::string text;
  for (const ScanListError& error : parsed.errors) {
    std::fprintf(stderr, "dnm run: %s\n", error.Text().c_str());
    text += (text.empty() ? "" : "\n") + error.Text();
  }
  if (json) std::printf("{\"error\":%s}\n", ErrorJson(nullptr, text, kExitUsage).c_str());
  return kExitUsage;
}

// How long the event lines left at the end may take to go out.
constexpr std::chrono::seconds kFlushTime{1};

std::string EventText(const Event& event, bool json) {
  return json ? EventJson(event) : EventLine(event);
}

std::string DroppedNotice(size_t dropped, bool json) {
  return EventText({std::chrono::system_clock::now(), EventKind::kDropped, -1, -1, -1, "", 0,
                    EventPrinter::DroppedText(dropped)},
                   json);
}

std::string OptionOf(const CommandLine& line, const char* name) {
  return line.Has(name) ? line.options.at(name)[0] : std::string();
}

HttpOptions HttpOptionsOf(const CommandLine& line, const std::string& path) {
  return {OptionOf(line, "--http"), line.Has("--http-write"), path};
}

MqttOptions MqttOptionsOf(const CommandLine& line) {
  MqttOptions options;
  options.url = OptionOf(line, "--mqtt");
  options.prefix = OptionOf(line, "--mqtt-prefix");
  if (line.Has("--mqtt-min-interval")) {
    options.min_interval_ms = static_cast<int>(
        ParseNumber(OptionOf(line, "--mqtt-min-interval"), 10, 60000, "--mqtt-min-interval"));
  }
  options.write = line.Has("--mqtt-write");
  options.ca_file = OptionOf(line, "--mqtt-cafile");
  options.cert_file = OptionOf(line, "--mqtt-cert");
  options.key_file = OptionOf(line, "--mqtt-key");
  options.user = OptionOf(line, "--mqtt-user");
  options.password_file = OptionOf(line, "--mqtt-password-file");
  return options;
}

}  // namespace

int RunRun(const CommandLine& line) {
  ExpectWords(line, 1);
  const std::string path = line.Word(0, "scan list FILE");
  const bool json = line.common.json;
  const ParsedScanList parsed = ReadScanList(path);
  if (!parsed.errors.empty()) return RefuseFile(parsed, json);
  if (line.Has("--print-map")) {
    std::printf("%s", RegisterMapText(parsed.list, json).c_str());
    return kExitOk;
  }
  EventPrinter printer([json](size_t dropped) { return DroppedNotice(dropped, json); });
  Scanner scanner(parsed.list);
  scanner.Subscribe([json, &printer](const Event& event) { printer.Print(EventText(event, json)); });
  OutputStore outputs;
  std::unique_ptr<ModbusService> modbus;
  if (line.Has("--modbus"))
    modbus = ModbusService::Start(OptionOf(line, "--modbus"), scanner, outputs);
  std::unique_ptr<HttpService> http;
  if (line.Has("--http")) http = HttpService::Start(HttpOptionsOf(line, path), scanner, outputs);
  std::unique_ptr<MqttService> mqtt;
  if (line.Has("--mqtt")) mqtt = MqttService::Start(MqttOptionsOf(line), scanner, outputs);
  bool online = scanner.Start();
  while (online && PauseUnlessInterrupted(kWatchPeriodMs)) {
    if (TakeReload()) scanner.Reload(ReadScanList(path));
    scanner.Watch();
  }
  // The servers go before the devices they show.
  mqtt.reset();
  http.reset();
  modbus.reset();
  scanner.Stop();
  printer.Finish(kFlushTime);
  return online ? kExitOk : kExitFailed;
}

}  // namespace dnm::tool
