// Resolution tasks against fake DNS and HTTP-DNS servers on 127.0.5.10-39.
#include "resolver/NcmDnsResolutionTask.h"
#include "base/Clock.h"
#include "resolver/DnsMessage.h"
#include "tests/support/DnsFakes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace dnstest;
using testsupport::LogCapture;

namespace {

using Clock_ = std::chrono::steady_clock;

double secondsSince(Clock_::time_point start)
{
    return std::chrono::duration<double>(Clock_::now() - start).count();
}

// A task owned by the test the way the client owns one: the completion
// drops the only reference, as the client's does.
struct TaskRun {
    std::shared_ptr<NcmDnsResolutionTask> task;
    int calls = 0;
    std::set<std::string> answers;
    Clock_::time_point started = Clock_::now();
    double seconds = -1;

    TaskRun(NcmDnsClient* client, const std::string& host)
    {
        task = std::make_shared<NcmDnsResolutionTask>(client, host, [this](const std::string&) {
            ++calls;
            seconds = secondsSince(started);
            task->collectAnswerIpList(answers);
            task.reset();
        });
    }
    bool done() const { return calls > 0; }
};

DnsAnswer answerWith(std::vector<std::string> addresses)
{
    return DnsAnswer::with(std::move(addresses));
}

class ResolutionTaskTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        harness.client.reset();
        EXPECT_EQ(harness.proxy.stats->dnsctx, 0) << "a task outlived its owner";
        Clock::resetForTest();
    }
    void start(const std::string& config) { harness.start("LogLevel=V\n" + config); }
    NcmDnsClient* client() { return harness.client.get(); }

    LogCapture log;
    ClientHarness harness;
};

} // namespace

TEST_F(ResolutionTaskTest, TheSecondAcceptedReplyEndsTheDnsStage)
{
    start("ResolveTimeoutDns=5\n");
    FakeDnsServer a("127.0.5.10", [](const std::string&) { return answerWith({ "10.0.0.1" }); });
    // NXDOMAIN is an accepted reply: it counts as the second one.
    FakeDnsServer b("127.0.5.11", [](const std::string&) { return DnsAnswer::nxdomain(); });
    FakeDnsServer silent("127.0.5.12", [](const std::string&) { return DnsAnswer::silent(); });
    ASSERT_TRUE(a.ok() && b.ok() && silent.ok());

    TaskRun run(client(), "two.test");
    run.task->udpServers = { "127.0.5.10", "127.0.5.11", "127.0.5.12" };
    run.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
    EXPECT_LT(run.seconds, 2.0) << "waited for the silent server";
    EXPECT_EQ(run.calls, 1);
    EXPECT_EQ(run.answers, (std::set<std::string> { "10.0.0.1" }));
    EXPECT_TRUE(harness.runUntil([&] { return silent.count() == 1; }));
    EXPECT_TRUE(log.contains("no http dns list, over"));
}

TEST_F(ResolutionTaskTest, OneReplyWaitsForTheOtherServerUntilItsTimeout)
{
    start("ResolveTimeoutDns=1\n");
    FakeDnsServer a("127.0.5.13", [](const std::string&) { return answerWith({ "10.0.0.3", "10.0.0.4" }); });
    FakeDnsServer silent("127.0.5.14", [](const std::string&) { return DnsAnswer::silent(); });
    ASSERT_TRUE(a.ok() && silent.ok());

    TaskRun run(client(), "wait.test");
    run.task->udpServers = { "127.0.5.13", "127.0.5.14" };
    run.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 5000));
    EXPECT_GE(run.seconds, 0.9);
    EXPECT_EQ(run.answers, (std::set<std::string> { "10.0.0.3", "10.0.0.4" }));
}

