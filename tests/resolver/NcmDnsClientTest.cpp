// The DNS client against fake resolvers on 127.0.5.40-99.
#include "resolver/NcmDnsClient.h"
#include "base/Clock.h"
#include "resolver/LocalIpStack.h"
#include "resolver/Nat64Discovery.h"
#include "resolver/NcmSys.h"
#include "tests/support/DnsFakes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <netdb.h>
#include <set>
#include <thread>

using namespace dnstest;
using testsupport::LogCapture;

namespace {

class DnsClientTest : public ::testing::Test {
protected:
    NcmDnsClient& client() { return *harness.client; }
    // A caller that lives as long as the test, asking for `host`.
    Caller& ask(const std::string& host)
    {
        Caller& caller = callers.emplace_back();
        client().chooseUsableIp(host, &caller.callback);
        return caller;
    }
    bool waitFor(const Caller& caller, int timeoutMs = 5000)
    {
        return harness.runUntil([&] { return caller.answered(); }, timeoutMs);
    }

    LogCapture log;
    std::deque<Caller> callers;
    ClientHarness harness;
};

} // namespace

TEST_F(DnsClientTest, TwoOfFourResolversAreAsked)
{
    // Server 127.0.5.4N answers 10.0.4.N.
    std::vector<std::unique_ptr<FakeDnsServer>> servers;
    for (int i = 40; i < 44; ++i)
        servers.push_back(std::make_unique<FakeDnsServer>(
            "127.0.5." + std::to_string(i), always({ "10.0.4." + std::to_string(i) })));
    harness.start("DnsUdp=127.0.5.40,127.0.5.41,127.0.5.42,127.0.5.43\nResolveTimeoutDns=5\n");
    for (const char* host : { "first.test", "second.test" }) {
        Caller& caller = ask(host);
        ASSERT_TRUE(waitFor(caller));
        ASSERT_EQ(caller.answers.size(), 1u);
        const size_t index = std::stoul(caller.answers[0].substr(caller.answers[0].rfind('.') + 1)) - 40;
        ASSERT_LT(index, servers.size()) << caller.answers[0];
        EXPECT_EQ(servers[index]->names().back(), host);
    }
    // The same two servers for every host, each asked once per host.
    int used = 0;
    for (const auto& server : servers) {
        EXPECT_TRUE(server->count() == 0 || server->count() == 2) << server->count();
        used += server->count() > 0;
    }
    EXPECT_EQ(used, 2);
}

TEST_F(DnsClientTest, CallersOfAHostShareOneTaskWithdrawnOnesAreNeverCalledAndTheAnswerIsCachedTillItExpires)
{
    FakeDnsServer dns("127.0.5.45", always({ "10.0.4.45" }));
    harness.start("DnsUdp=127.0.5.45\n");
    std::vector<std::string> order;
    Caller withdrawnEarly, withdrawnByAnother;
    DnsCallback first = [&](const std::string& ip) {
        order.push_back("first " + ip);
        // Withdrawing a later callback from inside an earlier one must hold.
        client().removeDnsCallback("shared.test", &withdrawnByAnother.callback);
    };
    DnsCallback second = [&](const std::string& ip) { order.push_back("second " + ip); };
    DnsCallback third = [&](const std::string& ip) { order.push_back("third " + ip); };
    client().chooseUsableIp("shared.test", &first);
    client().chooseUsableIp("shared.test", &withdrawnEarly.callback);
    client().chooseUsableIp("shared.test", &second);
    client().chooseUsableIp("shared.test", &withdrawnByAnother.callback);
    client().chooseUsableIp("shared.test", &third);
    EXPECT_EQ(harness.proxy.stats->dnsreq, 1);
    EXPECT_EQ(client().statsLine(), "taskmap=1(req:1), cbmap=1(5), cache=0(0)");
    client().removeDnsCallback("shared.test", &withdrawnEarly.callback);
    EXPECT_EQ(client().statsLine(), "taskmap=1(req:1), cbmap=1(4), cache=0(0)");
    ASSERT_TRUE(harness.runUntil([&] { return order.size() >= 3; }));
    harness.runUntil([] { return false; }, 100);
    EXPECT_EQ(order, (std::vector<std::string> { "first 10.0.4.45", "second 10.0.4.45", "third 10.0.4.45" }));
    EXPECT_FALSE(withdrawnEarly.answered());
    EXPECT_FALSE(withdrawnByAnother.answered());
    EXPECT_EQ(dns.count(), 1u);
    EXPECT_EQ(client().statsLine(), "taskmap=0(req:0), cbmap=0(0), cache=1(1)");
    // A hit is answered before chooseUsableIp returns until the 1200 s are up (1198 s: the real
    // clock under the offset may tick once during the test); then the host is asked again.
    for (int seconds : { 0, 1198 }) {
        Clock::advanceSecondsForTest(seconds);
        EXPECT_EQ(ask("shared.test").answers, std::vector<std::string> { "10.0.4.45" }) << seconds;
    }
    Clock::advanceSecondsForTest(12);
    Caller& expired = ask("shared.test");
    EXPECT_FALSE(expired.answered());
    ASSERT_TRUE(waitFor(expired));
    EXPECT_EQ(dns.count(), 2u);
    EXPECT_EQ(harness.proxy.stats->dnsreq, 2);
}

