// The built library, loaded and called as a host does, against loopback in a
// private network namespace that tests/in_private_netns.sh makes for it.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host_services.h"
#include "host/library_loader.h"
#include "platform/icmp_platform.h"
#include "probe/echo_message.h"

namespace {

using Clock = std::chrono::steady_clock;

class Loopback : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    exthost::start_sockets();
    library_ = exthost::load_library(PINGEXT_LIBRARY_PATH);
    ASSERT_NE(library_.handle, nullptr) << library_.error;
    const pingext::ZdllFunction entry = exthost::find_entry_point(library_);
    ASSERT_NE(entry, nullptr);
    ping_ = entry()[0].function;
  }
  static void TearDownTestSuite() {
    exthost::unload_library(library_);
    exthost::stop_sockets();
  }
  void SetUp() override {
    // Traffic may only go to loopback inside a namespace made for the test.
    if (std::getenv("PINGEXT_PRIVATE_NETNS") == nullptr) {
      GTEST_SKIP() << "needs a private network namespace: run through tests/in_private_netns.sh";
    }
  }

  struct Timed {
    std::int32_t result;
    long long milliseconds;
  };

  static Timed ping(const std::string& target) {
    const auto started = Clock::now();
    const exthost::CallOutcome outcome = exthost::call_with_text(ping_, {{target}});
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    EXPECT_EQ(outcome.return_code, pingext::kCallCarriedOut);
    EXPECT_TRUE(outcome.result.set);
    EXPECT_EQ(outcome.unexpected_service, -1);
    return {outcome.result.value, elapsed.count()};
  }

  static inline exthost::LoadedLibrary library_;
  static inline pingext::ExtensionFunction ping_ = nullptr;
};

using Answering = Loopback;
using Silent = Loopback;

TEST_F(Answering, AddressAndNameAnswerQuickly) {
  for (const char* target : {"127.0.0.1", "localhost", "127.0.0.77"}) {
    const Timed timed = ping(target);
    EXPECT_GE(timed.result, 0) << target;
    EXPECT_LT(timed.result, 100) << target;
  }
}

TEST_F(Answering, WrongArgumentCountsAreRefused) {
  for (const std::size_t count : {0u, 2u}) {
    const std::vector<exthost::TextArgument> arguments(count, {"127.0.0.1"});
    const exthost::CallOutcome outcome = exthost::call_with_text(ping_, arguments);
    EXPECT_EQ(outcome.return_code, pingext::kCallRefused);
    EXPECT_FALSE(outcome.result.set);
  }
}

TEST_F(Answering, UnresolvableNameFailsQuickly) {
  const Timed timed = ping("no-such-host.invalid");
  EXPECT_EQ(timed.result, -1);
  EXPECT_LT(timed.milliseconds, 500);
}

// A second raw socket sees the request as it went out on loopback.
TEST_F(Answering, RequestOnTheWireIsTwelveBytesWithAValidChecksum) {
  using pingext::platform::SystemIcmp;
  pingext::platform::IcmpSocket capture{};
  ASSERT_TRUE(SystemIcmp::open_socket(capture));
  ASSERT_FALSE(capture.kernel_sets_identifier) << "capturing needs a raw socket";
  ASSERT_TRUE(SystemIcmp::set_receive_timeout(capture, 1000));
  EXPECT_GE(ping("127.0.0.1").result, 0);

  const std::uint16_t our_identifier = pingext::echo_identifier(SystemIcmp::process_id());
  bool seen = false;
  for (int i = 0; i < 8 && !seen; ++i) {
    std::array<std::uint8_t, pingext::kPacketBufferSize> buffer{};
    const auto received = SystemIcmp::receive(capture, buffer);
    if (received.status != pingext::platform::ReceiveStatus::datagram) break;
    const std::size_t h = (buffer[0] & 0x0Fu) * 4u;
    if (received.length < h + 8 || buffer[h] != pingext::kIcmpEchoRequest) continue;
    seen = true;
    const std::span<const std::uint8_t> icmp(buffer.data() + h, received.length - h);
    EXPECT_EQ(icmp.size(), pingext::kEchoRequestSize);
    EXPECT_EQ(pingext::internet_checksum(icmp), 0) << "a valid checksum sums to all ones";
    EXPECT_EQ(icmp[4] | icmp[5] << 8, our_identifier);
    EXPECT_EQ(icmp[6] | icmp[7] << 8, 0);
  }
  SystemIcmp::close_socket(capture);
  EXPECT_TRUE(seen) << "no echo request captured";
}

TEST_F(Silent, NoAnswerGivesFailureAfterOneSecond) {
  const Timed timed = ping("127.0.0.1");
  EXPECT_EQ(timed.result, -1);
  EXPECT_GE(timed.milliseconds, 980);
  EXPECT_LT(timed.milliseconds, 1300);
}

}  // namespace
