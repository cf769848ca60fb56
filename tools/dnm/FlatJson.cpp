#include "FlatJson.h"

#include <utility>

namespace dnm::tool {
namespace {

constexpr size_t kMaxDigits = 18;  // no overflow

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool Take(char c) {
    SkipBlanks();
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool AtEnd() {
    SkipBlanks();
    return at_ == text_.size();
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '"') return true;
      if (c < 0x20 || c > 0x7E) return false;
      if (c == '\\') {
        if (at_ >= text_.size()) return false;
        c = text_[at_++];
        if (c != '"' && c != '\\' && c != '/') return false;
      }
      out += c;
    }
    return false;
  }
  bool Number(uint64_t& out) {
    SkipBlanks();
    const size_t start = at_;
    out = 0;
    for (; at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9'; ++at_) {
      if (at_ - start == kMaxDigits) return false;
      out = out * 10 + static_cast<uint64_t>(text_[at_] - '0');
    }
    const size_t digits = at_ - start;
    return digits > 0 && !(digits > 1 && text_[start] == '0');
  }
  bool List(std::vector<uint64_t>& out) {
    if (!Take('[')) return false;
    if (Take(']')) return true;
    do {
      uint64_t number = 0;
      if (!Number(number)) return false;
      out.push_back(number);
    } while (Take(','));
    return Take(']');
  }
  bool Value(FlatJsonValue& out) {
    SkipBlanks();
    const char first = at_ < text_.size() ? text_[at_] : '\0';
    if (first == '"') {
      out.kind = FlatJsonValue::Kind::kString;
      return String(out.text);
    }
    if (first == '[') {
      out.kind = FlatJsonValue::Kind::kList;
      return List(out.list);
    }
    out.kind = FlatJsonValue::Kind::kNumber;
    return Number(out.number);
  }

 private:
  void SkipBlanks() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }

  std::string_view text_;
  size_t at_ = 0;
};

FlatJson Faulted(FlatJson::Fault fault, std::string key = "") {
  FlatJson json;
  json.fault = fault;
  json.fault_key = std::move(key);
  return json;
}

}  // namespace

FlatJson ReadFlatJson(std::string_view text) {
  if (text.size() > kMaxFlatJson) return Faulted(FlatJson::Fault::kTooLong);
  Reader reader(text);
  if (!reader.Take('{')) return Faulted(FlatJson::Fault::kNoObject);
  FlatJson json;
  if (!reader.Take('}')) {
    do {
      std::string key;
      FlatJsonValue value;
      if (!reader.String(key) || !reader.Take(':')) return Faulted(FlatJson::Fault::kNoObject);
      if (!reader.Value(value)) return Faulted(FlatJson::Fault::kValue, std::move(key));
      if (json.members.count(key) != 0) return Faulted(FlatJson::Fault::kDuplicate, std::move(key));
      json.members.emplace(std::move(key), std::move(value));
    } while (reader.Take(','));
    if (!reader.Take('}')) return Faulted(FlatJson::Fault::kAfterValue);
  }
  if (!reader.AtEnd()) return Faulted(FlatJson::Fault::kAfterValue);
  return json;
}

}  // namespace dnm::tool
