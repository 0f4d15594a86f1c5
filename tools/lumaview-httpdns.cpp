// A small HTTP-DNS service: answers the proxy's POST "/dns" from a hosts
// file and, for names the file does not hold, from an upstream DNS server.
#include "base/EventPtr.h"
#include "base/GlobalInit.h"
#include "base/Logger.h"
#include "base/SocketUtil.h"
#include "base/StringUtil.h"
#include "resolver/DnsMessage.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/listener.h>
#include <event2/util.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

Logger logHttpDns("HttpDns", &rootLogger);

const char ReplyMagic[] = "HTTPDNS\n";
constexpr size_t MaxBodyBytes = 16 * 1024;
constexpr size_t MaxHeaderBytes = 8 * 1024;
constexpr int ResolverTimeoutSeconds = 2;
constexpr size_t MaxNameLength = 253;
constexpr int DefaultRequestSeconds = 15;
constexpr size_t DefaultMaxConnections = 256;
// One address (one proxy, or a few behind one NAT) needs few lookups at a
// time; without a share of its own it could hold every connection slot.
constexpr size_t DefaultMaxPerPeer = 32;
constexpr int SweepMs = 100;

void usage(FILE* out)
{
    std::fprintf(out,
        "Usage: lumaview-httpdns --listen ADDR:PORT --hosts FILE [--resolver ADDR[:PORT]]\n"
        "                        [--reuse-port]\n"
        "\n"
        "Answers the proxy's HTTP-DNS requests (POST /dns with the form fields q, uid,\n"
        "output=text and known) with \"HTTPDNS\\n\" followed by addresses separated by ';'.\n"
        "\n"
        "  --listen ADDR:PORT       address to serve on; port 0 picks a free port.\n"
        "  --reuse-port             share ADDR:PORT with other instances started with it\n"
        "                           by the same user (SO_REUSEPORT): the kernel spreads\n"
        "                           new connections among them.\n"
        "  --hosts FILE             lines \"name address address ...\"; '#' starts a comment.\n"
        "  --resolver ADDR[:PORT]   DNS server asked over UDP (port 53 by default, %d s\n"
        "                           time-out) for names the hosts file does not hold.\n"
        "  --request-seconds N      a connection must deliver each whole request within\n"
        "                           N seconds (default %d), else it is closed.\n"
        "  --max-connections N      accept no more than N connections at once (default\n"
        "                           %d); others wait in the listen queue.\n"
        "  --max-per-peer N         connections from one client address at once\n"
        "                           (default %d); one more is closed at once.\n"
        "  --help                   show this text.\n"
        "\n"
        "Prints \"port = N\" on standard output once it listens (N is -1 when it could\n"
        "not bind, and the program then exits with status 1), logs every request with\n"
        "the addresses the client says DNS gave it on standard error, and runs until\n"
        "SIGINT or SIGTERM, then exits 0. Bad requests get 400, 404, 405 or 413.\n",
        ResolverTimeoutSeconds, DefaultRequestSeconds, static_cast<int>(DefaultMaxConnections),
        static_cast<int>(DefaultMaxPerPeer));
}

// Names compare without letter case and without a final dot.
std::string canonicalName(std::string name)
{
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    return StringUtil::toLower(name);
}

// Letters, digits, '-' and '_' in labels of 1 to 63 bytes, 253 in all.
bool validName(const std::string& name)
{
    if (name.empty() || name.size() > MaxNameLength)
        return false;
    size_t label = 0;
    for (char c : name) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '_';
        if (!ok || ++label > 63)
            return false;
    }
    return label > 0;
}

bool validIpv4(const std::string& text)
{
    in_addr address;
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// Client-supplied text made safe for one log line.
std::string printable(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n')
            out += " | ";
        else if (u < 0x20 || u == 0x7f)
            out += '?';
        else
            out += c;
    }
    return out;
}

