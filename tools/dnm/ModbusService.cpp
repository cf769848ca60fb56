#include "ModbusService.h"

#include <stdexcept>

#ifdef DNM_MODBUS

#include <modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>

#include "CommandLine.h"
#include "ProcessImage.h"

namespace dnm::tool {
namespace {

// What one client can hold: a slot of kMaxClients, for at most kIdleLimitS without a request (or
// from kEvictableAfterMs on, when a new client needs the slot); a request must come whole with at
// most kByteTimeoutMs between its bytes, and its answer be taken within kSendTimeoutS.
constexpr size_t kMaxClients = 16;
constexpr uint32_t kIdleLimitS = 60;
constexpr int64_t kEvictableAfterMs = 1000;
constexpr uint32_t kByteTimeoutMs = 500;
constexpr time_t kSendTimeoutS = 2;
constexpr int kBacklog = 16;
constexpr int kPauseWhenOutOfDescriptorsMs = 100;

int Listen(const std::string& text) {
  const ListenAddress address = ParseListenAddress(text, "--modbus");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
      error != 0) {
    throw UsageError("--modbus " + text + ": " + gai_strerror(error));
  }
  std::string why = "no address";
  for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const int fd =
        socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
    if (fd < 0) {
      why = std::strerror(errno);
      continue;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, at->ai_addr, at->ai_addrlen) == 0 && listen(fd, kBacklog) == 0) {
      freeaddrinfo(found);
      return fd;
    }
    why = std::strerror(errno);
    close(fd);
  }
  freeaddrinfo(found);
  throw std::runtime_error("cannot listen for Modbus TCP on " + text + ": " + why);
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint16_t Word(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

// A request's header: transaction, protocol and a length that counts the unit and the PDU.
constexpr size_t kLengthFieldEnd = 6;
constexpr uint16_t kMaxUnitAndPdu = MODBUS_TCP_MAX_ADU_LENGTH - kLengthFieldEnd;

// The bytes received from a client, framed into requests by their header's length.
class RequestBuffer {
 public:
  // The length of the whole request at the front, 0 while it is not whole yet, -1 when its
  // header's length is out of range.
  int Framed() const {
    if (held_ < kLengthFieldEnd + 1) return 0;
    const uint16_t length = Word(bytes_ + kLengthFieldEnd - 2);
    if (length < 1 || length > kMaxUnitAndPdu) return -1;
    const size_t whole = kLengthFieldEnd + length;
    return held_ >= whole ? static_cast<int>(whole) : 0;
  }
  bool Empty() const { return held_ == 0; }
  const uint8_t* Front() const { return bytes_; }
  // False when the client closed, failed, or sent nothing for the socket's receive timeout.
  bool Receive(int fd) {
    for (;;) {
      const ssize_t got = recv(fd, bytes_ + held_, sizeof bytes_ - held_, 0);
      if (got > 0) held_ += static_cast<size_t>(got);
      if (got >= 0 || errno != EINTR) return got > 0;
    }
  }
  void Drop(int length) {
    held_ -= static_cast<size_t>(length);
    std::memmove(bytes_, bytes_ + length, held_);
  }

 private:
  uint8_t bytes_[MODBUS_TCP_MAX_ADU_LENGTH];  // a request unframed leaves room for its rest
  size_t held_ = 0;
};

// Waits for the rest of a request begun; false after kByteTimeoutMs without a byte.
bool AwaitMore(int fd) {
  pollfd watched{fd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&watched, 1, kByteTimeoutMs);
    if (ready >= 0 || errno != EINTR) return ready > 0;
  }
}

// The next whole request, its length, or -1 when the client is to be closed: it closed, stayed
// silent, paused within a request, or sent a length out of range.
int NextRequest(int fd, RequestBuffer& received) {
  for (;;) {
    if (const int length = received.Framed(); length != 0) return length;
    if (!received.Empty() && !AwaitMore(fd)) return -1;
    if (!received.Receive(fd)) return -1;
  }
}

bool ReplyException(modbus_t* context, const uint8_t* request, uint8_t exception) {
  return modbus_reply_exception(context, request, exception) >= 0;
}

// Answers the request through a mapping of exactly the registers it names, holding values: a
// read gets them, a write is echoed as the protocol asks.
bool ReplyWith(modbus_t* context, const uint8_t* request, int length, RegisterTable table,
               uint16_t start, const uint16_t* values, uint16_t count) {
  const bool holding = table == RegisterTable::kHolding;
  modbus_mapping_t* mapping =
      modbus_mapping_new_start_address(0, 0, 0, 0, holding ? start : 0, holding ? count : 0,
                                       holding ? 0 : start, holding ? 0 : count);
  if (mapping == nullptr) return ReplyException(context, request, kDeviceFailure);
  std::copy(values, values + count,
            holding ? mapping->tab_registers : mapping->tab_input_registers);
  const int sent = modbus_reply(context, request, length, mapping);
  modbus_mapping_free(mapping);
  return sent >= 0;
}

