// The reader of the flat JSON objects that dnm run's web view and MQTT publisher take: what it
// reads, and where it stops on what the end-to-end tests cannot send easily.
#include <gtest/gtest.h>

#include <string>

#include "FlatJson.h"

namespace dnm::tool {
namespace {

using Fault = FlatJson::Fault;

TEST(FlatJson, ReadsStringsNumbersAndListsOfNumbers) {
  const FlatJson json =
      ReadFlatJson(" {\"a\\/\\\"\":\"x\\\\y\" ,\"n\":18446744073709551\r,\"l\":[0, 255],\"e\":[]}\n");
  ASSERT_EQ(json.fault, Fault::kNone);
  ASSERT_EQ(json.members.size(), 4u);
  EXPECT_EQ(json.members.at("a/\"").text, "x\\y");
  EXPECT_EQ(json.members.at("n").number, 18446744073709551u);
  EXPECT_EQ(json.members.at("l").list, (std::vector<uint64_t>{0, 255}));
  EXPECT_EQ(json.members.at("e").kind, FlatJsonValue::Kind::kList);
  EXPECT_EQ(ReadFlatJson("{}").fault, Fault::kNone);
}

TEST(FlatJson, StopsAtEachFault) {
  struct Case {
    std::string text;
    Fault fault;
    const char* key;
  };
  // clang-format off
  const Case cases[] = {
      {"", Fault::kNoObject, ""},
      {"[1]", Fault::kNoObject, ""},
      {"{a:1}", Fault::kNoObject, ""},
      {"{\"a\" 1}", Fault::kNoObject, ""},
      {"{\"a\":1,}", Fault::kNoObject, ""},
      {std::string("{\"a\0\":1}", 8), Fault::kNoObject, ""},
      {"{\"a\":184467440737095516}", Fault::kNone, ""},
      {"{\"a\":1844674407370955161}", Fault::kValue, "a"},  // 19 digits: could overflow
      {"{\"a\":01}", Fault::kValue, "a"},
      {"{\"a\":-1}", Fault::kValue, "a"},
      {"{\"a\":true}", Fault::kValue, "a"},
      {"{\"a\":{\"b\":1}}", Fault::kValue, "a"},
      {"{\"a\":[[1]]}", Fault::kValue, "a"},
      {"{\"a\":[\"1\"]}", Fault::kValue, "a"},
      {"{\"a\":[1,]}", Fault::kValue, "a"},
      {"{\"a\":\"\\u0041\"}", Fault::kValue, "a"},
      {"{\"a\":\"\xc3\xa9\"}", Fault::kValue, "a"},
      {"{\"a\":\"\xff\"}", Fault::kValue, "a"},
      {"{\"a\":\"\t\"}", Fault::kValue, "a"},
      {"{\"a\":\"x", Fault::kValue, "a"},
      {"{\"a\":1,\"a\":2}", Fault::kDuplicate, "a"},
      {"{\"a\":1.5}", Fault::kAfterValue, ""},
      {"{\"a\":1e3}", Fault::kAfterValue, ""},
      {"{\"a\":1", Fault::kAfterValue, ""},
      {"{\"a\":1} {}", Fault::kAfterValue, ""},
      {std::string("{}\0", 3), Fault::kAfterValue, ""},
      {"{\"a\":\"" + std::string(kMaxFlatJson - 8, 'x') + "\"}", Fault::kNone, ""},
      {"{\"a\":\"" + std::string(kMaxFlatJson - 7, 'x') + "\"}", Fault::kTooLong, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    const FlatJson json = ReadFlatJson(c.text);
    EXPECT_EQ(json.fault, c.fault) << c.text.substr(0, 40);
    EXPECT_EQ(json.fault_key, c.key) << c.text.substr(0, 40);
  }
}

}  // namespace
}  // namespace dnm::tool