class HostsTable {
public:
    bool load(const std::string& path, std::string& error)
    {
        std::ifstream in(path);
        if (!in) {
            error = "can not read " + path;
            return false;
        }
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            const size_t hash = line.find('#');
            if (hash != std::string::npos)
                line.erase(hash);
            std::istringstream fields(line);
            std::string name;
            if (!(fields >> name))
                continue;
            const std::string where = path + ":" + std::to_string(number) + ": ";
            if (!validName(canonicalName(name))) {
                error = where + "not a host name: " + name;
                return false;
            }
            std::vector<std::string>& addresses = m_table[canonicalName(name)];
            std::string address;
            bool any = false;
            while (fields >> address) {
                if (!validIpv4(address)) {
                    error = where + "not an IPv4 address: " + address;
                    return false;
                }
                addresses.push_back(address);
                any = true;
            }
            if (!any) {
                error = where + "no address for " + name;
                return false;
            }
        }
        return true;
    }

    const std::vector<std::string>* find(const std::string& name) const
    {
        auto it = m_table.find(canonicalName(name));
        return it == m_table.end() ? nullptr : &it->second;
    }

    size_t size() const { return m_table.size(); }

private:
    std::unordered_map<std::string, std::vector<std::string>> m_table;
};

// The form fields of one request, decoded.
struct DnsQuestion {
    std::string q;
    std::string uid;
    std::string output;
    std::string known;
    bool haveQ = false;
};

std::string formDecode(const std::string& text)
{
    size_t size = 0;
    char* decoded = evhttp_uridecode(text.c_str(), 1, &size);
    if (!decoded)
        return std::string();
    std::string out(decoded, size);
    std::free(decoded);
    return out;
}

DnsQuestion parseForm(const std::string& body)
{
    DnsQuestion question;
    for (const std::string& pair : StringUtil::split(body, '&')) {
        const size_t eq = pair.find('=');
        const std::string key = formDecode(pair.substr(0, eq));
        const std::string value = eq == std::string::npos ? std::string() : formDecode(pair.substr(eq + 1));
        if (key == "q") {
            question.q = value;
            question.haveQ = true;
        } else if (key == "uid") {
            question.uid = value;
        } else if (key == "output") {
            question.output = value;
        } else if (key == "known") {
            question.known = value;
        }
    }
    return question;
}

class Server;

// One question forwarded to the upstream resolver while the client waits.
struct Lookup {
    Server* server = nullptr;
    uint64_t id = 0;
    evhttp_request* request = nullptr; // null once the client went away
    std::string name;
    std::vector<uint8_t> query;
    UniqueSocket fd;
    EventPtr event; // declared after fd: freed before the descriptor closes

    ~Lookup()
    {
        if (request)
            evhttp_connection_set_closecb(evhttp_request_get_connection(request), nullptr, nullptr);
    }
};

class Server {
public:
    Server(event_base* base, HostsTable hosts)
        : m_base(base)
        , m_hosts(std::move(hosts))
    {
    }
    ~Server()
    {
        // Lookups first: they unhook themselves from connections that
        // freeing the HTTP server would close.
        m_lookups.clear();
        m_admit.reset();
        m_sweep.reset();
        m_http.reset();
        for (Tracked& tracked : m_connections)
            bufferevent_decref(tracked.bev);
    }

    void setLimits(int requestSeconds, size_t maxConnections, size_t maxPerPeer)
    {
        m_requestSeconds = requestSeconds;
        m_maxConnections = maxConnections;
        m_maxPerPeer = maxPerPeer;
    }

    void setResolver(const sockaddr_storage& address, int length)
    {
        m_resolver = address;
        m_resolverLength = length;
        m_haveResolver = true;
    }