class Server final : public ModbusService {
 public:
  Server(int listener, const ScannerView& scanner, OutputStore& outputs);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

 private:
  struct Client {
    std::thread thread;
    int fd = -1;           // clients_mutex_; -1 once its thread closes it
    bool evicted = false;  // clients_mutex_
    std::atomic<int64_t> last_request_ms{0};
    std::atomic<bool> finished{false};
  };

  void AcceptClients();
  void Admit(int fd);   // clients_mutex_ held
  void ReapFinished();  // clients_mutex_ held
  bool MakeRoom();      // clients_mutex_ held
  void Serve(Client& client, int fd);
  // False when the answer could not be sent.
  bool Answer(modbus_t* context, const uint8_t* request, int length);
  bool AnswerRead(modbus_t* context, const uint8_t* request, int length, RegisterTable table);
  bool AnswerWrite(modbus_t* context, const uint8_t* request, int length, bool single);

  ProcessImage image_;
  int listener_;
  int wake_;
  std::mutex clients_mutex_;
  std::list<std::unique_ptr<Client>> clients_;
  std::thread acceptor_;
};

Server::Server(int listener, const ScannerView& scanner, OutputStore& outputs)
    : image_(scanner, outputs), listener_(listener), wake_(eventfd(0, EFD_CLOEXEC)) {
  if (wake_ < 0) {
    close(listener_);
    throw std::runtime_error(std::string("Modbus TCP: eventfd: ") + std::strerror(errno));
  }
  acceptor_ = std::thread([this] { AcceptClients(); });
}

Server::~Server() {
  const uint64_t one = 1;
  if (write(wake_, &one, sizeof one) != sizeof one) std::perror("dnm: Modbus TCP stop");
  acceptor_.join();
  close(listener_);
  {
    const std::lock_guard lock(clients_mutex_);
    for (const auto& client : clients_) {
      if (client->fd >= 0) shutdown(client->fd, SHUT_RDWR);
    }
  }
  for (const auto& client : clients_) client->thread.join();
  close(wake_);
}

void Server::AcceptClients() {
  pthread_setname_np(pthread_self(), "modbus-accept");
  pollfd watched[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
  for (;;) {
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("dnm: Modbus TCP: poll");
      return;
    }
    if (watched[1].revents != 0) return;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      const std::lock_guard lock(clients_mutex_);
      Admit(fd);
    } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      // The connection stays pending, and the listener readable: a pause instead of a spin.
      pollfd wake{wake_, POLLIN, 0};
      poll(&wake, 1, kPauseWhenOutOfDescriptorsMs);
    }
  }
}

