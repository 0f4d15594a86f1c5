// Resolution tasks against fake DNS and HTTP-DNS servers on 127.0.5.10-39.
#include "resolver/NcmDnsResolutionTask.h"
#include "base/Clock.h"
#include "tests/support/DnsFakes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

using namespace dnstest;

namespace {

using Clock_ = std::chrono::steady_clock;

// Owned as the client owns a task: the completion drops the only reference.
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
            seconds = std::chrono::duration<double>(Clock_::now() - started).count();
            task->collectAnswerIpList(answers);
            task.reset();
        });
    }
    bool done() const { return calls > 0; }
};

class ResolutionTaskTest : public ::testing::Test {
protected:
    NcmDnsClient* client() { return harness.client.get(); }
    // Runs a task for `host` with the given servers until it ends.
    void resolve(TaskRun& run, std::vector<std::string> udp, std::vector<std::string> http = {})
    {
        run.task->udpServers = std::move(udp);
        run.task->httpServers = std::move(http);
        run.task->doResolve();
        ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
    }

    testsupport::LogCapture log;
    ClientHarness harness;
};

struct FakeSpec {
    const char* address;
    DnsAnswer answer;
    bool tcp = false;
    TcpPlan plan = {};
};

} // namespace

TEST_F(ResolutionTaskTest, DnsStageEndsOnTheSecondReplyTheTimeOutOrAFailure)
{
    DnsAnswer forged({ "10.0.0.14" }), emptyFrame({ "10.0.0.9" });
    forged.forgedFirst = true;
    emptyFrame.emptyFrame = true;
    const DnsAnswer silent(DnsAnswer::Silent);
    const struct {
        const char* what;
        std::vector<FakeSpec> fakes;
        std::vector<std::string> udp, tcp;
        std::set<std::string> expected;
        double minSeconds = 0, maxSeconds = 2;
        int advance = 0; // seconds on the task's clock once every fake was asked
        int timeout = 5; // ResolveTimeoutDns
    } cases[] = {
        // NXDOMAIN is an accepted reply: it counts as the second one.
        { "second accepted reply",
            { { "127.0.5.10", DnsAnswer({ "10.0.0.1" }) }, { "127.0.5.11", DnsAnswer::NxDomain },
                { "127.0.5.12", silent } },
            { "127.0.5.10", "127.0.5.11", "127.0.5.12" }, {}, { "10.0.0.1" } },
        { "one reply waits for the other server until the time-out",
            { { "127.0.5.13", DnsAnswer({ "10.0.0.3", "10.0.0.4" }) }, { "127.0.5.14", silent } },
            { "127.0.5.13", "127.0.5.14" }, {}, { "10.0.0.3", "10.0.0.4" }, 0.9, 5, 0, 1 },
        // Nothing listens on 127.0.5.15: the kernel refuses the datagram.
        { "refused", {}, { "not an address", "127.0.5.15" }, { "127.0.5.15" }, {} },
        { "datagrams that are not the reply", { { "127.0.5.36", forged } }, { "127.0.5.36" }, {},
            { "10.0.0.14" } },
        // Sent ten bytes at a time, received whole, framing included.
        { "TCP reply in pieces",
            { { "127.0.5.28", DnsAnswer({ "10.0.0.7", "10.0.0.8" }), true, { { 1, 3, 10 }, 150 } } }, {},
            { "127.0.5.28" }, { "10.0.0.7", "10.0.0.8" }, 0, 4 },
        { "TCP stream closed after the length and part of the header",
            { { "127.0.5.29", DnsAnswer({ "10.0.0.9" }), true, { {}, 0, 9 } } }, {}, { "127.0.5.29" }, {} },
        { "TCP frame of length 0", { { "127.0.5.35", emptyFrame, true } }, {}, { "127.0.5.35" }, {} },
        // Every piece restarts the request's own wait, so only the task's limit (9 s) can end a trickle.
        { "TCP reply still trickling when the task stops waiting",
            { { "127.0.5.34", DnsAnswer({ "10.0.0.13" }), true, { { 1, 1, 1, 1 }, 300 } } }, {},
            { "127.0.5.34" }, {}, 0, 8, 9 },
        // No request can start: the task must still end, at once.
        { "no usable server", {}, { "::1", "host.name" }, {}, {}, 0, 1 },
        { "no server", {}, {}, {}, {}, 0, 1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Clock::resetForTest();
        harness.start("ResolveTimeoutDns=" + std::to_string(c.timeout) + "\n");
        harness.proxy.config.debugDnsTcpSmallWrites = true; // a fixed setting, no key
        std::vector<std::unique_ptr<FakeDnsServer>> fakes;
        for (const FakeSpec& f : c.fakes)
            fakes.push_back(std::make_unique<FakeDnsServer>(f.address, always(f.answer), f.tcp, f.plan));
        auto allAsked = [&] {
            return std::all_of(fakes.begin(), fakes.end(), [](const auto& f) { return f->count() == 1; });
        };
        TaskRun run(client(), "table.test");
        const Bytes query = run.task->query;
        run.task->udpServers = c.udp;
        run.task->tcpServers = c.tcp;
        run.task->doResolve();
        if (c.advance) {
            ASSERT_TRUE(harness.runUntil(allAsked));
            Clock::advanceSecondsForTest(c.advance);
        }
        ASSERT_TRUE(harness.runUntil([&] { return run.done(); }, 8000));
        EXPECT_GE(run.seconds, c.minSeconds);
        EXPECT_LT(run.seconds, c.maxSeconds);
        EXPECT_EQ(run.answers, c.expected);
        EXPECT_TRUE(harness.runUntil(allAsked)) << "each fake asked once";
        EXPECT_EQ(run.calls, 1);
        for (const auto& fake : fakes)
            for (const Bytes& received : fake->tcpQueries())
                EXPECT_EQ(received, query);
    }
    EXPECT_FALSE(log.contains("SOMETHING WRONG"));
}

TEST_F(ResolutionTaskTest, HttpDnsIsToldWhatDnsSaidItsAnswersWinAndWhenItCannotConfirmTheConfiguredServersAre)
{
    harness.start("UID=u&id=1\nResolveTimeoutDns=5\n");
    FakeDnsServer a("127.0.5.16", always({ "10.0.0.1", "10.0.0.2" }));
    FakeDnsServer b("127.0.5.17", always(DnsAnswer::NxDomain));
    FakeHttpDns http("127.0.5.18",
        FakeHttpDns::ok(
            "HTTPDNS\n10.9.9.9,60;not-an-ip;10.9.9.8;; 1.2.3.4,x;1;999.1.1.1;1.2.3;1.2.3.4.5;01.2.3.4444"));

    // An underscore stays as it is, a space is encoded.
    TaskRun run(client(), "a_b c.test");
    resolve(run, { "127.0.5.16", "127.0.5.17" }, { http.server() });
    EXPECT_EQ(run.answers, (std::set<std::string> { "10.9.9.8", "10.9.9.9" }));
    const auto requests = http.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string body = "q=a_b%20c.test&uid=u%26id%3D1&output=text"
                             "&known=127.0.5.16%3D10.0.0.1%3B10.0.0.2%0A127.0.5.17%3D";
    EXPECT_EQ(requests[0].body, body);
    EXPECT_EQ(requests[0].head,
        "POST /dns HTTP/1.1\r\nContent-Type: x-www-form-urlencoded\r\nHost: " + http.server()
            + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    // HTTP-DNS unsure: the configured servers are asked (IPv6-only without NAT64: addresses used as they
    // are).
    harness.start("DnsUdp=127.0.5.33\nResolveTimeoutDns=5\n");
    harness.proxy.ipStack.ipv6Only = true;
    FakeDnsServer first("127.0.5.31", always({ "10.0.0.11" }));
    FakeDnsServer configured("127.0.5.33", always({ "10.0.0.12" }));
    FakeHttpDns unsure("127.0.5.32", FakeHttpDns::ok("HTTPDNS\n"));
    TaskRun fallback(client(), "fallback.test");
    resolve(fallback, { "127.0.5.31" }, { unsure.server() });
    EXPECT_EQ(fallback.answers, (std::set<std::string> { "10.0.0.12" }));
    EXPECT_EQ(unsure.requests().size(), 1u) << "a second HTTP-DNS stage ran";
    EXPECT_EQ(configured.count(), 1u);
}

TEST_F(ResolutionTaskTest, HttpDnsRepliesThatFailAreIgnoredAndOnlyAFullTimeOutIsReported)
{
    harness.start("UID=u1\nUseSystemDns=0\nResolveTimeoutDns=5\nResolveTimeoutHttp=1\n");
    FakeDnsServer dns("127.0.5.19", always({ "10.0.0.5" }));
    FakeHttpDns noMagic("127.0.5.20", FakeHttpDns::ok("10.9.9.9"));
    FakeHttpDns error("127.0.5.21", "HTTP/1.1 500 Oops\r\nContent-Length: 16\r\n\r\nHTTPDNS\n10.9.9.9");
    FakeHttpDns magicOnly("127.0.5.22", FakeHttpDns::ok("HTTPDNS\n"));
    FakeHttpDns hang1("127.0.5.24", std::nullopt);
    FakeHttpDns hang2("127.0.5.25", std::nullopt);

    // Nothing listens on 127.0.5.27: that connection is refused.
    TaskRun failing(client(), "ignored.test");
    resolve(
        failing, { "127.0.5.19" }, { noMagic.server(), error.server(), magicOnly.server(), "127.0.5.27:9" });
    EXPECT_LT(failing.seconds, 0.9) << "waited for a time-out";
    EXPECT_EQ(failing.answers, (std::set<std::string> { "10.0.0.5" }));
    EXPECT_EQ(log.count("evhttp_over: ignored.test, what = 0"), 4u)
        << "each ended by its response, none by its timer";
    // Answers that failed are no time-outs, nor is one failing fast while another times out.
    TaskRun half(client(), "half.test");
    resolve(half, { "127.0.5.19" }, { error.server(), hang1.server() });
    EXPECT_GE(half.seconds, 0.9);
    EXPECT_EQ(half.answers, (std::set<std::string> { "10.0.0.5" }));
    EXPECT_EQ(harness.proxy.takeReports(), "");
    TaskRun slow(client(), "slow-http.test");
    resolve(slow, { "127.0.5.19" }, { hang1.server(), hang2.server() });
    EXPECT_GE(slow.seconds, 0.9);
    EXPECT_EQ(slow.answers, (std::set<std::string> { "10.0.0.5" }));
    const std::string record = "{\"uid\":\"u1\",\"host\":\"HttpDNS Request Error\",\"ip\":\"";
    EXPECT_EQ(maskTimestamps(harness.proxy.takeReports()),
        "[" + record + hang1.server() + "\",\"timestamp\":T}," + record + hang2.server()
            + "\",\"timestamp\":T}]");
}
