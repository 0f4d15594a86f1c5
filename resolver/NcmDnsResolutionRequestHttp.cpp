#include "resolver/NcmDnsResolutionRequestHttp.h"

#include "base/Logger.h"
#include "base/StringUtil.h"
#include "resolver/LocalIpStack.h"
#include "resolver/NcmDnsResolutionTask.h"
#include "resolver/ResolverHost.h"
#include "transport/Nat64Address.h"

#include <event2/buffer.h>
#include <event2/event.h>

#include <cstdlib>
#include <cstring>

namespace {

const char Magic[] = "HTTPDNS\n";
constexpr size_t MagicLength = sizeof Magic - 1;
// Far above any real answer; keeps a misbehaving server from filling memory.
constexpr ev_ssize_t MaxReplyBodyBytes = 64 * 1024;
constexpr ev_ssize_t MaxReplyHeaderBytes = 16 * 1024;

} // namespace

NcmDnsResolutionRequestHttp::NcmDnsResolutionRequestHttp(NcmDnsResolutionTask* owner, std::string serverText)
    : task(owner)
    , server(std::move(serverText))
{
}

NcmDnsResolutionRequestHttp::~NcmDnsResolutionRequestHttp()
{
    release();
}

void NcmDnsResolutionRequestHttp::release()
{
    // Freeing the connection drops a pending request without calling its
    // handler, so the over-timer (the handler's argument) can go after it.
    pendingRequest = nullptr;
    connection.reset();
    overTimer.reset();
}

std::string NcmDnsResolutionRequestHttp::encodeUri(const std::string& text)
{
    char* encoded = evhttp_uriencode(text.data(), static_cast<ev_ssize_t>(text.size()), 0);
    if (!encoded)
        return std::string();
    std::string out(encoded);
    std::free(encoded);
    return out;
}

std::string NcmDnsResolutionRequestHttp::requestBody(
    const std::string& host, const std::string& uid, const std::string& known)
{
    return "q=" + encodeUri(host) + "&uid=" + encodeUri(uid) + "&output=text&known=" + encodeUri(known);
}

bool NcmDnsResolutionRequestHttp::parseReply(const std::string& body, std::vector<std::string>& out)
{
    out.clear();
    if (body.size() < MagicLength || body.compare(0, MagicLength, Magic) != 0)
        return false;
    // Records by ';', fields by ','; only a record's first field counts.
    for (const std::string& record : StringUtil::split(body.substr(MagicLength), ';')) {
        const std::string first = record.substr(0, record.find(','));
        if (StringUtil::isDottedQuad(first))
            out.push_back(first);
    }
    return true;
}

