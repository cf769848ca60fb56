#include "ProcessImage.h"

#include <algorithm>

namespace dnsim {

ProcessImage::ProcessImage() : inputs_(kMaxSize) {
  for (size_t i = 0; i < inputs_.size(); ++i) inputs_[i] = static_cast<uint8_t>(i);
}

Bytes ProcessImage::Response(size_t size, InputSource source, uint32_t responses_before) const {
  const Bytes& data = source == InputSource::kEcho ? outputs_ : inputs_;
  Bytes response(size);
  std::copy_n(data.begin(), std::min(size, data.size()), response.begin());
  if (source == InputSource::kCounter && size > 0) {
    response[0] = static_cast<uint8_t>(responses_before);
  }
  return response;
}

}  // namespace dnsim
