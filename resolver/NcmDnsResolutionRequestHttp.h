#pragma once
#include "base/EventPtr.h"

#include <event2/http.h>
#include <event2/util.h>

#include <memory>
#include <string>
#include <vector>

class NcmDnsResolutionTask;

// One HTTP-DNS server asked for the task's host: POST "/dns" with the host,
// the uid and what DNS answered; the reply is "HTTPDNS\n" followed by
// records "addr,field...;addr,...". Ends exactly once, through its
// over-timer: either activated by the response handler or expired.
class NcmDnsResolutionRequestHttp : public std::enable_shared_from_this<NcmDnsResolutionRequestHttp> {
public:
    NcmDnsResolutionRequestHttp(NcmDnsResolutionTask* task, std::string server);
    ~NcmDnsResolutionRequestHttp();
    NcmDnsResolutionRequestHttp(const NcmDnsResolutionRequestHttp&) = delete;
    NcmDnsResolutionRequestHttp& operator=(const NcmDnsResolutionRequestHttp&) = delete;

    // Sends the request. Returns false when it could not be sent; the
    // request then holds nothing open.
    bool doQuery();
    // Abandons the exchange: forgets the request, frees the connection and
    // the over-timer. No handler of this request runs afterwards.
    void release();

    // The body sent to the server.
    static std::string requestBody(const std::string& host, const std::string& uid, const std::string& known);
    // Every byte but ASCII letters, digits and "-._~" as %XX.
    static std::string encodeUri(const std::string& text);
    // Addresses of a reply body that follows the magic; false when the body
    // does not start with it.
    static bool parseReply(const std::string& body, std::vector<std::string>& ips);

    NcmDnsResolutionTask* const task;
    const std::string protocol = "http";
    const std::string server;
    HttpConnectionPtr connection;
    evhttp_request* pendingRequest = nullptr; // libevent's; never freed here
    EventPtr overTimer;
    std::vector<std::string> ips;
    bool success = false;
    // Set once the task has counted this request.
    bool over = false;

private:
    static void evhttp_cb(evhttp_request* response, void* arg);
    static void evhttp_over(evutil_socket_t fd, short what, void* arg);
    void readResponse(evhttp_request* response);
};
