#include "SlaveOptions.h"

#include <charconv>
#include <stdexcept>
#include <string_view>

#include "ProcessImage.h"

namespace dnsim {
namespace {

constexpr unsigned long kHourMs = 3'600'000;

[[noreturn]] void Fail(std::string_view key, std::string_view value, std::string_view expected) {
  throw std::invalid_argument("bad " + std::string(key) + " '" + std::string(value) +
                              "' (expected " + std::string(expected) + ")");
}

unsigned long Number(std::string_view key, std::string_view text, unsigned long min,
                     unsigned long max) {
  std::string_view digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  unsigned long value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (error != std::errc{} || end != digits.data() + digits.size() || value < min || value > max) {
    Fail(key, text, std::to_string(min) + " to " + std::to_string(max));
  }
  return value;
}

bool Flag(std::string_view key, std::string_view text) {
  return Number(key, text, 0, 1) == 1;
}

std::chrono::milliseconds Milliseconds(std::string_view key, std::string_view text) {
  return std::chrono::milliseconds(Number(key, text, 0, kHourMs));
}

// Calls each(item) for every comma-separated item of a list.
template <typename Each>
void ForEachItem(std::string_view list, Each each) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    each(list.substr(0, comma));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
}

template <size_t N>
uint8_t NamedBits(std::string_view key, std::string_view list,
                  const std::pair<std::string_view, uint8_t> (&names)[N], std::string_view known) {
  uint8_t bits = 0;
  ForEachItem(list, [&](std::string_view item) {
    for (const auto& [name, bit] : names) {
      if (item == name) {
        bits |= bit;
        return;
      }
    }
    Fail(key, item, known);
  });
  return bits;
}

constexpr std::pair<std::string_view, uint8_t> kServiceNames[] = {
    {"none", 0},
    {"allocate", ServiceBit(ServiceKind::kAllocate)},
    {"release", ServiceBit(ServiceKind::kRelease)},
    {"get", ServiceBit(ServiceKind::kGet)},
    {"set", ServiceBit(ServiceKind::kSet)},
    {"open", ServiceBit(ServiceKind::kOpen)},
    {"close", ServiceBit(ServiceKind::kClose)},
    {"all", ServiceBit(ServiceKind::kAllocate) | ServiceBit(ServiceKind::kRelease) |
                ServiceBit(ServiceKind::kGet) | ServiceBit(ServiceKind::kSet) |
                ServiceBit(ServiceKind::kOpen) | ServiceBit(ServiceKind::kClose)},
};

constexpr std::pair<std::string_view, uint8_t> kIoNames[] = {
    {"none", 0},         {"poll", kChoicePoll},     {"strobe", kChoiceStrobe},
    {"cos", kChoiceCos}, {"cyclic", kChoiceCyclic},
};

constexpr std::pair<std::string_view, InputSource> kInputSources[] = {
    {"counter", InputSource::kCounter},
    {"echo", InputSource::kEcho},
    {"fixed", InputSource::kFixed},
};

uint8_t HexDigit(std::string_view key, std::string_view text, char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  Fail(key, text, "hex bytes");
}

Bytes HexBytes(std::string_view key, std::string_view text) {
  if (text.empty() || text.size() % 2 != 0 || text.size() > 2 * 255) {
    Fail(key, text, "1 to 255 bytes in hex digits");
  }
  Bytes bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    bytes.push_back(
        static_cast<uint8_t>(HexDigit(key, text, text[i]) << 4 | HexDigit(key, text, text[i + 1])));
  }
  return bytes;
}

// ID:HEXBYTES,ID:HEXBYTES...
std::map<uint8_t, Bytes> ApplicationAttributes(std::string_view key, std::string_view list) {
  std::map<uint8_t, Bytes> attributes;
  ForEachItem(list, [&](std::string_view item) {
    const size_t colon = item.find(':');
    if (colon == std::string_view::npos) Fail(key, item, "ID:HEXBYTES");
    const auto id = static_cast<uint8_t>(Number(key, item.substr(0, colon), 1, 255));
    if (!attributes.emplace(id, HexBytes(key, item.substr(colon + 1))).second) {
      Fail(key, item, "each attribute once");
    }
  });
  return attributes;
}

