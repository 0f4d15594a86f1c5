#include "proxy/NcmProxyRemoteManager.h"
#include "base/Clock.h"
#include "base/SocketUtil.h"
#include "proxy/NcmProxy.h"
#include "tests/support/KcpSimulatedNetwork.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TestSupport.h"
#include "transport/KcpControlBlock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// A relay on a raw UDP socket: answers Opens (unless told not to), acks data, answers heads as `reply` says.
class ScriptedRelay {
public:
    enum class Reply {
        CloseAndEnd, // the first head only, with the close option and the end of the stream
        KeepOpen, // every head
        CloseOption, // every head, with the close option (the upstream's close still to come)
        KeepOpenThenEnd, // the first head, then the end of the stream
        EndsTheNext, // the first head; at the next, the end of the stream and no answer
    };
    struct Conversation {
        sockaddr_in peer {};
        bool ahead = false; // its Open was flagged as opened ahead
        uint32_t received = 1; // the client's next sequence number
        uint32_t sent = 1; // ours
        std::string request;
        size_t heads = 0;
    };

    ScriptedRelay() { fd = bindSocket("127.0.6.1", 0, SOCK_DGRAM); }
    ~ScriptedRelay() { close(fd); }
    std::string address() const { return "127.0.6.1:" + std::to_string(boundPort(fd)); }

    void send(uint32_t conv, uint8_t cmd, uint32_t sn, const std::string& data = {}, uint16_t wnd = 1024)
    {
        Conversation& c = conversations[conv];
        const std::string datagram = encodeKcp({ { conv, cmd, 0, wnd, 0, sn, c.received, data } });
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&c.peer), sizeof c.peer);
    }
    void push(uint32_t conv, const std::string& data)
    {
        send(conv, KcpSegment::Push, conversations[conv].sent++, data);
    }

    bool serveUntil(const std::function<bool()>& done, int timeoutMs = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            pollfd p { fd, POLLIN, 0 };
            if (poll(&p, 1, 20) <= 0)
                continue;
            char datagram[2048];
            sockaddr_in from {};
            socklen_t length = sizeof from;
            const ssize_t n
                = recvfrom(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &length);
            for (const KcpWire& s :
                decodeKcp(std::string(datagram, static_cast<size_t>(std::max<ssize_t>(n, 0)))))
                handle(s.conv, s.cmd, s.frg, s.sn, s.data, from);
        }
        return true;
    }

    int fd;
    bool answerOpens = true;
    Reply reply = Reply::CloseAndEnd;
    std::map<uint32_t, Conversation> conversations;
    std::vector<uint32_t> requests; // conversations in the order their request heads arrived

private:
    void handle(uint32_t conv, uint8_t cmd, uint8_t frg, uint32_t sn, const std::string& data,
        const sockaddr_in& from)
    {
        if (cmd == KcpSegment::Open) {
            if (conversations.count(conv) || !answerOpens)
                return;
            Conversation& c = conversations[conv];
            c.peer = from;
            c.ahead = frg == KcpSegment::OpenHold;
            send(conv, KcpSegment::Open, 0, {}, 32); // the small window of an unproven address
            return;
        }
        if (cmd != KcpSegment::Push || !conversations.count(conv))
            return;
        Conversation& c = conversations[conv];
        send(conv, KcpSegment::Ack, sn);
        if (sn != c.received || data.empty())
            return;
        c.received += 1;
        c.request += data;
        for (size_t end; (end = c.request.find("\r\n\r\n")) != std::string::npos;) {
            c.request.erase(0, end + 4);
            requests.push_back(conv);
            answer(conv, c.heads++);
        }
    }
    void answer(uint32_t conv, size_t head)
    {
        const bool closes = reply == Reply::CloseAndEnd || reply == Reply::CloseOption;
        const bool ends = reply == Reply::CloseAndEnd || reply == Reply::KeepOpenThenEnd; // after the first
        if (head > 0 && reply == Reply::EndsTheNext)
            return push(conv, {});
        if (head > 0 && ends)
            return;
        push(conv,
            std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n") + (closes ? "Connection: close\r\n" : "")
                + "\r\nok");
        if (ends)
            push(conv, {}); // the end of our stream
    }
};

} // namespace

