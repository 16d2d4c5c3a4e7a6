// The service's datagram sender and what it takes from the service manager's
// environment: a datagram goes out whole or not at all, and never waits.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "DatagramSocket.h"
#include "ServiceManagerEnvironment.h"
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
    EXPECT_GT(std::chrono::milliseconds(100), std::chrono::steady_clock::now() - start);
    tDatagramSocket nobody(std::string(ZO_TEST_BINARY_DIR) + "/no-listener-here");
    ASSERT_TRUE(nobody.isOpen());
    EXPECT_FALSE(nobody.send("WATCHDOG=1", 10));
}

TEST(ServiceManagerEnvironment, IsTakenOutOfTheEnvironment) {
    const std::string ownPid = std::to_string(getpid());
    const struct {
        const char* watchdogPid;  // null: unset
        const char* watchdogUsec;
        uint64_t watchdogUs;
    } cases[] = {
        {nullptr, "5000000", 5000000},
        {ownPid.c_str(), "5000000", 5000000},
        {"1", "5000000", 0},  // another process's watchdog
        {nullptr, "0", 0},
        {nullptr, "5s", 0},
        {nullptr, "-5", 0},
    };
    for (const auto& test : cases) {
        setenv("NOTIFY_SOCKET", "@manager", 1);
        setenv("WATCHDOG_USEC", test.watchdogUsec, 1);
        if (test.watchdogPid != nullptr) {
            setenv("WATCHDOG_PID", test.watchdogPid, 1);
        }
        const tServiceManagerEnvironment environment = takeServiceManagerEnvironment();
        EXPECT_EQ("@manager", environment.notifySocket);
        EXPECT_EQ(test.watchdogUs, environment.watchdogUs) << test.watchdogUsec;
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) {
            EXPECT_EQ(nullptr, getenv(name)) << name;
        }
    }
}

}  // namespace