    // Returns the bound port, or -1.
    int listen(const std::string& address, uint16_t port, bool reusePort)
    {
        m_http.reset(evhttp_new(m_base));
        if (!m_http)
            return -1;
        evhttp_set_max_body_size(m_http.get(), MaxBodyBytes);
        evhttp_set_max_headers_size(m_http.get(), MaxHeaderBytes);
        evhttp_set_timeout(m_http.get(), 10);
        // Every method reaches the handler, which answers 405 itself.
        evhttp_set_allowed_methods(m_http.get(),
            EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD | EVHTTP_REQ_PUT | EVHTTP_REQ_DELETE
                | EVHTTP_REQ_OPTIONS | EVHTTP_REQ_TRACE | EVHTTP_REQ_CONNECT | EVHTTP_REQ_PATCH);
        evhttp_set_gencb(m_http.get(), &Server::onRequest, this);
        evhttp_set_bevcb(m_http.get(), &Server::onNewConnection, this);
        m_admit.reset(event_new(m_base, -1, 0, &Server::onAdmit, this));
        m_sweep.reset(event_new(m_base, -1, EV_PERSIST, &Server::onSweep, this));
        const timeval sweep { 0, SweepMs * 1000 };
        event_add(m_sweep.get(), &sweep);
        evhttp_bound_socket* bound = reusePort
            ? bindSharedPort(address, port)
            : evhttp_bind_socket_with_handle(m_http.get(), address.c_str(), port);
        if (!bound)
            return -1;
        // Without an error handler a failing accept (out of descriptors) is
        // retried at once, forever, with a log line each time.
        m_listener = evhttp_bound_socket_get_listener(bound);
        m_acceptRetry.reset(event_new(m_base, -1, 0, &Server::onAcceptRetry, this));
        s_server = this;
        evconnlistener_set_error_cb(m_listener, &Server::onAcceptError);
        return boundPort(evhttp_bound_socket_get_fd(bound));
    }

private:
    // The HTTP server's own bind can not set SO_REUSEPORT: bind the listener
    // here and hand it over; the server then owns it.
    evhttp_bound_socket* bindSharedPort(const std::string& address, uint16_t port)
    {
        sockaddr_storage where {};
        socklen_t length = 0;
        const bool v6 = address.find(':') != std::string::npos;
        if (!parseSocketAddress(
                (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port), where, length))
            return nullptr;
        evconnlistener* listener = evconnlistener_new_bind(m_base, nullptr, nullptr,
            LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE | LEV_OPT_REUSEABLE_PORT, 128,
            reinterpret_cast<sockaddr*>(&where), static_cast<int>(length));
        if (!listener)
            return nullptr;
        evhttp_bound_socket* bound = evhttp_bind_listener(m_http.get(), listener);
        if (!bound)
            evconnlistener_free(listener);
        return bound;
    }

    static void onRequest(evhttp_request* request, void* arg) { static_cast<Server*>(arg)->handle(request); }

    // The listener's error handler gets the HTTP server's argument, not ours.
    static Server* s_server;

    static void onAcceptError(evconnlistener* listener, void*)
    {
        const int error = EVUTIL_SOCKET_ERROR();
        Server* self = s_server;
        evconnlistener_disable(listener);
        if (!self->m_acceptPaused) {
            self->m_acceptPaused = true;
            logHttpDns.error("accept paused: error %d (%s)", error, evutil_socket_error_to_string(error));
        }
        const timeval retry { 0, 500 * 1000 };
        event_add(self->m_acceptRetry.get(), &retry);
    }

    static void onAcceptRetry(evutil_socket_t, short, void* arg)
    {
        auto* self = static_cast<Server*>(arg);
        if (!self->m_capped)
            evconnlistener_enable(self->m_listener);
    }

    // Every accepted connection is tracked through its bufferevent, with a
    // reference of ours, so that a slow client can be cut off at its
    // deadline and the number of connections is known.
    struct Tracked {
        bufferevent* bev;
        std::chrono::steady_clock::time_point deadline;
        bool cut;
        bool admitted; // its peer is known and was under its share
        std::string peer; // the client's address, without the port
    };

    static bufferevent* onNewConnection(event_base* base, void* arg)
    {
        auto* self = static_cast<Server*>(arg);
        bufferevent* bev = bufferevent_socket_new(base, -1, BEV_OPT_CLOSE_ON_FREE);
        if (!bev)
            return nullptr;
        bufferevent_incref(bev);
        self->m_connections.push_back(
            { bev, std::chrono::steady_clock::now() + std::chrono::seconds(self->m_requestSeconds), false,
                false, {} });
        self->updateAccepting();
        // The socket is attached after this returns: its peer is looked at
        // once the accept has finished.
        event_active(self->m_admit.get(), EV_TIMEOUT, 0);
        return bev;
    }

    static bool alive(const Tracked& tracked)
    {
        bufferevent_event_cb eventcb = nullptr;
        bufferevent_getcb(tracked.bev, nullptr, nullptr, &eventcb, nullptr);
        return eventcb != nullptr;
    }

    static std::string peerOf(evutil_socket_t fd)
    {
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        char text[INET6_ADDRSTRLEN] = "";
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return std::string();
        if (address.ss_family == AF_INET)
            evutil_inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr, text, sizeof text);
        else if (address.ss_family == AF_INET6)
            evutil_inet_ntop(
                AF_INET6, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
        return text;
    }

