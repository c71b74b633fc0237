// The authentication handler: admits exactly the CURVE keys it holds, answers every
// request (malformed ones too) and takes only well-formed Z85 keys.
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.h>
#include <zmq.hpp>

#include "server/zap_handler.h"

namespace quillmark {
namespace server {
namespace {

std::string NewPublicKey() {
  char public_key[41], secret_key[41];
  EXPECT_EQ(zmq_curve_keypair(public_key, secret_key), 0);
  return public_key;
}

std::vector<std::string> Ask(zmq::socket_t& requests, const std::vector<std::string>& frames) {
  for (size_t i = 0; i < frames.size(); ++i) {
    requests.send(zmq::buffer(frames[i]), i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
  }
  std::vector<std::string> reply;
  zmq::message_t frame;
  do {
    if (!requests.recv(frame)) return {"<timeout>"};
    reply.push_back(frame.to_string());
  } while (frame.more());
  return reply;
}

TEST(ZapHandlerTest, AdmitsOnlyHeldCurveKeysAndAnswersEveryRequest) {
  zmq::context_t context;
  std::string admitted = NewPublicKey(), unknown = NewPublicKey();
  std::string admitted_bytes = DecodeCurveKey(admitted);
  ZapHandler handler{context, {admitted_bytes}};
  zmq::socket_t requests{context, zmq::socket_type::req};
  requests.set(zmq::sockopt::rcvtimeo, 5000);
  requests.set(zmq::sockopt::linger, 0);
  requests.connect(ZapHandler::kEndpoint);

  auto curve = [](const std::string& key) {
    return std::vector<std::string>{"1.0", "7", "quillmark", "127.0.0.1", "", "CURVE", key};
  };
  struct Case {
    const char* what;
    std::vector<std::string> request;
    std::string status;
  };
  std::vector<Case> cases = {
      {"held key", curve(admitted_bytes), "200"},
      {"unknown key", curve(DecodeCurveKey(unknown)), "400"},
      {"key of the wrong length", curve("short"), "400"},
      {"NULL mechanism", {"1.0", "7", "quillmark", "127.0.0.1", "", "NULL"}, "400"},
      {"PLAIN mechanism", {"1.0", "7", "quillmark", "127.0.0.1", "", "PLAIN", "user", "password"}, "400"},
      {"wrong version", {"2.0", "7", "quillmark", "127.0.0.1", "", "CURVE", admitted_bytes}, "500"},
      {"too few frames", {"1.0", "7"}, "500"},
      {"one frame", {"1.0"}, "500"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> reply = Ask(requests, c.request);
    ASSERT_EQ(reply.size(), 6u) << c.what;
    EXPECT_EQ(reply[0], "1.0") << c.what;
    if (c.request.size() > 1) EXPECT_EQ(reply[1], "7") << c.what;
    EXPECT_EQ(reply[2], c.status) << c.what;
    EXPECT_EQ(reply[4], c.status == "200" ? admitted : "") << c.what;  // user id: the key's text
  }

  // Replaced keys apply to the next request.
  handler.SetAdmittedKeys({DecodeCurveKey(unknown)});
  EXPECT_EQ(Ask(requests, curve(DecodeCurveKey(unknown)))[2], "200");
  EXPECT_EQ(Ask(requests, curve(admitted_bytes))[2], "400");
}

TEST(ZapHandlerTest, CurveKeysMustBeZ85TextOf32Bytes) {
  std::string key = NewPublicKey();
  EXPECT_EQ(EncodeCurveKey(DecodeCurveKey(key)), key);
  for (std::string bad : {std::string{}, key.substr(0, 39), key + "a", std::string(40, ' '),
                          key.substr(0, 20) + std::string(1, '\0') + key.substr(21)}) {
    EXPECT_THROW(DecodeCurveKey(bad), std::invalid_argument) << bad;
  }
}

TEST(ZapHandlerTest, OneHandlerPerContext) {
  zmq::context_t context;
  ZapHandler first{context, {}};
  EXPECT_THROW(ZapHandler(context, {}), zmq::error_t);
}

}  // namespace
}  // namespace server
}  // namespace quillmark
