// IngestionService: the ZeroMQ front end that lets remote writers add records.
//
// Topology, all on the store's messaging context:
//   ROUTER  "tcp://*:<port>"            remote REQ (or DEALER) writers connect here
//   DEALER  "inproc://write_workers"    the proxy hands each request to one idle worker
//   REP     per worker, connected to "inproc://write_workers"
//   PUB     "inproc://write_workers_control"  control words to the workers
//   PUB     "inproc://proxy_control"          control words to the proxy
//
// A request is [payload, tag]; each request gets exactly one reply:
//   ["OK", tag]                         the batch was inserted
//   ["ERR_NO_DATA", tag]                the payload frame was empty
//   ["ERR_MSG_COUNT"]                   the request did not have exactly two frames
//   ["ERR_BAD_DATA", tag, message]      the engine refused the batch; nothing inserted
//   ["ERR_BUSY", tag]                   the engine stayed out of REST past the wait
//   ["ERR_INTERNAL", tag, message]      any other failure; nothing inserted
// A worker never ends because of a request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "server/record_engine.h"

namespace quillmark {
namespace server {

// Payload bytes and records of every inserted batch, shared by workers and callers.
struct IngestionCounters {
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint64_t> records{0};
};

// How long a worker waits for the engine to come back to REST before it answers
// ERR_BUSY: up to `max_steps` steps of `step`. The worker goes on as soon as it sees
// REST, within a few milliseconds.
struct RestWait {
  std::chrono::milliseconds step{2000};
  int max_steps = 10;
};

// Options of the front socket, which it takes before it binds.
struct FrontSocketOptions {
  int64_t max_message_size = -1;  // bytes; a larger request is dropped unread (-1: no limit)
  std::string curve_secret_key;   // 32 bytes: the socket is a CURVE server; empty: plain TCP
  std::string zap_domain;         // with CURVE: the domain the context's ZAP handler is asked for
  std::function<void(zmq::socket_t&)> prepare;  // if set, called with the socket before it binds
};

class IngestionService {
 public:
  // The engine uses one thread slot per worker; beyond this the engine's thread table
  // (96 slots, shared with Python callers) could run out.
  static constexpr uint64_t kMaxWorkers = 64;

  // Binds the two control publishers. Throws zmq::error_t when they cannot be bound.
  IngestionService(zmq::context_t& context, RecordEngine& engine, IngestionCounters& counters,
                   RestWait rest_wait = {});
  // Stops the service if it runs, then closes the publishers.
  ~IngestionService();
  IngestionService(const IngestionService&) = delete;
  IngestionService& operator=(const IngestionService&) = delete;

  // Binds the front socket to "tcp://<host>:<port>" and starts the proxy and `workers`
  // worker threads. Throws std::runtime_error "The server is already running" when
  // running, std::invalid_argument for more than kMaxWorkers, zmq::error_t when the
  // front socket cannot be bound, std::system_error when a thread cannot be created;
  // on any failure the service is left stopped.
  void Start(const std::string& host, uint32_t port, uint64_t workers);

  // Stops the workers and the proxy and joins them; nothing when not running.
  // Throws std::system_error (resource_deadlock_would_occur) when called from a
  // service thread.
  void Stop();

  bool running() const { return running_.load(); }

  // The TCP port the front socket listens on (the one the system chose for port 0);
  // 0 before the first Start.
  uint32_t listening_port() const { return listening_port_.load(); }

  // The front socket's options from the next Start on.
  void SetFrontOptions(FrontSocketOptions options);

  // Publishes "REFRESH" to the workers (dropped when none runs).
  void Refresh();

 private:
  void StopLocked();  // Stop with lifecycle_mutex_ held
  void ProxyMain(zmq::socket_t front, zmq::socket_t back, zmq::socket_t control);
  void WorkerMain(uint32_t index);
  // Reads one request from `requests` without waiting and answers it with exactly one
  // reply; false when none was waiting.
  bool HandleRequest(uint32_t index, zmq::socket_t& requests, psfstore::core::PaddedBuffer& buffer,
                     uint64_t& serial_number);
  // Opens a session once the engine is at rest; false when it stayed out of REST past
  // the wait or the service is stopping.
  bool StartSessionWhenAtRest(uint32_t index);
  // Publishes `word` on `publisher` until `done()` holds; bounded by the threads it
  // waits for, which end as soon as they read the word.
  void PublishUntil(zmq::socket_t& publisher, const char* word, const std::function<bool()>& done);
  void Publish(zmq::socket_t& publisher, const char* word);
  // Lets both publishers finish closing the subscriptions of stopped threads.
  void SettlePublishers();

  zmq::context_t& context_;
  RecordEngine& engine_;
  IngestionCounters& counters_;
  const RestWait rest_wait_;

  std::mutex publisher_mutex_;  // a socket must not be used by two threads at once
  zmq::socket_t workers_control_;
  zmq::socket_t proxy_control_;

  std::mutex lifecycle_mutex_;  // serialises Start and Stop, guards front_options_
  FrontSocketOptions front_options_;
  std::atomic<bool> running_{false};
  std::atomic<uint32_t> listening_port_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> live_workers_{0};
  std::atomic<bool> proxy_live_{false};
  std::vector<std::thread> write_workers_;
  std::optional<std::thread> write_proxy_;
};

}  // namespace server
}  // namespace quillmark