    static void onAdmit(evutil_socket_t, short, void* arg) { static_cast<Server*>(arg)->admit(); }

    // A connection beyond its peer's share is closed before it is read.
    void admit()
    {
        std::vector<bufferevent*> refused;
        for (Tracked& tracked : m_connections) {
            if (tracked.admitted || tracked.cut || !alive(tracked))
                continue;
            const evutil_socket_t fd = bufferevent_getfd(tracked.bev);
            if (fd < 0)
                continue;
            tracked.peer = peerOf(fd);
            size_t fromPeer = 0;
            for (const Tracked& other : m_connections) {
                if (other.admitted && !other.cut && other.peer == tracked.peer && alive(other))
                    ++fromPeer;
            }
            if (fromPeer >= m_maxPerPeer) {
                tracked.cut = true;
                refused.push_back(tracked.bev);
                m_refused += 1;
                const auto now = std::chrono::steady_clock::now();
                // Once a second at most: a flood must not flood the log.
                if (m_refused == 1 || now - m_lastRefusalLog >= std::chrono::seconds(1)) {
                    m_lastRefusalLog = now;
                    logHttpDns.warn("%s holds %zu connections: one more closed (%llu so far)",
                        tracked.peer.c_str(), fromPeer, static_cast<unsigned long long>(m_refused));
                }
            } else {
                tracked.admitted = true;
            }
        }
        // As if the client had hung up: the HTTP server frees the connection.
        for (bufferevent* bev : refused)
            bufferevent_trigger_event(bev, BEV_EVENT_READING | BEV_EVENT_EOF, 0);
    }