void Server::Admit(int fd) {
  ReapFinished();
  if (!MakeRoom()) {
    close(fd);
    return;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const timeval send_timeout{kSendTimeoutS, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  const timeval idle_limit{kIdleLimitS, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle_limit, sizeof idle_limit);
  auto client = std::make_unique<Client>();
  client->fd = fd;
  client->last_request_ms = NowMs();
  Client& admitted = *client;
  clients_.push_back(std::move(client));
  try {
    admitted.thread = std::thread([this, &admitted, fd] { Serve(admitted, fd); });
  } catch (const std::system_error&) {  // no thread to be had: the client goes unserved
    clients_.pop_back();
    close(fd);
  }
}

void Server::ReapFinished() {
  for (auto at = clients_.begin(); at != clients_.end();) {
    if (!(*at)->finished) {
      ++at;
      continue;
    }
    (*at)->thread.join();
    at = clients_.erase(at);
  }
}

// True when a slot is free, or made free by closing the client that sent nothing the longest,
// if that was at least kEvictableAfterMs ago.
bool Server::MakeRoom() {
  Client* idlest = nullptr;
  size_t serving = 0;
  for (const auto& client : clients_) {
    if (client->evicted || client->fd < 0) continue;
    ++serving;
    if (idlest == nullptr || client->last_request_ms < idlest->last_request_ms)
      idlest = client.get();
  }
  if (serving < kMaxClients) return true;
  if (NowMs() - idlest->last_request_ms < kEvictableAfterMs) return false;
  shutdown(idlest->fd, SHUT_RDWR);
  idlest->evicted = true;
  return true;
}

void Server::Serve(Client& client, int fd) {
  pthread_setname_np(pthread_self(), "modbus-client");
  if (modbus_t* context = modbus_new_tcp(nullptr, 0); context != nullptr) {
    // Only to answer: one receive usually holds a whole request, where modbus_receive would
    // wait in select() and read the header and the rest apart.
    modbus_set_socket(context, fd);
    RequestBuffer received;
    for (int length; (length = NextRequest(fd, received)) > 0;) {
      client.last_request_ms = NowMs();
      if (!Answer(context, received.Front(), length)) break;
      received.Drop(length);
    }
    modbus_free(context);  // leaves the socket open
  }
  {
    const std::lock_guard lock(clients_mutex_);
    client.fd = -1;
  }
  close(fd);
  client.finished = true;
}

// What a request of the function holds after its function byte: address and quantity or value;
// for a write of several, a byte count and that many bytes too. Exactly that: a longer request is
// not the one its sender meant.
constexpr int kAddressAndWord = 4;
constexpr int kByteCountAt = 5;

// The PDU length a request of the function must have; -1 when the function has no fixed layout
// that the length could be judged by.
int ExpectedPduLength(const uint8_t* pdu, int pdu_length) {
  switch (pdu[0]) {
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_WRITE_SINGLE_COIL:
      return 1 + kAddressAndWord;
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
      return pdu_length > kByteCountAt ? kByteCountAt + 1 + pdu[kByteCountAt] : kByteCountAt + 1;
    default:
      return -1;
  }
}

constexpr uint8_t kExceptionFlag = 0x80;

// Not Modbus (another protocol identifier), or a function code with the exception flag set,
// whose exception answer would carry the request's own function byte: no answer tells it apart
// from a reply, so none is sent.
bool Unanswerable(const uint8_t* request, const uint8_t* pdu) {
  const uint16_t protocol = Word(request + 2);
  return protocol != 0 || (pdu[0] & kExceptionFlag) != 0;
}

bool Server::Answer(modbus_t* context, const uint8_t* request, int length) {
  const int header = modbus_get_header_length(context);
  if (length <= header) return false;
  const uint8_t* pdu = request + header;
  if (Unanswerable(request, pdu)) return true;
  if (const int expected = ExpectedPduLength(pdu, length - header);
      expected >= 0 && expected != length - header)
    return ReplyException(context, request, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  switch (pdu[0]) {
    case MODBUS_FC_READ_HOLDING_REGISTERS:
      return AnswerRead(context, request, length, RegisterTable::kHolding);
    case MODBUS_FC_READ_INPUT_REGISTERS:
      return AnswerRead(context, request, length, RegisterTable::kInput);
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
      return AnswerWrite(context, request, length, true);
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
      return AnswerWrite(context, request, length, false);
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
      return ReplyException(context, request, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    default:
      return ReplyException(context, request, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
  }
}

bool Server::AnswerRead(modbus_t* context, const uint8_t* request, int length,
                        RegisterTable table) {
  const int header = modbus_get_header_length(context);
  const uint16_t start = Word(request + header + 1);
  const uint16_t count = Word(request + header + 3);
  if (count < 1 || count > MODBUS_MAX_READ_REGISTERS)
    return ReplyException(context, request, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  uint16_t values[MODBUS_MAX_READ_REGISTERS] = {};
  if (const uint8_t exception = image_.Read(table, start, count, values); exception != 0)
    return ReplyException(context, request, exception);
  return ReplyWith(context, request, length, table, start, values, count);
}

// Write single: function, address, value. Write multiple: function, address, quantity, byte
// count, values; its length is judged by its byte count before.
constexpr int kWriteMultipleHead = kByteCountAt + 1;

bool Server::AnswerWrite(modbus_t* context, const uint8_t* request, int length, bool single) {
  const int header = modbus_get_header_length(context);
  const uint8_t* pdu = request + header;
  const int pdu_length = length - header;
  uint16_t values[MODBUS_MAX_WRITE_REGISTERS] = {};
  uint16_t count = 1;
  if (single) {
    values[0] = Word(pdu + 3);
  } else {
    count = Word(pdu + 3);
    if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || pdu[kByteCountAt] != 2 * count ||
        pdu_length != kWriteMultipleHead + 2 * count) {
      return ReplyException(context, request, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    }
    for (uint16_t i = 0; i < count; ++i) values[i] = Word(pdu + kWriteMultipleHead + 2 * i);
  }
  const uint16_t start = Word(pdu + 1);
  if (const uint8_t exception = image_.Write(start, values, count); exception != 0)
    return ReplyException(context, request, exception);
  return ReplyWith(context, request, length, RegisterTable::kHolding, start, values, count);
}

}  // namespace

std::unique_ptr<ModbusService> ModbusService::Start(const std::string& address,
                                                    const ScannerView& scanner,
                                                    OutputStore& outputs) {
  return std::make_unique<Server>(Listen(address), scanner, outputs);
}

}  // namespace dnm::tool

#else  // built without libmodbus

namespace dnm::tool {

std::unique_ptr<ModbusService> ModbusService::Start(const std::string&, const ScannerView&,
                                                    OutputStore&) {
  throw std::runtime_error(
      "this dnm was built without Modbus TCP: libmodbus was not found when it was configured "
      "(Debian: apt-get install libmodbus-dev, then configure again)");
}

}  // namespace dnm::tool

#endif