TEST_F(ResolutionTaskTest, ServersThatCannotAnswerEndTheirRequestsAtOnce)
{
    start("ResolveTimeoutDns=5\n");
    // Nothing listens on 127.0.5.15: the kernel refuses the datagram.
    {
        TaskRun run(client(), "refused.test");
        run.task->udpServers = { "not an address", "127.0.5.15" };
        run.task->tcpServers = { "127.0.5.15" };
        run.task->doResolve();
        ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
        EXPECT_LT(run.seconds, 2.0);
        EXPECT_EQ(run.calls, 1);
        EXPECT_TRUE(run.answers.empty());
    }
    // No request can start: the task ends inside doResolve, once.
    {
        TaskRun run(client(), "none.test");
        run.task->udpServers = { "::1", "host.name" };
        run.task->doResolve();
        EXPECT_EQ(run.calls, 1);
        harness.runUntil([] { return false; }, 100);
        EXPECT_EQ(run.calls, 1);
    }
    {
        TaskRun run(client(), "empty.test");
        run.task->doResolve();
        EXPECT_EQ(run.calls, 1);
    }
    EXPECT_EQ(log.count("no dns list, over"), 2u);
    EXPECT_FALSE(log.contains("SOMETHING WRONG"));
}

TEST_F(ResolutionTaskTest, HttpDnsIsToldWhatDnsSaidAndItsAnswersWin)
{
    start("UID=u&id=1\nResolveTimeoutDns=5\n");
    FakeDnsServer a("127.0.5.16", [](const std::string&) { return answerWith({ "10.0.0.1", "10.0.0.2" }); });
    FakeDnsServer b("127.0.5.17", [](const std::string&) { return DnsAnswer::nxdomain(); });
    FakeHttpDns http("127.0.5.18", [](const HttpDnsRequest&) {
        return FakeHttpDns::ok(
            "HTTPDNS\n10.9.9.9,60;not-an-ip;10.9.9.8;; 1.2.3.4,x;1;999.1.1.1;1.2.3;1.2.3.4.5;"
            "01.2.3.4444");
    });
    ASSERT_TRUE(a.ok() && b.ok());

    // An underscore stays as it is, a space is encoded.
    TaskRun run(client(), "a_b c.test");
    run.task->udpServers = { "127.0.5.16", "127.0.5.17" };
    run.task->httpServers = { http.server() };
    run.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
    EXPECT_EQ(run.answers, (std::set<std::string> { "10.9.9.8", "10.9.9.9" }));
    EXPECT_TRUE(log.contains("collectAnswerIpList use http response to provide resolved ip for a_b c.test"));

    const auto requests = http.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string body = "q=a_b%20c.test&uid=u%26id%3D1&output=text"
                             "&known=127.0.5.16%3D10.0.0.1%3B10.0.0.2%0A127.0.5.17%3D";
    EXPECT_EQ(requests[0].body, body);
    const std::string expectedHead = "POST /dns HTTP/1.1\r\n"
                                     "Content-Type: x-www-form-urlencoded\r\n"
                                     "Host: "
        + http.server() + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    EXPECT_EQ(requests[0].head, expectedHead);
}

TEST_F(ResolutionTaskTest, HttpDnsReplyWithoutTheMagicOrWithAnErrorIsIgnored)
{
    start("ResolveTimeoutDns=5\nResolveTimeoutHttp=5\n");
    FakeDnsServer dns("127.0.5.19", [](const std::string&) { return answerWith({ "10.0.0.5" }); });
    FakeHttpDns noMagic("127.0.5.20", [](const HttpDnsRequest&) { return FakeHttpDns::ok("10.9.9.9"); });
    FakeHttpDns error("127.0.5.21", [](const HttpDnsRequest&) {
        return std::optional<std::string>(
            "HTTP/1.1 500 Oops\r\nContent-Length: 16\r\nConnection: close\r\n\r\nHTTPDNS\n10.9.9.9");
    });
    FakeHttpDns magicOnly("127.0.5.22", [](const HttpDnsRequest&) { return FakeHttpDns::ok("HTTPDNS\n"); });
    ASSERT_TRUE(dns.ok());

    TaskRun run(client(), "ignored.test");
    run.task->udpServers = { "127.0.5.19" };
    // Nothing listens on 127.0.5.27: that connection is refused.
    run.task->httpServers = { noMagic.server(), error.server(), magicOnly.server(), "127.0.5.27:9" };
    run.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
    EXPECT_LT(run.seconds, 3.0);
    EXPECT_EQ(run.answers, (std::set<std::string> { "10.0.0.5" }));
    EXPECT_TRUE(log.contains("evhttp_cb response is invalid"));
    EXPECT_TRUE(log.contains("evhttp_cb response error code: 500"));
    // Each of the four ended through its response handler, none by its timer.
    EXPECT_EQ(log.count("evhttp_over: ignored.test, what = 0"), 4u);
    // Answers that failed are no time-outs: nothing to report.
    EXPECT_EQ(harness.proxy.takeReports(), "");
}

