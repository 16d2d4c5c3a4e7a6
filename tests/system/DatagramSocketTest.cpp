// The service's datagram sender: a datagram goes out whole or not at all, and
// never waits.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "system/DatagramSocket.h"
#include "support/NotifySocket.h"

namespace {

using zotest::tNotifySocket;

// The address of `socket` as tDatagramSocket takes it.
std::string addressOf(const tNotifySocket& socket) {
    return socket.environmentEntry().substr(sizeof "NOTIFY_SOCKET=" - 1);
}

TEST(DatagramSocket, SendsOneWholeDatagramToAPathOrAnAbstractName) {
    for (const auto kind : {tNotifySocket::tAddress::file, tNotifySocket::tAddress::abstract}) {
        tNotifySocket listener(kind);
        tDatagramSocket sender(addressOf(listener));
        ASSERT_TRUE(sender.isOpen()) << addressOf(listener);
        const std::string message = "READY=1\nSTATUS=" + std::string(4000, 's');
        EXPECT_TRUE(sender.send(message.data(), message.size()));
        ASSERT_TRUE(listener.waitFor([](const std::string&) { return true; }));
        EXPECT_EQ(message, listener.received().back().text);
    }
}

TEST(DatagramSocket, UnusableAddressLeavesItClosed) {
    for (const std::string& address :
         {std::string(), std::string("@"), std::string("relative/socket"),
          "/" + std::string(200, 'p'), "@" + std::string(200, 'a')}) {
        tDatagramSocket sender(address);
        EXPECT_FALSE(sender.isOpen()) << address;
        EXPECT_FALSE(sender.send("WATCHDOG=1", 10)) << address;
    }
}

TEST(DatagramSocket, FullQueueOrNoListenerDropsTheDatagramAtOnce) {
    tNotifySocket listener;
    listener.fillQueue();
    tDatagramSocket sender(addressOf(listener));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sender.send("WATCHDOG=1", 10));
    // Nobody reads the queue: a send that waited for room would wait for
    // ever, so a bound of seconds tells it, and holds on a loaded machine.
    EXPECT_GT(std::chrono::seconds(5), std::chrono::steady_clock::now() - start);
    tDatagramSocket nobody(std::string(ZO_TEST_BINARY_DIR) + "/no-listener-here");
    ASSERT_TRUE(nobody.isOpen());
    EXPECT_FALSE(nobody.send("WATCHDOG=1", 10));
}

}  // namespace