TEST(RemoteManagerTest, SilentRelayTimesOutEveryAttemptThenAnswers504)
{
    LogCapture log;
    RunningProxy proxy;
    int relay = bindSocket("127.0.6.1", 0, SOCK_DGRAM);
    ASSERT_GE(relay, 0);
    proxy.proxy.config.logLevel = 'V';
    proxy.proxy.config.kcpEnabled = true;
    proxy.proxy.config.kcpHostMapping
        = { { ".relay.test", "127.0.6.1:" + std::to_string(boundPort(relay)) } };
    proxy.proxy.config.connectTimeout = 1;
    ASSERT_TRUE(proxy.start(""));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(proxy.get("http://www.relay.test/"), Answer504);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
        << "each of the three attempts waits out its time-out";
    EXPECT_EQ(log.count("connect event 1, err=" + std::to_string(ETIMEDOUT)), 3u);
    // Every attempt opened its own conversation, and only Opens were sent.
    std::set<uint32_t> conversations;
    uint8_t datagram[2048];
    for (ssize_t n; (n = recv(relay, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;) {
        ASSERT_GE(n, 24);
        EXPECT_EQ(datagram[4], 80) << "an Open";
        if (datagram[5] == KcpSegment::OpenHold)
            continue; // opened ahead for a next request, each dropped at its own time-out
        EXPECT_EQ(datagram[6] | (datagram[7] << 8), 1024) << "the receive window was set before connect";
        conversations.insert(datagram[0] | (datagram[1] << 8) | (datagram[2] << 16)
            | (static_cast<uint32_t>(datagram[3]) << 24));
    }
    EXPECT_EQ(conversations.size(), 3u);
    close(relay);
    proxy.stop();
    EXPECT_TRUE(log.contains("pxyctx=0, remoteconn=0"));
}

// Later requests: the conversation kept open to the host, else an admitted one opened ahead, else a new one.
TEST(RemoteManagerTest, LaterRequestsGoOnAKeptOrAheadConversationOnlyWhileTheRelayKeepsIt)
{
    using Reply = ScriptedRelay::Reply;
    enum Ahead { Admitted, AdmittedThenEnded, NeverAdmitted, AdmittedButTimePasses };
    enum Carrier { New, First, OpenedAhead };
    const char* const www = "http://www.relay.test/2";
    const struct Row {
        const char* name;
        Reply reply;
        Ahead ahead;
        const char* second;
        Carrier carrier;
    } rows[] = {
        { "ahead, admitted", Reply::CloseAndEnd, Admitted, www, OpenedAhead },
        { "ahead, ended by the relay", Reply::CloseAndEnd, AdmittedThenEnded, www, New },
        { "ahead, never admitted (refused, or its proof lost)", Reply::CloseAndEnd, NeverAdmitted, www, New },
        { "ahead, outlived its time", Reply::CloseAndEnd, AdmittedButTimePasses, www, New },
        { "kept open", Reply::KeepOpen, NeverAdmitted, www, First },
        { "answered with the close option", Reply::CloseOption, NeverAdmitted, www, New },
        { "ended by the relay while idle", Reply::KeepOpenThenEnd, NeverAdmitted, www, New },
        { "another host of the same relay", Reply::KeepOpen, NeverAdmitted, "http://img.relay.test/2", New },
        { "ended by the relay at the next request", Reply::EndsTheNext, NeverAdmitted, www, First },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedRelay relay;
        relay.reply = row.reply;
        RunningProxy running;
        running.proxy.config.kcpEnabled = true;
        running.proxy.config.kcpHostMapping = { { ".relay.test", relay.address() } };
        running.proxy.config.connectTimeout = 2;
        ASSERT_TRUE(running.start(""));
        auto first = std::async(std::launch::async, [&] { return running.get("http://www.relay.test/1"); });
        uint32_t ahead = 0;
        ASSERT_TRUE(relay.serveUntil([&] {
            for (const auto& [conv, c] : relay.conversations)
                ahead = c.ahead ? conv : ahead;
            return relay.requests.size() == 1 && ahead != 0;
        }));
        EXPECT_NE(relay.requests[0], ahead);
        if (row.ahead != NeverAdmitted)
            relay.send(ahead, KcpSegment::WindowTell, 0); // its full window: the address is proven
        if (row.ahead == AdmittedThenEnded)
            relay.push(ahead, {});
        ASSERT_TRUE(relay.serveUntil(
            [&] { return first.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        EXPECT_NE(first.get().find("\r\n\r\nok"), std::string::npos);
        relay.serveUntil([] { return false; }, 200); // the window report and ends arrive
        if (row.ahead == AdmittedButTimePasses)
            Clock::advanceTicksForTest(NcmProxyRemoteManager::KcpAheadLifeMs);
        // A reused conversation needs no Open answered: none is.
        relay.answerOpens = row.carrier == New || row.reply == Reply::EndsTheNext;
        auto second = std::async(std::launch::async, [&] { return running.get(row.second); });
        ASSERT_TRUE(relay.serveUntil(
            [&] { return second.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        EXPECT_NE(second.get().find("\r\n\r\nok"), std::string::npos);
        ASSERT_GE(relay.requests.size(), 2u);
        const uint32_t carrier = relay.requests[1];
        EXPECT_EQ(carrier == relay.requests[0], row.carrier == First);
        EXPECT_EQ(carrier == ahead, row.carrier == OpenedAhead);
        EXPECT_EQ(relay.conversations[carrier].ahead, row.carrier == OpenedAhead);
        // One ended as the request arrived sends it once more, on a conversation of its own.
        EXPECT_EQ(relay.requests.size(), row.reply == Reply::EndsTheNext ? 3u : 2u);
    }
}