void Revision(std::string_view key, std::string_view text, SlaveIdentity& identity) {
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos) Fail(key, text, "MAJOR.MINOR");
  identity.revision_major = static_cast<uint8_t>(Number(key, text.substr(0, dot), 0, 255));
  identity.revision_minor = static_cast<uint8_t>(Number(key, text.substr(dot + 1), 0, 255));
}

std::string ProductName(std::string_view key, std::string_view text) {
  if (text.size() > kMaxProductName) Fail(key, text, "at most 32 characters");
  return std::string(text);
}

InputSource InputSourceNamed(std::string_view key, std::string_view name) {
  for (const auto& [known, source] : kInputSources) {
    if (name == known) return source;
  }
  Fail(key, name, "counter, echo or fixed");
}

// A size, or "off" (also -1) for the real one.
SizeOverride Override(std::string_view key, std::string_view value, unsigned long max) {
  if (value == "off" || value == "-1") return std::nullopt;
  return static_cast<uint16_t>(Number(key, value, 0, max));
}

// "the n-th ... from now on", 0 for never.
uint32_t Ordinal(std::string_view key, std::string_view value) {
  return static_cast<uint32_t>(Number(key, value, 0, 0xFFFFFFFF));
}

bool ParseTimingOption(std::string_view key, std::string_view value, BehaviourUpdate& update) {
  if (key == "delay") {
    update.delay = Milliseconds(key, value);
  } else if (key == "silent") {
    update.silent = Flag(key, value);
  } else if (key == "silent_from") {
    update.silent_from = Milliseconds(key, value);
  } else if (key == "back_at") {
    update.back_at = Milliseconds(key, value);
  } else {
    return false;
  }
  return true;
}

bool ParseAnswerOption(std::string_view key, std::string_view value, BehaviourUpdate& update) {
  if (key == "dupmac") {
    update.answer_dupmac = Flag(key, value);
  } else if (key == "error") {
    update.error_services = NamedBits(key, value, kServiceNames,
                                      "allocate, release, get, set, open, close, all or none");
  } else if (key == "error_status") {
    update.error_status = static_cast<uint8_t>(Number(key, value, 1, 0xFF));
  } else if (key == "frag_set_response") {
    update.fragmented_set_response = Flag(key, value);
  } else if (key == "lenient") {
    update.lenient = Flag(key, value);
  } else {
    return false;
  }
  return true;
}

bool ParseFragmentOption(std::string_view key, std::string_view value, BehaviourUpdate& update) {
  if (key == "drop_ack") {
    update.drop_ack = Ordinal(key, value);
  } else if (key == "ack_error") {
    update.ack_error = Ordinal(key, value);
  } else if (key == "frag_short") {
    update.frag_short = Ordinal(key, value);
  } else if (key == "frag_skip") {
    update.frag_skip = Ordinal(key, value);
  } else {
    return false;
  }
  return true;
}

bool ParseActionOption(std::string_view key, std::string_view value, BehaviourUpdate& update) {
  if (key == "power_cycle") {
    update.power_cycle = Flag(key, value);
  } else if (key == "power_check") {
    update.power_check = Flag(key, value);
  } else if (key == "stray") {
    update.stray = static_cast<uint8_t>(Number(key, value, 0, 255));
  } else if (key == "stray_id") {
    update.stray_id = static_cast<uint32_t>(Number(key, value, 0, 0x7FF));
  } else {
    return false;
  }
  return true;
}