bool NcmDnsResolutionRequestHttp::doQuery()
{
    logDnsResolution.debug("doQuery http task=%p req=%p", ptr(task), ptr(this));
    const ResolverHost& service = *task->service();
    const ProxyConfig& config = service.config;

    std::string address = server;
    int port = 80;
    const size_t colon = server.find(':');
    if (colon != std::string::npos) {
        address = server.substr(0, colon);
        port = StringUtil::parseInt(server.substr(colon + 1));
    }
    if (port <= 0 || port > 65535)
        return false;
    std::string target;
    bool ipv6 = false;
    if (!nat64AddressFor(service.ipStack, address, target, ipv6))
        return false;

    connection.reset(evhttp_connection_base_new(
        service.eventBase.get(), nullptr, target.c_str(), static_cast<unsigned short>(port)));
    if (!connection)
        return false;
    evhttp_connection_set_timeout(connection.get(), config.resolveTimeoutHttp);
    evhttp_connection_set_max_body_size(connection.get(), MaxReplyBodyBytes);
    evhttp_connection_set_max_headers_size(connection.get(), MaxReplyHeaderBytes);

    overTimer.reset(
        event_new(service.eventBase.get(), -1, 0, &NcmDnsResolutionRequestHttp::evhttp_over, this));
    timeval wait { config.resolveTimeoutHttp > 0 ? config.resolveTimeoutHttp : 0, 0 };
    if (!overTimer || event_add(overTimer.get(), &wait) != 0) {
        release();
        return false;
    }

    evhttp_request* request = evhttp_request_new(&NcmDnsResolutionRequestHttp::evhttp_cb, overTimer.get());
    if (!request) {
        release();
        return false;
    }
    evkeyvalq* headers = evhttp_request_get_output_headers(request);
    evhttp_add_header(headers, "Content-Type", "x-www-form-urlencoded");
    evhttp_add_header(headers, "Host", server.c_str());

    const std::string known = task->knownAddresses();
    const std::string body = requestBody(task->host, config.uid, known);
    evbuffer_add(evhttp_request_get_output_buffer(request), body.data(), body.size());

    // Set first: a connection refused on the spot calls evhttp_cb from
    // inside evhttp_make_request.
    pendingRequest = request;
    if (evhttp_make_request(connection.get(), request, EVHTTP_REQ_POST, "/dns") != 0) {
        // libevent frees the request on some of its failure paths and not on
        // others; leaking it is safer than freeing it twice.
        logDnsResolution.error("SOMETHING WRONG! can not send http dns request to %s", server.c_str());
        release();
        return false;
    }
    logDnsResolution.debug("doQuery http: server=%s:%d hostName=%s, knownAddresses=%s", target.c_str(), port,
        task->host.c_str(), known.c_str());
    return true;
}

void NcmDnsResolutionRequestHttp::evhttp_cb(evhttp_request* response, void* arg)
{
    auto* timer = static_cast<event*>(arg);
    auto* self = static_cast<NcmDnsResolutionRequestHttp*>(event_get_callback_arg(timer));
    // libevent frees the request after this handler.
    self->pendingRequest = nullptr;
    self->readResponse(response);
    logDnsResolution.debug(
        "http over %s with %d ip", self->task->host.c_str(), static_cast<int>(self->ips.size()));
    // The request ends from the loop, not from inside libevent's handler:
    // ending it frees this connection.
    event_active(timer, 0, 0);
}

void NcmDnsResolutionRequestHttp::readResponse(evhttp_request* response)
{
    if (!response) {
        logDnsResolution.error("evhttp_cb response error code: %d", -1);
        return;
    }
    const int code = evhttp_request_get_response_code(response);
    if (code != 200) {
        logDnsResolution.error("evhttp_cb response error code: %d", code);
        return;
    }
    evbuffer* input = evhttp_request_get_input_buffer(response);
    const size_t length = evbuffer_get_length(input);
    logDnsResolution.debug("evhttp_cb: %s, bufSize=%d", task->host.c_str(), static_cast<int>(length));
    std::string body(length, '\0');
    if (length > 0)
        evbuffer_copyout(input, &body[0], length);
    if (length < MagicLength || body.compare(0, MagicLength, Magic) != 0) {
        logDnsResolution.error("evhttp_cb response is invalid");
        return;
    }
    logDnsResolution.debug("evhttp_cb response text: %s", body.c_str() + MagicLength);
    parseReply(body, ips);
    success = !ips.empty();
}

void NcmDnsResolutionRequestHttp::evhttp_over(evutil_socket_t, short what, void* arg)
{
    auto* self = static_cast<NcmDnsResolutionRequestHttp*>(arg);
    // The task may release this request, and the client the task, before
    // this handler returns.
    std::shared_ptr<NcmDnsResolutionRequestHttp> keepRequest = self->shared_from_this();
    std::shared_ptr<NcmDnsResolutionTask> keepTask = self->task->shared_from_this();
    logDnsResolution.debug("evhttp_over: %s, what = %d", self->task->host.c_str(), static_cast<int>(what));
    if (what != 0)
        self->task->httpTimedOut += 1;
    self->task->onHttpResponseOver(self);
}