TEST_F(DnsClientTest, InjectedFakeAddressThenAnswersThenDomainIpsAndDiscardsWalkTheList)
{
    FakeDnsServer dns("127.0.5.46", always({ "10.0.4.8", "10.0.4.7" }));
    harness.start("UID=tester\nDnsUdp=127.0.5.46\nDebugInjectFakeIp=1\n"
                  "DomainIps=list.test:10.0.4.6,10.0.4.7;other.test:10.9.9.9\n");
    Caller& caller = ask("list.test");
    ASSERT_TRUE(waitFor(caller));
    // The fake address, two answers and the one configured address DNS did not give.
    EXPECT_EQ(client().statsLine(), "taskmap=0(req:0), cbmap=0(0), cache=1(4)");
    std::vector<std::string> handedOut = caller.answers;
    // Each discard hands out the next address of the entry, from the cache.
    for (int i = 0; i < 3; ++i) {
        client().discardUnusableIp("list.test", handedOut.back());
        Caller& next = ask("list.test");
        ASSERT_EQ(next.answers.size(), 1u) << "not answered from the cache";
        handedOut.push_back(next.answers[0]);
    }
    ASSERT_EQ(handedOut.size(), 4u);
    EXPECT_EQ(handedOut[0], "1.1.1.1");
    EXPECT_EQ(std::set<std::string>(handedOut.begin() + 1, handedOut.begin() + 3),
        (std::set<std::string> { "10.0.4.7", "10.0.4.8" }));
    EXPECT_EQ(handedOut[3], "10.0.4.6");

    // Nothing left: the host is resolved again.
    client().discardUnusableIp("list.test", "10.0.4.6");
    Caller& again = ask("list.test");
    EXPECT_FALSE(again.answered());
    ASSERT_TRUE(waitFor(again));
    EXPECT_EQ(dns.count(), 2u);

    // Unknown addresses and hosts change nothing.
    client().discardUnusableIp("list.test", "192.0.2.1");
    client().discardUnusableIp("never.test", "192.0.2.1");
    EXPECT_EQ(client().statsLine(), "taskmap=0(req:0), cbmap=0(0), cache=1(4)");
    std::string expected;
    for (const std::string& ip : handedOut)
        expected += ",{\"uid\":\"tester\",\"host\":\"list.test\",\"ip\":\"" + ip + "\",\"timestamp\":T}";
    EXPECT_EQ(maskTimestamps(harness.proxy.takeReports()), "[" + expected.substr(1) + "]");
}

TEST_F(DnsClientTest, EmptyHostsLocalhostAndMissingResolversAreAnsweredAtOnce)
{
    harness.start("");
    // An empty label would have another name asked for and cached; localhost is nobody's to answer.
    const char* const cases[][2] = { { "", "" }, { "a..b.test", "" }, { ".a.test", "" }, { ".", "" },
        { ".localhost", "" }, { "localhost", "127.0.0.1" }, { "LocalHost.", "127.0.0.1" },
        { "www.Test.LOCALHOST", "127.0.0.1" } };
    for (const auto& c : cases)
        EXPECT_EQ(ask(c[0]).answers, std::vector<std::string> { c[1] }) << c[0];
    EXPECT_EQ(harness.proxy.stats->dnsreq, 0);

    // No resolver: the task ends at once, and its empty entry does not block the next request.
    for (int round = 1; round <= 2; ++round) {
        Caller& caller = ask("notlocalhost");
        ASSERT_TRUE(waitFor(caller, 1000));
        EXPECT_EQ(caller.answers, std::vector<std::string> { "" });
        EXPECT_EQ(harness.proxy.stats->dnsreq, round);
    }
}

TEST_F(DnsClientTest, Nat64DiscoveryNeverBlocksAndRetriesOnlyAfterAMinute)
{
    std::atomic<int> lookups { 0 };
    std::atomic<bool> succeed { false };
    setLocalIpStackDetectorForTest([] { return ELocalIPStack_IPv6; });
    setNat64LookupForTest([&](const char*, std::vector<sockaddr_storage>& results) {
        ++lookups;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (!succeed)
            return EAI_NONAME;
        results.push_back(socketAddress("64:ff9b::c000:aa"));
        return 0;
    });
    harness.start("");
    auto askNow = [&] {
        const auto begin = std::chrono::steady_clock::now();
        Caller& caller = ask("nowhere.test");
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(150)) << "blocked";
        EXPECT_TRUE(waitFor(caller, 1000));
    };
    askNow();
    askNow(); // while the first discovery runs
    ASSERT_TRUE(harness.runUntil([&] { return log.contains("NAT64 discovery found nothing"); }));
    askNow(); // failed less than a minute ago
    EXPECT_EQ(lookups.load(), 1);
    Clock::advanceSecondsForTest(60);
    succeed = true;
    askNow();
    ASSERT_TRUE(harness.runUntil([&] { return harness.proxy.ipStack.nat64Known; }));
    Clock::advanceSecondsForTest(120);
    askNow(); // known: never asked again in this activation
    EXPECT_EQ(lookups.load(), 2);

    // A discovery still running when the client goes is not waited for; its result is dropped.
    setNat64LookupForTest([](const char*, std::vector<sockaddr_storage>&) {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        return EAI_NONAME;
    });
    harness.proxy.ipStack.nat64Known = false;
    askNow();
    const auto begin = std::chrono::steady_clock::now();
    harness.client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    setNat64LookupForTest(nullptr);
}

