// The wake-up channel's platform layer: addresses, send-to-self, the blocking receive, and
// duplicates that outlive the handle they came from.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "wakeup_socket.hpp"

namespace {

namespace wakeup = korvo::relaybus::wakeup;
using korvo::relaybus::ipv4_address;
using korvo::relaybus::k_no_socket;
using korvo::relaybus::platform_socket;

#if defined(_WIN32)
// In the modules the interpreter's socket module starts Windows Sockets; here the tests do.
class winsock_environment : public testing::Environment {
public:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};
[[maybe_unused]] const auto* const winsock = testing::AddGlobalTestEnvironment(new winsock_environment);
#endif

// A blocking UDP socket bound to 127.0.0.1 on a system-chosen port, closed with the object,
// as setup_socket makes them.
class bound_socket {
public:
    bound_socket() {
        handle_ = static_cast<platform_socket>(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        if (handle_ == k_no_socket) return;
        sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (::bind(handle_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            ::getsockname(handle_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
            close();
            return;
        }
        port_ = ntohs(addr.sin_port);
    }
    ~bound_socket() { close(); }
    bound_socket(const bound_socket&) = delete;
    bound_socket& operator=(const bound_socket&) = delete;

    platform_socket handle() const { return handle_; }
    unsigned short port() const { return port_; }
    void close() {
        wakeup::close(handle_);
        handle_ = k_no_socket;
    }

private:
    platform_socket handle_ = k_no_socket;
    unsigned short port_ = 0;
};

ipv4_address address_of(const bound_socket& s) {
    ipv4_address a{};
    wakeup::fill_address(a, "127.0.0.1", s.port());
    return a;
}

// What is waiting on `handle`, read without blocking: the datagram's length (-1 when none)
// and its first byte.
struct pending {
    int length = -1;
    unsigned char first = 0;
};
pending read_pending(platform_socket handle) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(handle, &readable);
    timeval no_wait{0, 0};
    pending p;
    // A datagram sent to loopback is queued before sendto returns; select only confirms it.
    if (::select(static_cast<int>(handle) + 1, &readable, nullptr, nullptr, &no_wait) != 1) return p;
    char buffer[16];
    p.length = static_cast<int>(::recvfrom(handle, buffer, sizeof buffer, 0, nullptr, nullptr));
    p.first = static_cast<unsigned char>(buffer[0]);
    return p;
}

TEST(WakeupAddress, FillsFamilyPortAndHostInNetworkOrder) {
    ipv4_address a;
    std::memset(&a, 0xff, sizeof a);
    wakeup::fill_address(a, "127.0.0.1", 0x1234);
    sockaddr_in expected;
    std::memset(&expected, 0, sizeof expected);
    expected.sin_family = AF_INET;
    expected.sin_port = htons(0x1234);
    expected.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(std::memcmp(&a, &expected, sizeof a), 0);
}

TEST(WakeupAddress, UnparsableHostLeavesTheAddressZero) {
    ipv4_address a;
    wakeup::fill_address(a, "not-an-address", 65535);
    EXPECT_EQ(a.family, AF_INET);
    EXPECT_EQ(a.port, htons(65535));
    EXPECT_EQ(a.address, 0u);
}

TEST(WakeupSocket, SendToSelfQueuesOneByteOfValueOne) {
    bound_socket s;
    ASSERT_NE(s.handle(), k_no_socket);
    ASSERT_NE(s.port(), 0);
    wakeup::send(s.handle(), address_of(s));
    const pending p = read_pending(s.handle());
    EXPECT_EQ(p.length, 1);
    EXPECT_EQ(p.first, 1);
    EXPECT_EQ(read_pending(s.handle()).length, -1);  // exactly one datagram
}

TEST(WakeupSocket, ReceiveTakesOneDatagramPerCall) {
    bound_socket s;
    ASSERT_NE(s.handle(), k_no_socket);
    for (int i = 0; i < 3; ++i) wakeup::send(s.handle(), address_of(s));
    wakeup::receive(s.handle());
    wakeup::receive(s.handle());
    EXPECT_EQ(read_pending(s.handle()).length, 1);
    EXPECT_EQ(read_pending(s.handle()).length, -1);
}

// The consumer's sleep: a receive blocked on its own socket ends when another thread sends.
TEST(WakeupSocket, SendFromAnotherThreadEndsABlockedReceive) {
    bound_socket s;
    ASSERT_NE(s.handle(), k_no_socket);
    std::atomic<int> woken{0};
    std::thread consumer([&] {
        for (int i = 0; i < 50; ++i) {
            wakeup::receive(s.handle());
            woken.fetch_add(1);
        }
    });
    for (int i = 0; i < 50; ++i) {
        // One datagram per round, each sent once the previous one was taken.
        while (woken.load() != i) std::this_thread::yield();
        wakeup::send(s.handle(), address_of(s));
    }
    consumer.join();
    EXPECT_EQ(woken.load(), 50);
}

// The native side keeps its duplicate after Python closes the socket object's handle.
TEST(WakeupSocket, DuplicateWorksAfterTheOriginalIsClosed) {
    bound_socket s;
    ASSERT_NE(s.handle(), k_no_socket);
    const ipv4_address to = address_of(s);
    const platform_socket dup = wakeup::duplicate(s.handle());
    ASSERT_NE(dup, k_no_socket);
    EXPECT_NE(dup, s.handle());
    wakeup::send(s.handle(), to);
    EXPECT_EQ(read_pending(dup).length, 1);  // one socket, two handles
    s.close();
    wakeup::send(dup, to);
    wakeup::receive(dup);
    wakeup::send(dup, to);
    EXPECT_EQ(read_pending(dup).first, 1);
    wakeup::close(dup);
}

TEST(WakeupSocket, DuplicateOfAClosedHandleFails) {
    bound_socket s;
    ASSERT_NE(s.handle(), k_no_socket);
    const platform_socket stale = s.handle();
    s.close();
    EXPECT_EQ(wakeup::duplicate(stale), k_no_socket);
    wakeup::close(k_no_socket);  // closing "none" does nothing
}

}  // namespace