    void restartDeadline(evhttp_request* request)
    {
        evhttp_connection* connection = evhttp_request_get_connection(request);
        bufferevent* bev = connection ? evhttp_connection_get_bufferevent(connection) : nullptr;
        for (Tracked& tracked : m_connections) {
            if (tracked.bev == bev)
                tracked.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_requestSeconds);
        }
    }

    static void onSweep(evutil_socket_t, short, void* arg) { static_cast<Server*>(arg)->sweep(); }

    void sweep()
    {
        const auto now = std::chrono::steady_clock::now();
        std::vector<Tracked> kept;
        std::vector<bufferevent*> late;
        for (Tracked& tracked : m_connections) {
            bufferevent_event_cb eventcb = nullptr;
            bufferevent_getcb(tracked.bev, nullptr, nullptr, &eventcb, nullptr);
            if (!eventcb) {
                // The HTTP server has let it go: ours was the last reference.
                bufferevent_decref(tracked.bev);
                continue;
            }
            if (now >= tracked.deadline && !tracked.cut) {
                tracked.cut = true;
                late.push_back(tracked.bev);
            }
            kept.push_back(tracked);
        }
        m_connections = std::move(kept);
        admit(); // any whose socket came late
        // As if the client had hung up: the HTTP server frees the connection.
        for (bufferevent* bev : late) {
            logHttpDns.warn("a request took longer than %d s: connection closed", m_requestSeconds);
            bufferevent_trigger_event(bev, BEV_EVENT_READING | BEV_EVENT_EOF, 0);
        }
        updateAccepting();
    }

    void updateAccepting()
    {
        const bool full = m_connections.size() >= m_maxConnections;
        if (full == m_capped || !m_listener)
            return;
        m_capped = full;
        if (full)
            evconnlistener_disable(m_listener);
        else if (!evtimer_pending(m_acceptRetry.get(), nullptr))
            evconnlistener_enable(m_listener);
    }

    static void sendError(evhttp_request* request, int code, const char* reason, const std::string& text)
    {
        evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", "text/plain");
        EvBufferPtr body(evbuffer_new());
        evbuffer_add_printf(body.get(), "%s\n", text.c_str());
        evhttp_send_reply(request, code, reason, body.get());
    }

    void handle(evhttp_request* request)
    {
        if (m_acceptPaused) {
            m_acceptPaused = false; // a request came in: accepting works again
            logHttpDns.info("accepting again");
        }
        restartDeadline(request); // whole: the lookup and the reply get their own time
        char* host = nullptr;
        uint16_t port = 0;
        evhttp_connection_get_peer(evhttp_request_get_connection(request), &host, &port);
        const std::string peer = std::string(host ? host : "?") + ":" + std::to_string(port);

        const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
        const char* path = uri ? evhttp_uri_get_path(uri) : nullptr;
        if (!path || std::strcmp(path, "/dns") != 0) {
            logHttpDns.warn("request from %s for %s: not found", peer.c_str(),
                printable(evhttp_request_get_uri(request) ? evhttp_request_get_uri(request) : "").c_str());
            sendError(request, HTTP_NOTFOUND, "Not Found", "only /dns is served here");
            return;
        }
        if (evhttp_request_get_command(request) != EVHTTP_REQ_POST) {
            logHttpDns.warn("request from %s: method not allowed", peer.c_str());
            evhttp_add_header(evhttp_request_get_output_headers(request), "Allow", "POST");
            sendError(request, 405, "Method Not Allowed", "use POST");
            return;
        }
        evbuffer* input = evhttp_request_get_input_buffer(request);
        const size_t length = evbuffer_get_length(input);
        if (length > MaxBodyBytes) {
            sendError(request, 413, "Payload Too Large", "request body too large");
            return;
        }
        std::string body(length, '\0');
        if (length > 0)
            evbuffer_copyout(input, &body[0], length);
        const DnsQuestion question = parseForm(body);
        if (!question.haveQ || question.q.empty()) {
            logHttpDns.warn("request from %s: no name asked", peer.c_str());
            sendError(request, HTTP_BADREQUEST, "Bad Request", "missing q");
            return;
        }
        if (!validName(canonicalName(question.q))) {
            logHttpDns.warn("request from %s: bad name %s", peer.c_str(), printable(question.q).c_str());
            sendError(request, HTTP_BADREQUEST, "Bad Request", "q is not a host name");
            return;
        }
        if (!question.output.empty() && question.output != "text") {
            sendError(request, HTTP_BADREQUEST, "Bad Request", "only output=text is supported");
            return;
        }
        logHttpDns.info("request from %s q=%s uid=%s known=%s", peer.c_str(), printable(question.q).c_str(),
            printable(question.uid).c_str(), printable(question.known).c_str());

        if (const std::vector<std::string>* addresses = m_hosts.find(question.q)) {
            reply(request, question.q, *addresses, "hosts file");
            return;
        }
        if (!m_haveResolver) {
            reply(request, question.q, {}, "unknown name");
            return;
        }
        startLookup(request, question.q);
    }

    static void reply(evhttp_request* request, const std::string& name,
        const std::vector<std::string>& addresses, const char* source)
    {
        const std::string text = StringUtil::join(addresses, ";");
        logHttpDns.info("answer %s = %s (%s)", printable(name).c_str(), text.c_str(), source);
        evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", "text/plain");
        EvBufferPtr body(evbuffer_new());
        evbuffer_add(body.get(), ReplyMagic, sizeof ReplyMagic - 1);
        evbuffer_add(body.get(), text.data(), text.size());
        evhttp_send_reply(request, HTTP_OK, "OK", body.get());
    }

    void startLookup(evhttp_request* request, const std::string& name)
    {
        auto lookup = std::make_unique<Lookup>();
        lookup->server = this;
        lookup->id = ++m_nextLookup;
        lookup->name = name;
        if (!ncm_dns_build_query(name.c_str(), lookup->query, true)) {
            reply(request, name, {}, "name not encodable");
            return;
        }
        lookup->fd.reset(socket(m_resolver.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!lookup->fd.valid()
            || connect(lookup->fd.get(), reinterpret_cast<const sockaddr*>(&m_resolver),
                   static_cast<socklen_t>(m_resolverLength))
                != 0
            || send(lookup->fd.get(), lookup->query.data() + 2, lookup->query.size() - 2, MSG_NOSIGNAL)
                != static_cast<ssize_t>(lookup->query.size() - 2)) {
            logHttpDns.warn("can not ask the resolver for %s: %s", name.c_str(), std::strerror(errno));
            reply(request, name, {}, "resolver unreachable");
            return;
        }
        lookup->event.reset(event_new(
            m_base, lookup->fd.get(), EV_READ | EV_PERSIST, &Server::onResolverEvent, lookup.get()));
        const timeval wait { ResolverTimeoutSeconds, 0 };
        if (!lookup->event || event_add(lookup->event.get(), &wait) != 0) {
            reply(request, name, {}, "internal error");
            return;
        }
        lookup->request = request;
        evhttp_connection_set_closecb(
            evhttp_request_get_connection(request), &Server::onClientClosed, lookup.get());
        m_lookups.emplace(lookup->id, std::move(lookup));
    }

    // The client went away while its question was with the resolver.
    static void onClientClosed(evhttp_connection*, void* arg)
    {
        auto* lookup = static_cast<Lookup*>(arg);
        lookup->request = nullptr;
        logHttpDns.info("client left before the answer for %s", printable(lookup->name).c_str());
        lookup->server->m_lookups.erase(lookup->id);
    }

    static void onResolverEvent(evutil_socket_t fd, short what, void* arg)
    {
        auto* lookup = static_cast<Lookup*>(arg);
        Server* self = lookup->server;
        std::vector<std::string> addresses;
        const char* source = "resolver";
        if (what & EV_TIMEOUT) {
            source = "resolver timed out";
        } else {
            uint8_t datagram[4096];
            const ssize_t n = recv(fd, datagram, sizeof datagram, 0);
            if (n < 0 && isTransient(errno))
                return;
            if (n < 0) {
                source = "resolver refused";
            } else if (ncm_dns_parse_response(lookup->query.data() + 2, lookup->query.size() - 2, datagram,
                           static_cast<size_t>(n), addresses, true)
                != 0) {
                // Not a reply to this question: keep waiting for one.
                logHttpDns.warn("ignoring a reply that does not answer %s", lookup->name.c_str());
                return;
            }
        }
        evhttp_request* request = lookup->request;
        evhttp_connection_set_closecb(evhttp_request_get_connection(request), nullptr, nullptr);
        lookup->request = nullptr;
        const std::string name = lookup->name;
        self->m_lookups.erase(lookup->id); // frees this event; nothing of it is touched below
        reply(request, name, addresses, source);
    }

    event_base* m_base;
    HostsTable m_hosts;
    evconnlistener* m_listener = nullptr; // the HTTP server's
    EventPtr m_acceptRetry;
    bool m_acceptPaused = false;
    bool m_capped = false;
    int m_requestSeconds = DefaultRequestSeconds;
    size_t m_maxConnections = DefaultMaxConnections;
    size_t m_maxPerPeer = DefaultMaxPerPeer;
    uint64_t m_refused = 0;
    std::chrono::steady_clock::time_point m_lastRefusalLog;
    EventPtr m_admit;
    std::vector<Tracked> m_connections;
    EventPtr m_sweep;
    HttpPtr m_http;
    sockaddr_storage m_resolver {};
    int m_resolverLength = 0;
    bool m_haveResolver = false;
    uint64_t m_nextLookup = 0;
    std::map<uint64_t, std::unique_ptr<Lookup>> m_lookups;
};