TEST_F(DnsClientTest, SystemResolversAreReadOncePerActivationAndNamedHttpDnsServersBeforeTasksStart)
{
    const struct {
        const char* text;
        std::vector<std::string> servers; // only IPv4 addresses the client can ask
    } cases[] = {
        { "nameserver 127.0.0.53\n", { "127.0.0.53" } },
        { "# nameserver 10.0.0.9\n; x\nsearch a.test\n  nameserver\t10.0.0.1 # here\noptions ndots:2\n"
          "nameserver 10.0.0.2",
            { "10.0.0.1", "10.0.0.2" } },
        { "nameserver ::1\nnameserver fe80::1%eth0\nnameserver 10.0.0.256\nnameserver 10.0.0\n", {} },
        { "nameservers 10.0.0.1\nnameserver\n", {} },
    };
    for (const auto& c : cases)
        EXPECT_EQ(NcmSys::parseResolvConf(c.text), c.servers) << c.text;
    FakeDnsServer first("127.0.5.51", always({ "10.0.4.51" }));
    FakeDnsServer second("127.0.5.52", always({ "10.0.4.52" }));
    const std::string path = testing::TempDir() + "resolv.conf";
    std::ofstream(path) << "nameserver 127.0.5.51\n";
    NcmSys::setResolvConfPathForTest(path);
    harness.start("UseSystemDns=1\nDnsUdp=127.0.5.52\n");
    std::ofstream(path) << "nameserver 127.0.5.52\n"; // read again only by the next activation
    for (const char* host : { "one.test", "two.test" }) {
        Caller& caller = ask(host);
        ASSERT_TRUE(waitFor(caller));
        EXPECT_EQ(caller.answers, std::vector<std::string> { "10.0.4.51" }) << host;
        Clock::advanceSecondsForTest(11);
    }
    EXPECT_TRUE(client().systemDnsKnown());
    EXPECT_EQ(second.count(), 0u);
    NcmSys::setResolvConfPathForTest(testsupport::NoResolvConf);
    std::remove(path.c_str());
    // HTTP-DNS servers given by name are resolved before tasks start.
    FakeHttpDns http("127.0.5.49", FakeHttpDns::ok("HTTPDNS\n10.0.4.11"));
    const std::string port = http.server().substr(http.server().find(':') + 1);
    FakeDnsServer dns("127.0.5.48", [](const std::string& name) {
        return DnsAnswer({ name == "httpdns.test" ? "127.0.5.49" : "10.0.4.10" });
    });
    harness.start("DnsUdp=127.0.5.48\nDnsHttp=httpdns.test:" + port + "\n");
    EXPECT_TRUE(client().httpDnsPending());
    Caller& caller = ask("named.test");
    ASSERT_TRUE(waitFor(caller));
    EXPECT_EQ(caller.answers, std::vector<std::string> { "10.0.4.11" });
    EXPECT_FALSE(client().httpDnsPending());
    EXPECT_EQ(client().httpDnsServers(), std::vector<std::string> { "127.0.5.49:" + port });
    EXPECT_EQ(dns.names(), (std::vector<std::string> { "httpdns.test", "named.test" }));
    ASSERT_EQ(http.requests().size(), 1u);
}

TEST_F(DnsClientTest, AStuckTaskIsEndedByTheNextRequestForAnotherHost)
{
    FakeDnsServer dns("127.0.5.50", [](const std::string& name) {
        return name == "stuck.test" ? DnsAnswer(DnsAnswer::Silent) : DnsAnswer({ "10.0.4.50" });
    });
    harness.start("DnsUdp=127.0.5.50\nResolveTimeoutDns=60\n");
    Caller& stuck = ask("stuck.test");
    ASSERT_TRUE(harness.runUntil([&] { return dns.count() == 1; }));
    Clock::advanceSecondsForTest(8);
    Caller& early = ask("early.test");
    EXPECT_FALSE(stuck.answered());
    Clock::advanceSecondsForTest(1);
    Caller& late = ask("late.test");
    EXPECT_EQ(stuck.answers, std::vector<std::string> { "" });
    ASSERT_TRUE(harness.runUntil([&] { return early.answered() && late.answered(); }));
    EXPECT_EQ(late.answers, std::vector<std::string> { "10.0.4.50" });
}
