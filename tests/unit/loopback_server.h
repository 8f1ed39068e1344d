// An HTTP server inside the test process, on a free loopback port: records every request
// as it arrived (request line, headers, body bytes) and answers with scripted raw replies,
// so tests can see exactly what a client sent and feed it exactly what a server might.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct LoopbackRequest {
    std::string method;
    std::string target;  // raw request target, as sent
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
    std::string body;  // Content-Length bytes, or the de-chunked body
    std::string head;  // request line and headers, byte for byte, up to the blank line

    // Value of the first header of that name (case-insensitive); empty when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

// The bytes a connection answers with, and what happens afterwards.
struct LoopbackReply {
    std::string bytes;
    bool close = false;    // close the connection after sending (else keep it alive)
    unsigned delayMs = 0;  // wait before answering
    bool silent = false;   // never answer; the connection stays open until the client leaves

    // Status line, the headers given ("Name: value" lines without CR LF), Content-Length
    // of `body` and the body (left out in answers to HEAD).
    static LoopbackReply Status(int code, const std::string& body = std::string(),
                                const std::vector<std::string>& headers = {});
    static LoopbackReply Ok(const std::string& body) { return Status(200, body); }
    // Announces `announced` bytes, sends only `body`, then closes the connection.
    static LoopbackReply Short(size_t announced, const std::string& body);
    // 200 with the body in chunks of `chunkSize` bytes and no Content-Length.
    static LoopbackReply Chunked(const std::string& body, size_t chunkSize = 3);
    // Closes the connection without answering.
    static LoopbackReply Drop();
    // Exactly these bytes, then the connection is closed.
    static LoopbackReply Raw(const std::string& bytes);
    // Accepts the request and never answers (a hung server or a half-open connection).
    static LoopbackReply Silent();
};

class LoopbackServer {
public:
    using Handler = std::function<LoopbackReply(const LoopbackRequest&)>;

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }

    // Answers for one request target. With several replies the n-th request of that target
    // gets the n-th reply and the last one repeats. Targets without an answer get 404.
    void Answer(const std::string& target, LoopbackReply reply);
    void Answer(const std::string& target, std::vector<LoopbackReply> replies);
    // Decides every answer instead of the per-target table.
    void SetHandler(Handler handler);

    // Everything recorded so far, in order of arrival.
    std::vector<LoopbackRequest> Requests() const;
    size_t RequestCount() const;
    // Number of TCP connections accepted so far.
    int Connections() const;

private:
    void AcceptLoop();
    // Sockets are kept as their integer value, so that this header doesn't depend on
    // including winsock2.h before windows.h.
    using Socket = uintptr_t;
    void Serve(Socket client);
    LoopbackReply ReplyFor(const LoopbackRequest& request);

    Socket listener_ = ~Socket(0);
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<LoopbackReply>> answers_;
    std::map<std::string, size_t> served_;
    Handler handler_;
    std::vector<LoopbackRequest> requests_;
    std::vector<std::thread> workers_;
    int connections_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
};

// The multipart body the upload client sends for a file: what the server must receive.
std::string ExpectedUpload(const std::string& localPath, const std::string& content);
