// Loopback pieces for tests of the ingestion service: a free TCP port and a REQ client
// whose receive gives up after a time-out instead of hanging the test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <zmq.hpp>

namespace quillmark {
namespace test_support {

inline uint32_t FreeLoopbackPort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

class Client {
 public:
  explicit Client(uint32_t port, int timeout_ms = 5000) : socket_{context_, zmq::socket_type::req} {
    socket_.set(zmq::sockopt::linger, 0);
    socket_.set(zmq::sockopt::rcvtimeo, timeout_ms);
    socket_.connect("tcp://127.0.0.1:" + std::to_string(port));
  }
  // Sends `frames` as one request and returns the reply's frames, or {"<timeout>"}.
  std::vector<std::string> Request(std::vector<std::string> frames) {
    for (size_t i = 0; i < frames.size(); ++i) {
      socket_.send(zmq::buffer(frames[i]), i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
    }
    std::vector<std::string> reply;
    for (;;) {
      zmq::message_t frame;
      if (!socket_.recv(frame)) return {"<timeout>"};
      reply.push_back(frame.to_string());
      if (!frame.more()) return reply;
    }
  }

 private:
  zmq::context_t context_;
  zmq::socket_t socket_;
};

}  // namespace test_support
}  // namespace quillmark
