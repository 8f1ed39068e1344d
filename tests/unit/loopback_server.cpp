#include <winsock2.h>
#include <ws2tcpip.h>

#include "loopback_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool SendAll(SOCKET s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = ::send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Buffered reads from one connection.
class Reader {
public:
    Reader(SOCKET s, const std::atomic<bool>& stopping) : s_(s), stopping_(stopping) {}

    // Everything up to and including the first blank line; false when the peer closed.
    bool ReadHead(std::string& head) {
        for (;;) {
            const size_t end = buffer_.find("\r\n\r\n");
            if (end != std::string::npos) {
                head = buffer_.substr(0, end + 4);
                buffer_.erase(0, end + 4);
                return true;
            }
            if (!Fill()) return false;
        }
    }
    bool ReadExactly(size_t count, std::string& out) {
        while (buffer_.size() < count)
            if (!Fill()) return false;
        out.append(buffer_, 0, count);
        buffer_.erase(0, count);
        return true;
    }
    bool ReadLine(std::string& line) {
        for (;;) {
            const size_t end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return true;
            }
            if (!Fill()) return false;
        }
    }

private:
    // Waits in short slices: a client may keep an idle connection open for a minute, and
    // the server must still stop at once.
    bool Fill() {
        for (;;) {
            if (stopping_) return false;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(s_, &readable);
            timeval slice{0, 50 * 1000};
            const int ready = ::select(0, &readable, nullptr, nullptr, &slice);
            if (ready < 0) return false;
            if (ready > 0) break;
        }
        char chunk[16384];
        const int n = ::recv(s_, chunk, sizeof(chunk), 0);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }
    SOCKET s_;
    const std::atomic<bool>& stopping_;
    std::string buffer_;
};

bool ParseHead(const std::string& head, LoopbackRequest& request) {
    request.head = head;
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t sp1 = requestLine.find(' ');
    const size_t sp2 = requestLine.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) return false;
    request.method = requestLine.substr(0, sp1);
    request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    request.version = requestLine.substr(sp2 + 1);
    size_t pos = lineEnd + 2;
    while (pos < head.size()) {
        lineEnd = head.find("\r\n", pos);
        if (lineEnd == std::string::npos || lineEnd == pos) break;
        const std::string line = head.substr(pos, lineEnd - pos);
        const size_t colon = line.find(':');
        if (colon != std::string::npos)
            request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
        pos = lineEnd + 2;
    }
    return true;
}

bool ReadBody(Reader& reader, LoopbackRequest& request) {
    if (Lower(request.Header("Transfer-Encoding")) == "chunked") {
        for (;;) {
            std::string line;
            if (!reader.ReadLine(line)) return false;
            const size_t size = std::strtoul(line.c_str(), nullptr, 16);
            if (size == 0) {
                std::string trailer;
                do {
                    if (!reader.ReadLine(trailer)) return false;
                } while (!trailer.empty());
                return true;
            }
            if (!reader.ReadExactly(size, request.body)) return false;
            std::string crlf;
            if (!reader.ReadExactly(2, crlf)) return false;
        }
    }
    const std::string length = request.Header("Content-Length");
    if (length.empty()) return true;
    return reader.ReadExactly(std::strtoul(length.c_str(), nullptr, 10), request.body);
}

}  // namespace

std::string LoopbackRequest::Header(const std::string& name) const {
    const std::string wanted = Lower(name);
    for (const auto& header : headers)
        if (Lower(header.first) == wanted) return header.second;
    return std::string();
}

bool LoopbackRequest::HasHeader(const std::string& name) const {
    const std::string wanted = Lower(name);
    for (const auto& header : headers)
        if (Lower(header.first) == wanted) return true;
    return false;
}

LoopbackReply LoopbackReply::Status(int code, const std::string& body,
                                    const std::vector<std::string>& headers) {
    LoopbackReply reply;
    char line[64];
    std::snprintf(line, sizeof(line), "HTTP/1.1 %d Scripted\r\n", code);
    reply.bytes = line;
    for (const std::string& header : headers) reply.bytes += header + "\r\n";
    reply.bytes += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return reply;
}

LoopbackReply LoopbackReply::Short(size_t announced, const std::string& body) {
    LoopbackReply reply;
    reply.bytes =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(announced) + "\r\n\r\n" + body;
    reply.close = true;
    return reply;
}

