#include "HttpService.h"

#include <stdexcept>

#ifdef DNM_HTTP

#include <httplib.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "WebModel.h"
#include "WebRequests.h"

namespace dnm::tool {
namespace {

// Workers: one for each live stream at most, and kRequestWorkers more for the other requests.
constexpr size_t kMaxStreams = 16;
constexpr size_t kRequestWorkers = 8;
// A request must come whole within kReadTimeoutS of the connection's opening or of the answer
// before it; an answer, or a part of a stream, be taken within kWriteTimeoutS, else the
// connection is closed.
constexpr time_t kReadTimeoutS = 5;
constexpr time_t kWriteTimeoutS = 3;
constexpr time_t kKeepAliveS = 5;
constexpr size_t kKeepAliveRequests = 100;
// A stream with nothing new says so this often, so that a connection gone is found.
constexpr auto kStreamSilence = std::chrono::seconds(10);
constexpr auto kStopRetry = std::chrono::milliseconds(20);
// What the kernel holds for one connection's answers: a browser that stops reading fills it in
// seconds and is then cut by the write timeout.
constexpr int kSendBuffer = 64 * 1024;

// At most this many connections wait for a request at once; the oldest of more are closed.
constexpr size_t kMaxWaiting = 2 * kRequestWorkers;
// How often the connections are looked at for the bounds above.
constexpr auto kGuardPeriod = std::chrono::milliseconds(250);

// The listening socket's options, which the connections inherit. Not SO_REUSEPORT, the HTTP
// library's own choice, with which a second dnm run on the same port would share it unnoticed.
void SetSocketOptions(int socket) {
  const int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
}

// The HTTP library's task queue: a fixed number of named workers.
class WorkerPool final : public httplib::TaskQueue {
 public:
  explicit WorkerPool(size_t workers) {
    for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> task) override {
    {
      const std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    ready_.notify_one();
  }
  // Runs the tasks queued (each closes its connection), then ends the workers.
  void shutdown() override {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

 private:
  void Work() {
    pthread_setname_np(pthread_self(), "http-worker");
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;  // guards tasks_ and stopping_
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// The address and port of a connection's other end, as the HTTP library gives them in a request.
std::string PeerName(const sockaddr_storage& address, socklen_t length) {
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host,
                  service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "";
  return std::string(host) + " " + service;
}

int LocalPort(int socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port);
  return -1;
}

// The other end of a connection accepted on the port, or "" for any other file.
std::string AcceptedPeer(int socket, int port) {
  if (LocalPort(socket) != port) return "";
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  return PeerName(address, length);
}

// The connections accepted on the port, by their other ends. The HTTP library keeps their sockets
// to itself, so they are found among the process's open files.
std::map<std::string, int> AcceptedConnections(int port) {
  std::map<std::string, int> connections;
  DIR* files = opendir("/proc/self/fd");
  if (files == nullptr) return connections;
  while (const dirent* entry = readdir(files)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const int socket = std::atoi(entry->d_name);
    if (socket == dirfd(files)) continue;
    const std::string peer = AcceptedPeer(socket, port);
    if (!peer.empty()) connections.emplace(peer, socket);
  }
  closedir(files);
  return connections;
}

// Closes, for reading and writing, a connection still the one it was when found.
void Cut(int socket, const std::string& peer, int port) {
  if (AcceptedPeer(socket, port) == peer) shutdown(socket, SHUT_RDWR);
}

// Bounds what connections that send no whole request can hold, which the HTTP library's timeout
// for each read does not: a client sending a byte every few seconds would keep a worker for ever.
class ConnectionGuard {
 public:
  explicit ConnectionGuard(int port) : port_(port) {
    thread_ = std::thread([this] { Run(); });
  }
  ~ConnectionGuard() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

  // A whole request came on the connection: it is answered, however long that takes.
  void Answering(const std::string& peer) {
    const std::lock_guard lock(mutex_);
    connections_[peer].answering = true;
  }
  // The connection waits for its next request.
  void Answered(const std::string& peer) {
    const std::lock_guard lock(mutex_);
    Connection& connection = connections_[peer];
    connection.waiting_since = Clock::now();
    connection.answering = false;
  }
  // Closes every connection, as the server stops: none may keep its worker.
  void CutAll() const {
    for (const auto& [peer, socket] : AcceptedConnections(port_)) Cut(socket, peer, port_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Connection {
    int socket = -1;
    Clock::time_point waiting_since = Clock::now();
    bool answering = false;
  };

  void Run() {
    pthread_setname_np(pthread_self(), "http-guard");
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kGuardPeriod, [this] { return stopping_; })) Look();
  }

  // Forgets the connections closed, notes the new ones, and closes those waiting too long and
  // the oldest waiting beyond kMaxWaiting.
  void Look() {
    std::map<std::string, Connection> open;
    for (const auto& [peer, socket] : AcceptedConnections(port_)) {
      const auto known = connections_.find(peer);
      const bool same = known != connections_.end() &&
                        (known->second.socket == -1 || known->second.socket == socket);
      open[peer] = same ? known->second : Connection{};
      open[peer].socket = socket;
    }
    connections_ = std::move(open);
    std::vector<std::pair<Clock::time_point, std::string>> waiting;
    for (const auto& [peer, connection] : connections_)
      if (!connection.answering) waiting.emplace_back(connection.waiting_since, peer);
    std::sort(waiting.begin(), waiting.end(), std::greater<>());
    const auto deadline = Clock::now() - std::chrono::seconds(kReadTimeoutS);
    for (size_t i = 0; i < waiting.size(); ++i) {
      if (i >= kMaxWaiting || waiting[i].first < deadline)
        Cut(connections_[waiting[i].second].socket, waiting[i].second, port_);
    }
  }

  const int port_;
  std::mutex mutex_;  // guards connections_ and stopping_
  std::condition_variable wake_;
  std::map<std::string, Connection> connections_;
  bool stopping_ = false;
  std::thread thread_;
};

std::string PeerOf(const httplib::Request& request) {
  return request.remote_addr + " " + std::to_string(request.remote_port);
}

WebRequest RequestOf(const httplib::Request& request) {
  WebRequest web{request.method,
                 request.path,
                 {},
                 std::nullopt,
                 request.get_header_value("Host"),
                 request.get_header_value("Content-Type"),
                 request.body};
  for (const auto& [key, value] : request.params) web.query.emplace_back(key, value);
  if (request.has_header("Origin")) web.origin = request.get_header_value("Origin");
  return web;
}

bool IsDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A Content-Length of digits only over kMaxRequestBody, however many leading zeros it has.
bool OverBodyLimit(const std::string& digits) {
  const size_t first = std::min(digits.find_first_not_of('0'), digits.size());
  const std::string significant = digits.substr(first);
  return significant.size() > std::to_string(kMaxRequestBody).size() ||
         (!significant.empty() && std::stoul(significant) > kMaxRequestBody);
}

const char* ErrorText(int status) {
  switch (status) {
    case 413:
      return "a body holds at most 4 KiB";
    case 404:
      return "no such page";
    default:
      return "malformed request";
  }
}

httplib::Server::HandlerResponse Refuse(httplib::Response& response, int status,
                                        const std::string& text) {
  response.status = status;
  response.set_content(ErrorBody(text), "application/json");
  // A body left unread would be taken for the next request.
  response.set_header("Connection", "close");
  return httplib::Server::HandlerResponse::Handled;
}

// Before the HTTP library's own judgement and before the body is read. The library answers 400 to
// a method it has no handler for (TRACE, CONNECT) and 413 to a Content-Length that is not a
// number, takes the first of two Content-Lengths or Hosts (where a proxy in front may have taken
// the other), and reads a body over the limit to its end before refusing it.
httplib::Server::HandlerResponse Precheck(const httplib::Request& request,
                                          httplib::Response& response) {
  static const std::set<std::string> kMethods{"GET", "HEAD",    "POST", "PUT",
                                              "DELETE", "OPTIONS", "PATCH"};
  if (kMethods.count(request.method) == 0)
    return Refuse(response, 405, request.method + " is not taken here");
  for (const char* once : {"Content-Length", "Host"}) {
    if (request.get_header_value_count(once) > 1)
      return Refuse(response, 400, std::string(once) + " is given more than once");
  }
  if (!request.has_header("Content-Length"))
    return httplib::Server::HandlerResponse::Unhandled;
  const std::string length = request.get_header_value("Content-Length");
  if (!IsDigits(length)) return Refuse(response, 400, "Content-Length is not a number");
  if (OverBodyLimit(length)) return Refuse(response, 413, ErrorText(413));
  return httplib::Server::HandlerResponse::Unhandled;
}

class Server final : public HttpService {
 public:
  Server(const HttpOptions& options, const ListenAddress& address, Scanner& scanner,
         OutputStore& outputs);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

 private:
  // Holds one of the kMaxStreams places while a stream lasts.
  class StreamPlace {
   public:
    explicit StreamPlace(std::atomic<size_t>& streams) : streams_(streams) {}
    ~StreamPlace() { --streams_; }
    StreamPlace(const StreamPlace&) = delete;
    StreamPlace& operator=(const StreamPlace&) = delete;

   private:
    std::atomic<size_t>& streams_;
  };

  void Handle(const httplib::Request& request, httplib::Response& response);
  void Stream(httplib::Response& response);

  WebModel model_;
  ConnectionGuard guard_;
  httplib::Server server_;
  std::atomic<size_t> streams_{0};
  std::future<void> listening_;
};

Server::Server(const HttpOptions& options, const ListenAddress& address, Scanner& scanner,
               OutputStore& outputs)
    : model_(scanner, outputs, {options.write, options.scan_list}),
      guard_(std::stoi(address.port)) {
  server_.new_task_queue = [] { return new WorkerPool(kMaxStreams + kRequestWorkers); };
  server_.set_read_timeout(kReadTimeoutS, 0);
  server_.set_write_timeout(kWriteTimeoutS, 0);
  server_.set_keep_alive_timeout(kKeepAliveS);
  server_.set_keep_alive_max_count(kKeepAliveRequests);
  server_.set_payload_max_length(kMaxRequestBody);
  server_.set_tcp_nodelay(true);
  server_.set_socket_options(SetSocketOptions);
  // The page runs only its own script, and no other site may frame it (to click its writes).
  server_.set_default_headers(
      {{"Cache-Control", "no-store"},
       {"X-Content-Type-Options", "nosniff"},
       {"X-Frame-Options", "DENY"},
       {"Referrer-Policy", "no-referrer"},
       {"Content-Security-Policy",
        "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
        "frame-ancestors 'none'; form-action 'none'"}});
  const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
    Handle(request, response);
  };
  // Every method to one handler, which tells an unknown path (404) from a method not taken (405).
  server_.Get(".*", handle);
  server_.Post(".*", handle);
  server_.Put(".*", handle);
  server_.Delete(".*", handle);
  server_.Options(".*", handle);
  server_.Patch(".*", handle);
  server_.set_pre_routing_handler(Precheck);
  server_.set_logger([this](const httplib::Request& request, const httplib::Response&) {
    guard_.Answered(PeerOf(request));
  });
  server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty())
      response.set_content(ErrorBody(ErrorText(response.status)), "application/json");
  });
  errno = 0;
  if (!server_.bind_to_port(address.host, std::stoi(address.port))) {
    throw std::runtime_error("cannot listen for the web view on " + options.address + ": " +
                             (errno != 0 ? std::strerror(errno) : "no such address"));
  }
  listening_ = std::async(std::launch::async, [this] {
    pthread_setname_np(pthread_self(), "http-listen");
    server_.listen_after_bind();
  });
}

Server::~Server() {
  model_.Stop();
  // A stop that comes before the listener runs is not seen by it: asked again until it ends.
  // Its workers end once their connections are closed, whatever the clients do.
  do {
    server_.stop();
    guard_.CutAll();
  } while (listening_.wait_for(kStopRetry) != std::future_status::ready);
}

void Server::Handle(const httplib::Request& request, httplib::Response& response) {
  guard_.Answering(PeerOf(request));
  const WebResponse answer = HandleWebRequest(RequestOf(request), model_);
  if (answer.stream) return Stream(response);
  response.status = answer.status;
  response.set_content(answer.body, answer.content_type.c_str());
}

void Server::Stream(httplib::Response& response) {
  if (++streams_ > kMaxStreams) {
    --streams_;
    response.status = 503;
    response.set_content(
        ErrorBody("at most " + std::to_string(kMaxStreams) + " live views at once"),
        "application/json");
    return;
  }
  auto place = std::make_shared<StreamPlace>(streams_);
  auto position = std::make_shared<StreamPosition>(model_.StartPosition());
  auto first = std::make_shared<bool>(true);
  response.set_chunked_content_provider(
      "text/event-stream", [this, place, position, first](size_t, httplib::DataSink& sink) {
        // The browser reconnects after a second when the connection is lost.
        std::string messages = *first ? "retry: 1000\n\n" : "";
        *first = false;
        messages += model_.NextMessages(*position, kStreamSilence);
        if (model_.Stopping()) return false;
        if (messages.empty()) messages = ": nothing new\n\n";
        return sink.write(messages.data(), messages.size());
      });
}

}  // namespace

std::unique_ptr<HttpService> HttpService::Start(const HttpOptions& options, Scanner& scanner,
                                                OutputStore& outputs) {
  const ListenAddress address = ParseListenAddress(options.address, "--http");
  return std::make_unique<Server>(options, address, scanner, outputs);
}

}  // namespace dnm::tool

#else  // built without cpp-httplib

namespace dnm::tool {

std::unique_ptr<HttpService> HttpService::Start(const HttpOptions&, Scanner&, OutputStore&) {
  throw std::runtime_error(
      "this dnm was built without the web view: cpp-httplib was not found when it was "
      "configured (Debian: apt-get install libcpp-httplib-dev, then configure again)");
}

}  // namespace dnm::tool

#endif
