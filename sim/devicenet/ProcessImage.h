// The slave's I/O data: the inputs it produces on its I/O connections and the outputs it last
// received (in a poll command, or on the change of state / cyclic connection). An I/O message
// of n bytes carries, by the behaviour's source:
//   counter  the inputs, byte 0 replaced by the number of messages the connection's kind (poll
//            response, bit-strobe response, change of state / cyclic production) sent before
//            it, modulo 256
//   echo     the outputs last received
//   fixed    the inputs as they are
// cut or padded with zeros to n bytes. The inputs start as 0x00, 0x01, ..., 0xFE.
#pragma once

#include <span>

#include "Behaviour.h"
#include "Protocol.h"

namespace dnsim {

class ProcessImage {
 public:
  static constexpr size_t kMaxSize = 255;

  ProcessImage();

  Bytes Response(size_t size, InputSource source, uint32_t responses_before) const;

  const Bytes& outputs() const { return outputs_; }
  void TakeOutputs(std::span<const uint8_t> outputs) {
    outputs_.assign(outputs.begin(), outputs.end());
  }
  void ForgetOutputs() { outputs_.clear(); }
  void WriteInputs(std::span<const uint8_t> inputs) {
    inputs_.assign(inputs.begin(), inputs.end());
  }

 private:
  Bytes inputs_;
  Bytes outputs_;
};

}  // namespace dnsim