TEST_F(ResolutionTaskTest, EveryHttpDnsServerTimingOutQueuesOneReportPerServer)
{
    start("UID=u1\nUseSystemDns=0\nResolveTimeoutDns=5\nResolveTimeoutHttp=1\n");
    FakeDnsServer dns("127.0.5.23", [](const std::string&) { return answerWith({ "10.0.0.6" }); });
    FakeHttpDns hang1("127.0.5.24", [](const HttpDnsRequest&) { return std::optional<std::string>(); });
    FakeHttpDns hang2("127.0.5.25", [](const HttpDnsRequest&) { return std::optional<std::string>(); });
    ASSERT_TRUE(dns.ok());

    TaskRun run(client(), "slow-http.test");
    run.task->udpServers = { "127.0.5.23" };
    run.task->httpServers = { hang1.server(), hang2.server() };
    run.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
    EXPECT_GE(run.seconds, 0.9);
    EXPECT_EQ(run.answers, (std::set<std::string> { "10.0.0.6" }));

    const std::string record = "{\"uid\":\"u1\",\"host\":\"HttpDNS Request Error\",\"ip\":\"";
    EXPECT_EQ(maskTimestamps(harness.proxy.takeReports()),
        "[" + record + hang1.server() + "\",\"timestamp\":T}," + record + hang2.server()
            + "\",\"timestamp\":T}]");

    // One server failing fast while the other times out is no full time-out.
    FakeHttpDns failing("127.0.5.26", [](const HttpDnsRequest&) {
        return std::optional<std::string>(
            "HTTP/1.1 404 No\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    });
    TaskRun second(client(), "half.test");
    second.task->udpServers = { "127.0.5.23" };
    second.task->httpServers = { failing.server(), hang1.server() };
    second.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return second.done(); }, 8000));
    EXPECT_EQ(second.answers, (std::set<std::string> { "10.0.0.6" }));
    EXPECT_EQ(harness.proxy.takeReports(), "");
}

TEST_F(ResolutionTaskTest, TcpReplyInPiecesIsParsedOnceWhole)
{
    start("ResolveTimeoutDns=5\n");
    harness.proxy.config.debugDnsTcpSmallWrites = true; // a fixed setting, no key
    TcpPlan plan;
    plan.pieces = { 1, 3, 10 };
    plan.gapMs = 150;
    FakeDnsServer tcp(
        "127.0.5.28",
        [](const std::string&) {
            return answerWith({ "10.0.0.7", "10.0.0.8" });
        },
        true, plan);
    ASSERT_TRUE(tcp.ok());

    TaskRun run(client(), "pieces.test");
    const std::vector<uint8_t> query = run.task->query;
    run.task->tcpServers = { "127.0.5.28" };
    run.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
    EXPECT_EQ(run.answers, (std::set<std::string> { "10.0.0.7", "10.0.0.8" }));
    // Sent ten bytes at a time, received whole, framing included.
    ASSERT_EQ(tcp.tcpQueries().size(), 1u);
    EXPECT_EQ(tcp.tcpQueries()[0], query);
    EXPECT_TRUE(log.contains("tcp over pieces.test with 2 ip"));
}