Server* Server::s_server = nullptr;

void onStopSignal(evutil_socket_t, short, void* arg)
{
    event_base_loopexit(static_cast<event_base*>(arg), nullptr);
}

// ADDR:PORT or [ADDR6]:PORT; port 0 asks for any free one (which
// evutil_parse_sockaddr_port refuses, so the port is read here).
bool splitListen(const std::string& text, std::string& address, uint16_t& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size())
        return false;
    std::string host = text.substr(0, colon);
    const std::string portText = text.substr(colon + 1);
    if (portText.find_first_not_of("0123456789") != std::string::npos || portText.size() > 5)
        return false;
    const long number = std::strtol(portText.c_str(), nullptr, 10);
    if (number > 65535)
        return false;
    uint8_t bytes[16];
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (evutil_inet_pton(AF_INET6, host.c_str(), bytes) != 1)
            return false;
    } else if (evutil_inet_pton(AF_INET, host.c_str(), bytes) != 1) {
        return false;
    }
    address = host;
    port = static_cast<uint16_t>(number);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string listenText;
    std::string hostsPath;
    std::string resolverText;
    int requestSeconds = DefaultRequestSeconds;
    int maxConnections = static_cast<int>(DefaultMaxConnections);
    int maxPerPeer = static_cast<int>(DefaultMaxPerPeer);
    bool reusePort = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if ((arg == "--request-seconds" || arg == "--max-connections" || arg == "--max-per-peer")
            && i + 1 < argc) {
            const int value = std::atoi(argv[++i]);
            if (value < 1) {
                std::fprintf(stderr, "lumaview-httpdns: %s wants a positive number\n", arg.c_str());
                return 2;
            }
            (arg == "--request-seconds"          ? requestSeconds
                    : arg == "--max-connections" ? maxConnections
                                                 : maxPerPeer)
                = value;
            continue;
        }
        if (arg == "--reuse-port") {
            reusePort = true;
            continue;
        }
        if ((arg == "--listen" || arg == "--hosts" || arg == "--resolver") && i + 1 < argc) {
            (arg == "--listen" ? listenText : arg == "--hosts" ? hostsPath : resolverText) = argv[++i];
            continue;
        }
        std::fprintf(stderr, "lumaview-httpdns: unknown or incomplete argument: %s\n\n", argv[i]);
        usage(stderr);
        return 2;
    }
    if (listenText.empty() || hostsPath.empty()) {
        std::fprintf(stderr, "lumaview-httpdns: --listen and --hosts are required\n\n");
        usage(stderr);
        return 2;
    }
    std::string listenAddress;
    uint16_t listenPort = 0;
    if (!splitListen(listenText, listenAddress, listenPort)) {
        std::fprintf(stderr, "lumaview-httpdns: --listen wants ADDR:PORT, got %s\n", listenText.c_str());
        return 2;
    }

    HostsTable hosts;
    std::string error;
    if (!hosts.load(hostsPath, error)) {
        std::fprintf(stderr, "lumaview-httpdns: %s\n", error.c_str());
        return 2;
    }

    sockaddr_storage resolver {};
    int resolverLength = sizeof resolver;
    if (!resolverText.empty()) {
        if (evutil_parse_sockaddr_port(
                resolverText.c_str(), reinterpret_cast<sockaddr*>(&resolver), &resolverLength)
            != 0) {
            std::fprintf(
                stderr, "lumaview-httpdns: --resolver wants ADDR[:PORT], got %s\n", resolverText.c_str());
            return 2;
        }
        // No port given: the DNS port.
        if (resolver.ss_family == AF_INET && reinterpret_cast<sockaddr_in*>(&resolver)->sin_port == 0)
            reinterpret_cast<sockaddr_in*>(&resolver)->sin_port = htons(53);
        if (resolver.ss_family == AF_INET6 && reinterpret_cast<sockaddr_in6*>(&resolver)->sin6_port == 0)
            reinterpret_cast<sockaddr_in6*>(&resolver)->sin6_port = htons(53);
    }

    std::signal(SIGPIPE, SIG_IGN);
    rootLogger.setOutput(stderrLogOutput);
    proxyGlobalInit();

    EventBasePtr base(event_base_new());
    if (!base) {
        std::fprintf(stderr, "lumaview-httpdns: can not create an event base\n");
        return 1;
    }
    const int names = static_cast<int>(hosts.size());
    int port = -1;
    {
        Server server(base.get(), std::move(hosts));
        if (!resolverText.empty())
            server.setResolver(resolver, resolverLength);
        server.setLimits(
            requestSeconds, static_cast<size_t>(maxConnections), static_cast<size_t>(maxPerPeer));
        port = server.listen(listenAddress, listenPort, reusePort);
        std::printf("port = %d\n", port);
        std::fflush(stdout);
        if (port == -1) {
            logHttpDns.error("can not listen on %s", listenText.c_str());
            return 1;
        }
        logHttpDns.info("serving /dns on %s:%d, %d names from %s%s%s", listenAddress.c_str(), port, names,
            hostsPath.c_str(), resolverText.empty() ? "" : ", resolver ", resolverText.c_str());

        EventPtr sigint(evsignal_new(base.get(), SIGINT, &onStopSignal, base.get()));
        EventPtr sigterm(evsignal_new(base.get(), SIGTERM, &onStopSignal, base.get()));
        if (!sigint || !sigterm || event_add(sigint.get(), nullptr) != 0
            || event_add(sigterm.get(), nullptr) != 0) {
            logHttpDns.error("can not watch the stop signals");
            return 1;
        }
        event_base_dispatch(base.get());
        logHttpDns.info("stopping");
    }
    return 0;
}