bool ParseIoOption(std::string_view key, std::string_view value, BehaviourUpdate& update) {
  if (key == "inputs") {
    update.inputs = InputSourceNamed(key, value);
  } else if (key == "io_len") {
    update.io_len = Override(key, value, ProcessImage::kMaxSize);
  } else if (key == "io_silent") {
    update.io_silent = Flag(key, value);
  } else if (key == "no_output_ack") {
    update.no_output_ack = Flag(key, value);
  } else if (key == "io_frag_skip") {
    update.io_frag_skip = Ordinal(key, value);
  } else if (key == "report_produced") {
    update.report_produced = Override(key, value, 0xFFFF);
  } else if (key == "report_consumed") {
    update.report_consumed = Override(key, value, 0xFFFF);
  } else {
    return false;
  }
  return true;
}

bool ParseBehaviourOption(std::string_view key, std::string_view value, BehaviourUpdate& update) {
  return ParseTimingOption(key, value, update) || ParseAnswerOption(key, value, update) ||
         ParseFragmentOption(key, value, update) || ParseActionOption(key, value, update) ||
         ParseIoOption(key, value, update);
}

bool ParseDeviceOption(std::string_view key, std::string_view value, SlaveSettings& settings) {
  SlaveIdentity& identity = settings.identity;
  if (key == "mac") {
    settings.mac = static_cast<uint8_t>(Number(key, value, 0, 63));
  } else if (key == "vendor") {
    identity.vendor = static_cast<uint16_t>(Number(key, value, 0, 0xFFFF));
  } else if (key == "device_type") {
    identity.device_type = static_cast<uint16_t>(Number(key, value, 0, 0xFFFF));
  } else if (key == "product_code") {
    identity.product_code = static_cast<uint16_t>(Number(key, value, 0, 0xFFFF));
  } else if (key == "revision") {
    Revision(key, value, identity);
  } else if (key == "serial") {
    identity.serial = static_cast<uint32_t>(Number(key, value, 0, 0xFFFFFFFF));
  } else if (key == "product") {
    identity.product = ProductName(key, value);
  } else if (key == "ucmm") {
    settings.ucmm = Flag(key, value);
  } else if (key == "io") {
    settings.io.supported = NamedBits(key, value, kIoNames, "poll, strobe, cos, cyclic or none");
  } else if (key == "produced") {
    settings.io.produced_size = static_cast<uint16_t>(Number(key, value, 0, 255));
  } else if (key == "consumed") {
    settings.io.consumed_size = static_cast<uint16_t>(Number(key, value, 0, 255));
  } else if (key == "strobe_produced") {
    settings.io.strobe_produced_size = static_cast<uint16_t>(Number(key, value, 0, 8));
  } else if (key == "attr") {
    settings.attributes = ApplicationAttributes(key, value);
  } else if (key == "check") {
    settings.check = Flag(key, value);
  } else if (key == "faulted") {
    settings.faulted = Flag(key, value);
  } else if (key == "check_at") {
    settings.check_at = Milliseconds(key, value);
  } else {
    return false;
  }
  return true;
}

void CheckSilence(const BehaviourUpdate& update) {
  if (update.silent_from && update.back_at && *update.back_at <= *update.silent_from) {
    throw std::invalid_argument("back_at must come after silent_from");
  }
}

}  // namespace

SlaveSettings ParseSlaveSettings(const Options& options) {
  if (!options.contains("mac")) throw std::invalid_argument("slave needs mac=...");
  SlaveSettings settings;
  for (const auto& [key, value] : options) {
    if (!ParseDeviceOption(key, value, settings) &&
        !ParseBehaviourOption(key, value, settings.behaviour)) {
      throw std::invalid_argument("unknown option '" + key + "' for slave");
    }
  }
  CheckSilence(settings.behaviour);
  return settings;
}

BehaviourUpdate ParseBehaviour(const Options& options) {
  BehaviourUpdate update;
  for (const auto& [key, value] : options) {
    if (!ParseBehaviourOption(key, value, update)) {
      throw std::invalid_argument("unknown behaviour option '" + key + "'");
    }
  }
  CheckSilence(update);
  return update;
}

}  // namespace dnsim
