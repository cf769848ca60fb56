// A strict reader of the flat JSON objects dnm run takes from outside (the web view's request
// bodies, the MQTT publisher's outputs/set payloads): members whose values are strings of
// printable ASCII, whole numbers or lists of whole numbers; nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace dnm::tool {

// The longest text read.
constexpr size_t kMaxFlatJson = 4096;

struct FlatJsonValue {
  enum class Kind { kString, kNumber, kList };
  Kind kind = Kind::kString;
  std::string text;             // kString, unescaped
  uint64_t number = 0;          // kNumber
  std::vector<uint64_t> list;   // kList
};

struct FlatJson {
  // Where the reading stopped; kNone: the members are the whole object.
  enum class Fault {
    kNone,
    kTooLong,       // over kMaxFlatJson
    kNoObject,      // no '{', or a member's name is not a string followed by ':'
    kValue,         // the value of fault_key is none of the three
    kDuplicate,     // fault_key named twice
    kAfterValue     // no ',' or '}' after a value, or something after the object
  };
  Fault fault = Fault::kNone;
  std::string fault_key;
  std::map<std::string, FlatJsonValue> members;
};

// Numbers are 1 to 18 digits, without sign, fraction, exponent or leading zero; strings
// take the escapes \" \\ \/ only: no key or value read needs more.
FlatJson ReadFlatJson(std::string_view text);

}  // namespace dnm::tool