TEST_F(ResolutionTaskTest, TcpStreamClosedEarlyOrWithAnEmptyFrameEndsUnanswered)
{
    start("ResolveTimeoutDns=5\n");
    TcpPlan plan;
    plan.closeAfter = 9; // the length and part of the header
    FakeDnsServer cut(
        "127.0.5.29", [](const std::string&) { return answerWith({ "10.0.0.9" }); }, true, plan);
    FakeDnsServer empty(
        "127.0.5.35",
        [](const std::string&) {
            DnsAnswer answer = answerWith({ "10.0.0.9" });
            answer.emptyFrame = true;
            return answer;
        },
        true);
    ASSERT_TRUE(cut.ok() && empty.ok());

    for (const char* server : { "127.0.5.29", "127.0.5.35" }) {
        TaskRun run(client(), "cut.test");
        run.task->tcpServers = { server };
        run.task->doResolve();
        ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
        EXPECT_LT(run.seconds, 2.0) << server << " waited for the time-out instead";
        EXPECT_TRUE(run.answers.empty());
    }
    EXPECT_EQ(cut.count(), 1u);
}

TEST_F(ResolutionTaskTest, DatagramsThatAreNotTheReplyAreSkipped)
{
    start("ResolveTimeoutDns=5\n");
    FakeDnsServer server("127.0.5.36", [](const std::string&) {
        DnsAnswer answer = answerWith({ "10.0.0.14" });
        answer.forgedFirst = true;
        answer.delayMs = 100;
        return answer;
    });
    ASSERT_TRUE(server.ok());
    TaskRun run(client(), "forged.test");
    run.task->udpServers = { "127.0.5.36" };
    run.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
    EXPECT_EQ(run.answers, std::set<std::string> { "10.0.0.14" });
}

TEST_F(ResolutionTaskTest, TcpReplyStillTricklingWhenTheTaskStopsWaitingEndsUnanswered)
{
    // Every piece restarts the request's own wait, so only the task's
    // limit (ResolveTimeoutCallback, 9 s) can end a trickle.
    start("ResolveTimeoutDns=5\n");
    TcpPlan plan;
    plan.pieces = { 1, 1, 1, 1 };
    plan.gapMs = 300;
    FakeDnsServer trickle(
        "127.0.5.34", [](const std::string&) { return answerWith({ "10.0.0.13" }); }, true, plan);
    ASSERT_TRUE(trickle.ok());

    TaskRun run(client(), "trickle.test");
    run.task->tcpServers = { "127.0.5.34" };
    run.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return trickle.count() == 1; }));
    Clock::advanceSecondsForTest(9);
    ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
    EXPECT_TRUE(run.answers.empty()) << "the whole reply was waited for";
}

TEST_F(ResolutionTaskTest, ConfiguredServersAreAskedWhenHttpDnsCannotConfirm)
{
    start("DnsUdp=127.0.5.33\nResolveTimeoutDns=5\n");
    // On an IPv6-only network without NAT64 the addresses are used as they are.
    harness.proxy.ipStack.ipv6Only = true;
    FakeDnsServer first("127.0.5.31", [](const std::string&) { return answerWith({ "10.0.0.11" }); });
    FakeDnsServer configured("127.0.5.33", [](const std::string&) { return answerWith({ "10.0.0.12" }); });
    FakeHttpDns http("127.0.5.32", [](const HttpDnsRequest&) { return FakeHttpDns::ok("HTTPDNS\n"); });
    ASSERT_TRUE(first.ok() && configured.ok());

    TaskRun run(client(), "fallback.test");
    run.task->udpServers = { "127.0.5.31" };
    run.task->httpServers = { http.server() };
    run.task->doResolve();
    ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
    EXPECT_EQ(run.answers, (std::set<std::string> { "10.0.0.12" }));
    EXPECT_TRUE(log.contains(
        "use local dns resolve and httpdns verify fail, so use default dns resolve(127.0.5.33)"));
    EXPECT_TRUE(log.contains("alread execute http resolve task for: fallback.test"));
    EXPECT_EQ(http.requests().size(), 1u) << "a second HTTP-DNS stage ran";
    EXPECT_EQ(configured.count(), 1u);
}
