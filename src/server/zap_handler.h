// ZapHandler: the authentication handler of one messaging context (ZeroMQ's ZAP,
// RFC 27). ZeroMQ asks it at every handshake of a CURVE socket with a ZAP domain on that
// context; it admits the clients whose CURVE public keys it holds and refuses every other
// request, logging each refusal with the client's address and key.
//
// A CURVE socket on a context without a handler admits every client, so the handler
// must exist before such a socket binds, and live until it is closed.
//
// A client without CURVE keys fails its handshake before ZeroMQ asks the handler; for the
// sockets given to WatchHandshakes, the handler logs those refusals too.
//
// Threading: the constructor binds the handler's endpoint on the calling thread and
// starts one thread that answers requests until destruction. SetAdmittedKeys and
// WatchHandshakes may be called from any thread. The handler must be destroyed before
// its context is closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <zmq.hpp>

namespace quillmark {
namespace server {

// The 32 bytes of a CURVE key given as Z85 text (40 characters). Throws
// std::invalid_argument for anything else.
std::string DecodeCurveKey(std::string_view z85);
// The Z85 text of a 32-byte CURVE key.
std::string EncodeCurveKey(std::string_view key);

class ZapHandler {
 public:
  // Where ZeroMQ sends the requests of a context's sockets.
  static constexpr const char* kEndpoint = "inproc://zeromq.zap.01";

  // Binds kEndpoint on `context` (throws zmq::error_t, EADDRINUSE when the context has a
  // handler already) and starts answering. `admitted_keys` hold 32 bytes each.
  ZapHandler(zmq::context_t& context, std::vector<std::string> admitted_keys);
  ~ZapHandler();
  ZapHandler(const ZapHandler&) = delete;
  ZapHandler& operator=(const ZapHandler&) = delete;

  // Replaces the admitted keys (32 bytes each) for the handshakes that follow.
  void SetAdmittedKeys(std::vector<std::string> keys);

  // Logs the handshakes of `socket` that fail before a ZAP request, until `socket` is
  // closed. Call on the thread that uses `socket`. Throws zmq::error_t.
  void WatchHandshakes(zmq::socket_t& socket);

 private:
  void Main(zmq::socket_t socket);
  // Reads one event of a watched socket's monitor; false once the monitor has stopped.
  static bool LogHandshakeEvent(zmq::socket_t& monitor);
  // The reply to one request: RFC 27's six frames.
  std::vector<std::string> Answer(const std::vector<zmq::message_t>& request);

  std::mutex keys_mutex_;
  std::set<std::string> admitted_keys_;
  std::mutex watches_mutex_;
  std::vector<std::string> new_watches_;  // monitor endpoints the thread has yet to connect
  std::atomic<uint64_t> watch_serial_{0};
  std::atomic<bool> stopping_{false};
  zmq::context_t& context_;
  std::thread thread_;
};

}  // namespace server
}  // namespace quillmark