LoopbackReply LoopbackReply::Chunked(const std::string& body, size_t chunkSize) {
    LoopbackReply reply;
    reply.bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t pos = 0; pos < body.size(); pos += chunkSize) {
        const std::string chunk = body.substr(pos, chunkSize);
        char size[32];
        std::snprintf(size, sizeof(size), "%zx\r\n", chunk.size());
        reply.bytes += size + chunk + "\r\n";
    }
    reply.bytes += "0\r\n\r\n";
    return reply;
}

LoopbackReply LoopbackReply::Drop() {
    LoopbackReply reply;
    reply.close = true;
    return reply;
}

LoopbackReply LoopbackReply::Silent() {
    LoopbackReply reply;
    reply.silent = true;
    return reply;
}

LoopbackReply LoopbackReply::Raw(const std::string& bytes) {
    LoopbackReply reply;
    reply.bytes = bytes;
    reply.close = true;
    return reply;
}

LoopbackServer::LoopbackServer() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int size = sizeof(address);
    if (listener_ == INVALID_SOCKET ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, SOMAXCONN) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::fprintf(stderr, "loopback server: can't listen (%d)\n", ::WSAGetLastError());
        std::abort();
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    acceptor_.join();
    ::closesocket(listener_);
    for (std::thread& worker : workers_) worker.join();
    ::WSACleanup();
}

void LoopbackServer::Answer(const std::string& target, LoopbackReply reply) {
    Answer(target, std::vector<LoopbackReply>{std::move(reply)});
}

void LoopbackServer::Answer(const std::string& target, std::vector<LoopbackReply> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[target] = std::move(replies);
    served_[target] = 0;
}

void LoopbackServer::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<LoopbackRequest> LoopbackServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t LoopbackServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

int LoopbackServer::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

void LoopbackServer::AcceptLoop() {
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval slice{0, 50 * 1000};
        const int ready = ::select(0, &readable, nullptr, nullptr, &slice);
        if (stopping_ || ready < 0) return;
        if (ready == 0) continue;
        const SOCKET client = ::accept(listener_, nullptr, nullptr);
        std::lock_guard<std::mutex> lock(mutex_);
        if (client == INVALID_SOCKET || stopping_) {
            if (client != INVALID_SOCKET) ::closesocket(client);
            return;
        }
        ++connections_;
        workers_.emplace_back([this, client] { Serve(client); });
    }
}

LoopbackReply LoopbackServer::ReplyFor(const LoopbackRequest& request) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        if (!handler_) {
            const auto it = answers_.find(request.target);
            if (it == answers_.end() || it->second.empty()) return LoopbackReply::Status(404);
            size_t& served = served_[request.target];
            const LoopbackReply reply = it->second[std::min(served, it->second.size() - 1)];
            ++served;
            return reply;
        }
        handler = handler_;
    }
    return handler(request);
}

void LoopbackServer::Serve(Socket client) {
    Reader reader(client, stopping_);
    for (;;) {
        std::string head;
        if (!reader.ReadHead(head)) break;
        LoopbackRequest request;
        if (!ParseHead(head, request) || !ReadBody(reader, request)) break;
        LoopbackReply reply = ReplyFor(request);
        if (reply.silent) {
            // Holds the connection without a word until the client closes it or the
            // server stops.
            char sink[512];
            while (!stopping_) {
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(client, &readable);
                timeval slice{0, 50 * 1000};
                const int ready = ::select(0, &readable, nullptr, nullptr, &slice);
                if (ready < 0) break;
                if (ready > 0 && ::recv(client, sink, sizeof(sink), 0) <= 0) break;
            }
            break;
        }
        if (reply.delayMs) ::Sleep(reply.delayMs);
        std::string bytes = reply.bytes;
        // An answer to HEAD carries the headers only.
        if (request.method == "HEAD") {
            const size_t end = bytes.find("\r\n\r\n");
            if (end != std::string::npos) bytes.resize(end + 4);
        }
        if (!SendAll(client, bytes) || reply.close) break;
    }
    ::shutdown(client, SD_SEND);
    ::closesocket(client);
}

std::string ExpectedUpload(const std::string& localPath, const std::string& content) {
    const std::string b = "-----AJHFOUEIHDJISO";
    return "--" + b + "\r\n" + "Content-Disposition: form-data; name=\"impfile\"; filename=\"" +
           localPath + "\"\r\n" + "Content-Transfer-Encoding: binary\r\n\r\n" + content + "\r\n--" +
           b + "\r\n" + "Content-Disposition: form-data; name=\"submitToUpload\"\r\n\r\n" +
           "1\r\n--" + b + "--\r\n";
}
