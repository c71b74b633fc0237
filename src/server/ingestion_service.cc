#include "server/ingestion_service.h"

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "base/platform.h"
#include "values/generic_value.h"

namespace quillmark {
namespace server {

namespace {

using Message = std::vector<zmq::message_t>;

// The most messages a worker or the proxy takes between two looks at its control words.
constexpr int kMessagesPerWakeUp = 64;
constexpr const char* kWorkersEndpoint = "inproc://write_workers";
constexpr const char* kWorkersControlEndpoint = "inproc://write_workers_control";
constexpr const char* kProxyControlEndpoint = "inproc://proxy_control";

// A closed socket gives its endpoint back on the messaging library's own thread, a
// moment later: binding again right after a stop may find it still taken. Retry for a
// short, bounded time before reporting the endpoint as in use.
void BindWithRetry(zmq::socket_t& socket, const std::string& endpoint) {
  for (int attempt = 0;; ++attempt) {
    try {
      socket.bind(endpoint);
      return;
    } catch (const zmq::error_t& error) {
      if (error.num() != EADDRINUSE || attempt >= 50) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds{20});
  }
}

void ApplyFrontOptions(zmq::socket_t& front, const FrontSocketOptions& options) {
  front.set(zmq::sockopt::maxmsgsize, options.max_message_size);
  if (!options.curve_secret_key.empty()) {
    front.set(zmq::sockopt::curve_server, true);
    front.set(zmq::sockopt::curve_secretkey, zmq::buffer(options.curve_secret_key));
    front.set(zmq::sockopt::zap_domain, options.zap_domain);
  }
  if (options.prepare) options.prepare(front);
}

// The port of a bound TCP socket, from its endpoint "tcp://host:port".
uint32_t ListeningPort(zmq::socket_t& socket) {
  std::string endpoint = socket.get(zmq::sockopt::last_endpoint);
  return static_cast<uint32_t>(std::stoul(endpoint.substr(endpoint.rfind(':') + 1)));
}

void SendFrames(zmq::socket_t& socket, std::initializer_list<std::string_view> frames) {
  size_t left = frames.size();
  for (std::string_view frame : frames) {
    --left;
    zmq::send_flags flags = left > 0 ? zmq::send_flags::sndmore : zmq::send_flags::none;
    // REP sockets never block on send; a try-again result would only mean the peer is
    // gone, and then the reply has no one to go to.
    (void)socket.send(zmq::buffer(frame.data(), frame.size()), flags);
  }
}

}  // namespace

IngestionService::IngestionService(zmq::context_t& context, RecordEngine& engine,
                                   IngestionCounters& counters, RestWait rest_wait)
    : context_{context},
      engine_{engine},
      counters_{counters},
      rest_wait_{rest_wait},
      workers_control_{context, zmq::socket_type::pub},
      proxy_control_{context, zmq::socket_type::pub} {
  workers_control_.bind(kWorkersControlEndpoint);
  proxy_control_.bind(kProxyControlEndpoint);
}

IngestionService::~IngestionService() {
  try {
    Stop();
  } catch (const std::exception& error) {
    spdlog::error("Stopping the ingestion service failed: {}", error.what());
  }
}

void IngestionService::Start(const std::string& host, uint32_t port, uint64_t workers) {
  std::lock_guard lifecycle{lifecycle_mutex_};
  spdlog::info("Starting service...");
  if (running_.load()) throw std::runtime_error("The server is already running");
  if (workers > kMaxWorkers) {
    throw std::invalid_argument(
        fmt::format("Too many write threads: {} (at most {})", workers, kMaxWorkers));
  }
  write_workers_.clear();

  // Bind on the calling thread so that a port in use is reported to the caller.
  std::string endpoint = fmt::format("tcp://{}:{}", host, port);
  spdlog::info("Writing requests port {}", endpoint);
  zmq::socket_t front{context_, zmq::socket_type::router};
  ApplyFrontOptions(front, front_options_);
  BindWithRetry(front, endpoint);
  listening_port_.store(ListeningPort(front));
  zmq::socket_t back{context_, zmq::socket_type::dealer};
  BindWithRetry(back, kWorkersEndpoint);
  zmq::socket_t control{context_, zmq::socket_type::sub};
  control.connect(kProxyControlEndpoint);
  control.set(zmq::sockopt::subscribe, "");

  stopping_.store(false);
  proxy_live_.store(true);
  write_proxy_.emplace(&IngestionService::ProxyMain, this, std::move(front), std::move(back),
                       std::move(control));
  running_.store(true);
  try {
    for (uint64_t i = 0; i < workers; ++i) {
      live_workers_.fetch_add(1);
      try {
        write_workers_.emplace_back(&IngestionService::WorkerMain, this, static_cast<uint32_t>(i));
      } catch (...) {
        live_workers_.fetch_sub(1);
        throw;
      }
    }
  } catch (...) {
    StopLocked();  // leave nothing half-started behind
    throw;
  }
}

void IngestionService::Stop() {
  std::lock_guard lifecycle{lifecycle_mutex_};
  StopLocked();
}

void IngestionService::StopLocked() {
  if (!running_.load()) return;
  for (const auto& worker : write_workers_) {
    if (worker.get_id() == std::this_thread::get_id()) {
      throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
  }
  spdlog::info("Service stopping");
  stopping_.store(true);
  PublishUntil(workers_control_, "TERMINATE", [this] { return live_workers_.load() == 0; });
  for (size_t i = 0; i < write_workers_.size(); ++i) {
    write_workers_[i].join();
    spdlog::debug("Write thread {} stopped", i);
  }
  PublishUntil(proxy_control_, "TERMINATE", [this] { return !proxy_live_.load(); });
  write_proxy_->join();
  write_proxy_.reset();
  write_workers_.clear();
  SettlePublishers();
  running_.store(false);
  spdlog::debug("Write proxy stopped");
  spdlog::info("Service stopped");
}

void IngestionService::SetFrontOptions(FrontSocketOptions options) {
  std::lock_guard lifecycle{lifecycle_mutex_};
  front_options_ = std::move(options);
}

void IngestionService::Refresh() { Publish(workers_control_, "REFRESH"); }

void IngestionService::Publish(zmq::socket_t& publisher, const char* word) {
  std::lock_guard lock{publisher_mutex_};
  // A publisher drops what no one is subscribed to and never blocks; a try-again
  // result is not an error here.
  (void)publisher.send(zmq::buffer(std::string_view{word}), zmq::send_flags::dontwait);
}

void IngestionService::SettlePublishers() {
  // A subscriber that has closed keeps its descriptors until its publisher answers its
  // goodbye, and a publisher answers only while it is used. Used for a short while now,
  // the publishers let the sockets of the threads just stopped go, rather than at the
  // next stop. A publisher is never readable: the poll only processes their messages.
  std::lock_guard lock{publisher_mutex_};
  zmq::pollitem_t items[] = {{workers_control_.handle(), 0, ZMQ_POLLIN, 0},
                             {proxy_control_.handle(), 0, ZMQ_POLLIN, 0}};
  zmq::poll(items, 2, std::chrono::milliseconds{20});
}

void IngestionService::PublishUntil(zmq::socket_t& publisher, const char* word,
                                    const std::function<bool()>& done) {
  // A subscriber that connected a moment ago may not have its subscription registered
  // yet and would miss a single message, so the word is repeated until it has worked.
  while (!done()) {
    Publish(publisher, word);
    for (int i = 0; i < 50 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds{1});
  }
}

namespace {

// Reads one multipart message without waiting (its parts arrive together): empty when
// none is there. `complete`, when given, tells whether its last part arrived.
Message ReceiveMessage(zmq::socket_t& from, bool* complete = nullptr) {
  Message message;
  bool last = false;
  while (!last) {
    zmq::message_t part;
    if (!from.recv(part, zmq::recv_flags::dontwait)) break;
    last = !part.more();
    message.push_back(std::move(part));
  }
  if (complete != nullptr) *complete = last;
  return message;
}

// Sends `message` without waiting and empties it. Returns false, leaving `message` as it
// was, when `to` cannot take it now: a DEALER whose workers are all busy or have all
// gone. Once the first part is taken the socket takes the rest; should the receiving
// worker vanish in between, the socket drops the message, and so does this.
bool TrySendMessage(zmq::socket_t& to, Message& message) {
  for (size_t i = 0; i < message.size(); ++i) {
    auto flags = zmq::send_flags::dontwait;
    if (i + 1 < message.size()) flags = flags | zmq::send_flags::sndmore;
    try {
      if (!to.send(message[i], flags) && i == 0) return false;
    } catch (const zmq::error_t&) {
      if (i == 0) throw;
      break;
    }
  }
  message.clear();
  return true;
}

// Forwards every reply the workers have sent so far. The front is a ROUTER: it takes
// every reply at once, or drops one whose writer has gone.
void ForwardReplies(zmq::socket_t& back, zmq::socket_t& front) {
  for (Message reply = ReceiveMessage(back); !reply.empty(); reply = ReceiveMessage(back)) {
    TrySendMessage(front, reply);
  }
}

// Hands requests from the front to the workers until none waits, no worker can take one
// (it stays in `held`), or kMessagesPerWakeUp went: a flood of requests must not keep
// the replies and the control words waiting.
void ForwardRequests(zmq::socket_t& front, zmq::socket_t& back, Message& held) {
  for (int moved = 0; moved < kMessagesPerWakeUp; ++moved) {
    if (held.empty()) held = ReceiveMessage(front);
    if (held.empty() || !TrySendMessage(back, held)) return;
  }
}

}  // namespace

void IngestionService::ProxyMain(zmq::socket_t front, zmq::socket_t back, zmq::socket_t control) {
  // Forwards requests from the front to the workers and replies back until "TERMINATE".
  // Unlike a stock proxy it forwards every reply already sent by a worker before it
  // ends, so that the answers given while stopping reach their writers. It never waits
  // in a send: a request that no worker can take is held (and no other is read) until
  // one can, so that workers leaving while requests arrive cannot block the proxy and
  // with it `Stop`. A request still held at "TERMINATE" goes unanswered, like those
  // still queued at the front, and was never inserted.
  //
  // A poll costs system calls on every socket it looks at, so each wake-up moves all that
  // can move without waiting (a burst of pipelined requests, the replies of several
  // workers) before the next poll.
  try {
    Message held;
    for (;;) {
      // Requests are taken from the front only while a worker can take one; otherwise
      // they wait there, and the poll wakes when a worker can, or now and then to look.
      short back_events = static_cast<short>(ZMQ_POLLIN | (held.empty() ? 0 : ZMQ_POLLOUT));
      zmq::pollitem_t items[] = {{control.handle(), 0, ZMQ_POLLIN, 0},
                                 {back.handle(), 0, back_events, 0},
                                 {front.handle(), 0, static_cast<short>(held.empty() ? ZMQ_POLLIN : 0), 0}};
      zmq::poll(items, 3, std::chrono::milliseconds{held.empty() ? -1 : 20});
      if (items[0].revents & ZMQ_POLLIN) {
        zmq::message_t word;
        if (control.recv(word, zmq::recv_flags::dontwait) && word.to_string_view() == "TERMINATE") {
          ForwardReplies(back, front);
          break;
        }
      }
      if (items[1].revents & ZMQ_POLLIN) ForwardReplies(back, front);
      if (!held.empty() || (items[2].revents & ZMQ_POLLIN)) ForwardRequests(front, back, held);
    }
  } catch (const zmq::error_t& error) {
    spdlog::error("Write proxy ended: {}", error.what());
  }
  try {
    back.unbind(kWorkersEndpoint);  // gives the endpoint back at once for the next start
  } catch (const zmq::error_t&) {
  }
  // Replies still queued for writers get a moment to leave, not forever.
  front.set(zmq::sockopt::linger, 1000);
  control.close();
  back.close();
  front.close();
  proxy_live_.store(false);
}

void IngestionService::WorkerMain(uint32_t index) {
  // Pinning is advisory: on a machine with fewer processors the call fails and the
  // worker runs unpinned.
  (void)psfstore::environment::PinCurrentThread(index % 64);
  try {
    zmq::socket_t requests{context_, zmq::socket_type::rep};
    zmq::socket_t control{context_, zmq::socket_type::sub};
    requests.connect(kWorkersEndpoint);
    control.connect(kWorkersControlEndpoint);
    control.set(zmq::sockopt::subscribe, "");
    psfstore::core::PaddedBuffer buffer;
    uint64_t serial_number = 0;
    bool terminate = false;
    // Requests answered since the last poll. Under load the next request is usually
    // queued already and is taken without a poll, each of which costs system calls;
    // control words are read whenever the queue runs dry, and at least every
    // kMessagesPerWakeUp requests.
    int streak = 0;
    while (!terminate) {
      zmq::pollitem_t items[] = {{control.handle(), 0, ZMQ_POLLIN, 0},
                                 {requests.handle(), 0, ZMQ_POLLIN, 0}};
      try {
        if (streak > 0 && streak < kMessagesPerWakeUp && !stopping_.load(std::memory_order_relaxed)) {
          if (HandleRequest(index, requests, buffer, serial_number)) {
            ++streak;
            continue;
          }
        }
        streak = 0;
        zmq::poll(items, 2, std::chrono::milliseconds{-1});
        if (items[0].revents & ZMQ_POLLIN) {
          zmq::message_t message;
          if (control.recv(message, zmq::recv_flags::dontwait)) {
            spdlog::debug("Write thread {} received message {}", index, message.to_string_view());
            terminate = message.to_string_view() == "TERMINATE";
          }
        }
        // A request seen in the same poll as "TERMINATE" is still answered.
        if ((items[1].revents & ZMQ_POLLIN) && HandleRequest(index, requests, buffer, serial_number)) streak = 1;
      } catch (const zmq::error_t& error) {
        if (error.num() == ETERM) break;
        if (error.num() != EINTR) spdlog::error("Write thread {} messaging error: {}", index, error.what());
      }
    }
    spdlog::info("Write thread {} terminated", index);
  } catch (const std::exception& error) {
    spdlog::error("Write thread {} could not start: {}", index, error.what());
  }
  live_workers_.fetch_sub(1);
}

bool IngestionService::StartSessionWhenAtRest(uint32_t index) {
  for (int step = 0;; ++step) {
    if (engine_.phase() == psfstore::core::Phase::REST) {
      // A checkpoint or change may start between the test and the session; the engine
      // then answers Busy and we wait again.
      psfstore::core::Guid session;
      if (engine_.TryStartSession(&session).ok()) {
        // The identifier's text is made only when the line is written.
        if (spdlog::should_log(spdlog::level::debug)) {
          spdlog::debug("Write thread {} has session {}", index, session.ToString());
        }
        return true;
      }
    }
    if (step >= rest_wait_.max_steps) return false;
    // Waits out the step, but goes on as soon as the engine is back at rest: a
    // checkpoint takes milliseconds, and periodic snapshots would otherwise cost every
    // worker that meets one a whole step.
    auto until = std::chrono::steady_clock::now() + rest_wait_.step;
    while (std::chrono::steady_clock::now() < until) {
      if (stopping_.load()) return false;
      if (engine_.phase() == psfstore::core::Phase::REST) break;
      std::this_thread::sleep_for(std::min(rest_wait_.step, std::chrono::milliseconds{2}));
    }
  }
}

bool IngestionService::HandleRequest(uint32_t index, zmq::socket_t& requests,
                                     psfstore::core::PaddedBuffer& buffer, uint64_t& serial_number) {
  bool complete = false;
  Message frames = ReceiveMessage(requests, &complete);
  if (frames.empty()) return false;  // no request waiting: nothing to answer
  if (!complete) {
    spdlog::warn("Write thread {} fail to read write request", index);
    SendFrames(requests, {"ERR_MSG_COUNT"});
    return true;
  }
  if (frames.size() != 2) {
    spdlog::warn("Write thread {} received more than 2 packages", index);
    SendFrames(requests, {"ERR_MSG_COUNT"});
    return true;
  }
  std::string_view payload = frames[0].to_string_view();
  std::string_view tag = frames[1].to_string_view();
  if (payload.empty()) {
    spdlog::warn("Write thread {} received a empty payload", index);
    SendFrames(requests, {"ERR_NO_DATA", tag});
    return true;
  }
  if (!StartSessionWhenAtRest(index)) {
    spdlog::debug("Not possible to write data, Phase is not REST!");
    SendFrames(requests, {"ERR_BUSY", tag});
    return true;
  }
  uint32_t count = 0;
  try {
    SessionScope session{engine_};
    count = engine_.BatchInsert(buffer.InPlaceOrCopy(payload), serial_number);
    counters_.bytes.fetch_add(payload.size());
    counters_.records.fetch_add(count);
    try {
      engine_.CompleteAction();
    } catch (const std::exception& error) {
      // The batch is in; only the follow-up work failed. The caller hears "OK".
      spdlog::error("Write thread {} could not complete pending work: {}", index, error.what());
    }
  } catch (const std::exception& error) {
    // Only a refused batch is bad data: malformed JSON, a record too large or a projected
    // value no type holds (std::invalid_argument), or a projected object, array or null.
    // The engine inserted nothing of it. Anything else, a logic error of the program
    // included, is the server's fault.
    if (dynamic_cast<const std::invalid_argument*>(&error) != nullptr ||
        dynamic_cast<const recorder::data::NotScalarError*>(&error) != nullptr) {
      spdlog::warn("Write thread {} refused a batch: {}", index, error.what());
      SendFrames(requests, {"ERR_BAD_DATA", tag, error.what()});
    } else {
      spdlog::warn("Write thread {} failed to insert a batch: {}", index, error.what());
      SendFrames(requests, {"ERR_INTERNAL", tag, error.what()});
    }
    return true;
  }
  SendFrames(requests, {"OK", tag});
  ++serial_number;
  return true;
}

}  // namespace server
}  // namespace quillmark
