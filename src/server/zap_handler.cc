#include "server/zap_handler.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <zmq.h>

namespace quillmark {
namespace server {

namespace {

constexpr size_t kKeyBytes = 32;
constexpr size_t kKeyText = 40;
// How often the handler looks for its stop between requests.
constexpr std::chrono::milliseconds kPollInterval{50};

std::string Printable(std::string_view bytes) {
  std::string text;
  for (char c : bytes) text.push_back(c >= 0x20 && c < 0x7f ? c : '?');
  return text;
}

}  // namespace

std::string DecodeCurveKey(std::string_view z85) {
  std::string key(kKeyBytes, '\0');
  std::string text{z85};  // the decoder reads a NUL-terminated string
  if (z85.size() != kKeyText || text.find('\0') != std::string::npos ||
      zmq_z85_decode(reinterpret_cast<uint8_t*>(key.data()), text.c_str()) == nullptr) {
    throw std::invalid_argument("A CURVE key must be 40 characters of Z85 text, got \"" + Printable(z85) + "\"");
  }
  return key;
}

std::string EncodeCurveKey(std::string_view key) {
  if (key.size() != kKeyBytes) return "(" + std::to_string(key.size()) + " bytes)";
  char text[kKeyText + 1];
  zmq_z85_encode(text, reinterpret_cast<const uint8_t*>(key.data()), key.size());
  return text;
}

ZapHandler::ZapHandler(zmq::context_t& context, std::vector<std::string> admitted_keys) : context_{context} {
  SetAdmittedKeys(std::move(admitted_keys));
  zmq::socket_t socket{context, zmq::socket_type::rep};
  socket.set(zmq::sockopt::linger, 0);
  socket.bind(kEndpoint);
  thread_ = std::thread(&ZapHandler::Main, this, std::move(socket));
}

ZapHandler::~ZapHandler() {
  stopping_.store(true);
  thread_.join();
}

void ZapHandler::SetAdmittedKeys(std::vector<std::string> keys) {
  std::lock_guard lock{keys_mutex_};
  admitted_keys_ = std::set<std::string>(std::make_move_iterator(keys.begin()), std::make_move_iterator(keys.end()));
}

void ZapHandler::WatchHandshakes(zmq::socket_t& socket) {
  std::string endpoint = fmt::format("inproc://quillmark-handshakes-{}", watch_serial_.fetch_add(1));
  int events = ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_MONITOR_STOPPED;
  if (zmq_socket_monitor(socket.handle(), endpoint.c_str(), events) != 0) throw zmq::error_t();
  std::lock_guard lock{watches_mutex_};
  new_watches_.push_back(std::move(endpoint));
}

bool ZapHandler::LogHandshakeEvent(zmq::socket_t& monitor) {
  // Two frames: the event number (16 bits) and its value (32 bits), then the endpoint.
  zmq::message_t event, endpoint;
  if (!monitor.recv(event, zmq::recv_flags::dontwait)) return true;
  if (event.more()) (void)monitor.recv(endpoint, zmq::recv_flags::dontwait);
  uint16_t number = 0;
  if (event.size() >= sizeof(number)) std::memcpy(&number, event.data(), sizeof(number));
  if (number == ZMQ_EVENT_MONITOR_STOPPED) return false;
  spdlog::warn("Refused a client on {}: its handshake failed before authentication (no CURVE keys?)",
               Printable(endpoint.to_string_view()));
  return true;
}

void ZapHandler::Main(zmq::socket_t socket) {
  std::vector<zmq::socket_t> monitors;
  while (!stopping_.load()) {
    try {
      {
        std::lock_guard lock{watches_mutex_};
        for (const auto& endpoint : new_watches_) {
          monitors.emplace_back(context_, zmq::socket_type::pair).connect(endpoint);
        }
        new_watches_.clear();
      }
      std::vector<zmq::pollitem_t> items{{socket.handle(), 0, ZMQ_POLLIN, 0}};
      for (auto& monitor : monitors) items.push_back({monitor.handle(), 0, ZMQ_POLLIN, 0});
      zmq::poll(items, kPollInterval);
      for (size_t i = monitors.size(); i > 0; --i) {
        if ((items[i].revents & ZMQ_POLLIN) && !LogHandshakeEvent(monitors[i - 1])) {
          monitors.erase(monitors.begin() + static_cast<std::ptrdiff_t>(i - 1));
        }
      }
      if (!(items[0].revents & ZMQ_POLLIN)) continue;
      std::vector<zmq::message_t> request;
      for (;;) {
        zmq::message_t frame;
        if (!socket.recv(frame, zmq::recv_flags::dontwait)) break;
        bool more = frame.more();
        request.push_back(std::move(frame));
        if (!more) break;
      }
      std::vector<std::string> reply = Answer(request);
      for (size_t i = 0; i < reply.size(); ++i) {
        (void)socket.send(zmq::buffer(reply[i]), i + 1 < reply.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
      }
    } catch (const zmq::error_t& error) {
      if (error.num() == ETERM) break;
      spdlog::error("Authentication handler: {}", error.what());
    }
  }
}

std::vector<std::string> ZapHandler::Answer(const std::vector<zmq::message_t>& request) {
  // Request: version, request id, domain, address, identity, mechanism, credentials...
  // Reply: version, request id, status code, status text, user id, metadata.
  std::string request_id = request.size() > 1 ? request[1].to_string() : std::string{};
  if (request.size() < 6 || request[0].to_string_view() != "1.0") {
    spdlog::warn("Refused a malformed authentication request ({} frames)", request.size());
    return {"1.0", request_id, "500", "Malformed request", "", ""};
  }
  std::string_view address = request[3].to_string_view();
  std::string_view mechanism = request[5].to_string_view();
  if (mechanism != "CURVE" || request.size() != 7) {
    spdlog::warn("Refused a client at {}: mechanism {} is not CURVE", Printable(address), Printable(mechanism));
    return {"1.0", request_id, "400", "CURVE required", "", ""};
  }
  std::string key = request[6].to_string();
  bool admitted;
  {
    std::lock_guard lock{keys_mutex_};
    admitted = admitted_keys_.count(key) > 0;
  }
  std::string key_text = EncodeCurveKey(key);
  if (!admitted) {
    spdlog::warn("Refused a client at {}: unknown CURVE key {}", Printable(address), key_text);
    return {"1.0", request_id, "400", "Unknown key", "", ""};
  }
  return {"1.0", request_id, "200", "OK", key_text, ""};
}

}  // namespace server
}  // namespace quillmark
