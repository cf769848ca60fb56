#include "MessageRouter.h"

#include "StandardObjects.h"

namespace dnsim {
namespace {

constexpr size_t kGetSize = 4;        // service, class, instance, attribute
constexpr size_t kSetHeaderSize = 4;  // the same, then the value
constexpr size_t kAllocateSize = 5;   // service, class, instance, choice, allocator MAC
constexpr size_t kReleaseSize = 4;    // service, class, instance, choice
constexpr uint8_t kBodyFormat8Bit = 0x00;
constexpr uint8_t kMaxMac = 63;

ServiceKind KindOf(uint8_t service) {
  switch (service) {
    case kAllocate:
      return ServiceKind::kAllocate;
    case kRelease:
      return ServiceKind::kRelease;
    case kGetAttributeSingle:
      return ServiceKind::kGet;
    case kSetAttributeSingle:
      return ServiceKind::kSet;
    default:
      return ServiceKind::kOther;
  }
}

Bytes SuccessReply(uint8_t service) {
  return {static_cast<uint8_t>(kReplyFlag | service)};
}

Bytes StatusReply(uint8_t service, uint8_t status) {
  return status == kSuccess ? SuccessReply(service) : ErrorReply(status);
}

}  // namespace

MessageRouter::MessageRouter(SlaveContext& context, const SlaveSettings& settings, uint32_t baud,
                             PredefinedSet& set, Ucmm& ucmm)
    : context_(context),
      set_(set),
      ucmm_(ucmm),
      identity_(IdentityAttributes(settings.identity, set)),
      devicenet_(DeviceNetAttributes(settings.mac, baud, set)),
      application_(settings.attributes) {}

Bytes MessageRouter::Serve(std::span<const uint8_t> request, uint8_t requester) {
  if (request.empty()) return ErrorReply(kNotEnoughData);
  const ServiceKind kind = KindOf(request[0]);
  context_.counters.Count(kind);
  if (context_.behaviour.Fails(kind)) return ErrorReply(context_.behaviour.error_status);
  switch (kind) {
    case ServiceKind::kGet:
      return GetAttribute(request);
    case ServiceKind::kSet:
      return SetAttribute(request);
    case ServiceKind::kAllocate:
      return Allocate(request);
    case ServiceKind::kRelease:
      return Release(request, requester);
    default:
      return ErrorReply(kServiceNotSupported);
  }
}

Bytes MessageRouter::ServeUnconnected(std::span<const uint8_t> request, uint8_t requester) {
  const uint8_t service = request.empty() ? 0 : request[0];
  if (service == kAllocate || service == kRelease) return Serve(request, requester);
  context_.counters.Count(ServiceKind::kOther);
  return ErrorReply(kServiceNotSupported);
}

Bytes MessageRouter::GetAttribute(std::span<const uint8_t> request) {
  if (request.size() < kGetSize) return ErrorReply(kNotEnoughData);
  if (request.size() > kGetSize) return ErrorReply(kTooMuchData);
  const AttributeSet* instance = FindInstance(request[1], request[2]);
  if (instance == nullptr) return ErrorReply(kObjectDoesNotExist);
  AttributeReply reply = instance->Get(request[3]);
  if (reply.status != kSuccess) return ErrorReply(reply.status);
  reply.value.insert(reply.value.begin(), kReplyFlag | kGetAttributeSingle);
  return reply.value;
}

Bytes MessageRouter::SetAttribute(std::span<const uint8_t> request) {
  if (request.size() < kSetHeaderSize) return ErrorReply(kNotEnoughData);
  AttributeSet* instance = FindInstance(request[1], request[2]);
  if (instance == nullptr) return ErrorReply(kObjectDoesNotExist);
  return StatusReply(kSetAttributeSingle,
                     instance->Set(request[3], request.subspan(kSetHeaderSize)));
}

// Allocate and release are services of the DeviceNet object only.
uint8_t MessageRouter::ConnectionSetPathStatus(std::span<const uint8_t> request, size_t size) {
  if (request.size() < size) return kNotEnoughData;
  if (request.size() > size) return kTooMuchData;
  if (FindInstance(request[1], request[2]) == nullptr) return kObjectDoesNotExist;
  return request[1] == kDeviceNetClass ? kSuccess : kServiceNotSupported;
}

Bytes MessageRouter::Allocate(std::span<const uint8_t> request) {
  uint8_t status = ConnectionSetPathStatus(request, kAllocateSize);
  if (status == kSuccess && request[4] > kMaxMac) status = kInvalidParameter;
  if (status == kSuccess) status = set_.Allocate(request[3], request[4]);
  if (status != kSuccess) return ErrorReply(status);
  return {kReplyFlag | kAllocate, kBodyFormat8Bit};
}

Bytes MessageRouter::Release(std::span<const uint8_t> request, uint8_t requester) {
  uint8_t status = ConnectionSetPathStatus(request, kReleaseSize);
  if (status == kSuccess) status = set_.Release(request[3], requester);
  return StatusReply(kRelease, status);
}

AttributeSet* MessageRouter::FindInstance(uint8_t class_id, uint8_t instance) {
  if (class_id == kConnectionClass) {
    Connection* connection = set_.Find(instance);
    if (connection == nullptr) connection = ucmm_.Find(instance);
    return connection == nullptr ? nullptr : &connection->attributes();
  }
  if (instance != 1) return nullptr;
  switch (class_id) {
    case kIdentityClass:
      return &identity_;
    case kDeviceNetClass:
      return &devicenet_;
    case kApplicationClass:
      return &application_;
    default:
      return nullptr;
  }
}

}  // namespace dnsim
