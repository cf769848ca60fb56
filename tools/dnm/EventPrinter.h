// dnm run's event lines go out on a thread of their own, so that a stdout nobody reads never
// holds up the loop that takes signals and watches the connections.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace dnm::tool {

class EventPrinter {
 public:
  // notice: the line that tells how many lines were dropped, without its line end.
  EventPrinter(std::function<std::string(size_t dropped)> notice, size_t capacity = 1024);
  // "N event lines dropped: stdout was not read"
  static std::string DroppedText(size_t dropped);

  // Finish with no time for what is left.
  ~EventPrinter();
  EventPrinter(const EventPrinter&) = delete;
  EventPrinter& operator=(const EventPrinter&) = delete;

  // Never waits: with capacity lines waiting, the line is dropped and counted; the count goes
  // out, on stdout and stderr, as soon as there is room again.
  void Print(std::string line);
  // Gives the lines left at most within to go out; a write that still waits then is left behind
  // (the process is about to end).
  void Finish(std::chrono::milliseconds within);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace dnm::tool
