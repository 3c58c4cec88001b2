#include "test_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qai::test {
namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string percentDecode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

NameValues parseQuery(std::string_view query) {
    NameValues params;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        if (eq == std::string_view::npos) {
            params.emplace_back(percentDecode(pair), "");
        } else {
            params.emplace_back(percentDecode(pair.substr(0, eq)), percentDecode(pair.substr(eq + 1)));
        }
    }
    return params;
}

// Self-signed certificate for 127.0.0.1 and localhost, made once per process
// and removed at exit.
struct Certificate {
    std::filesystem::path dir;
    std::string certPath;
    std::string keyPath;

    Certificate() {
        char pattern[] = "/tmp/qai-test-cert-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        certPath = (dir / "cert.pem").string();
        keyPath = (dir / "key.pem").string();

        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
        std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
        if (!key || !cert) throw std::runtime_error("OpenSSL allocation failed");
        X509_set_version(cert.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(std::time(nullptr)));
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
        X509_set_pubkey(cert.get(), key.get());
        X509_NAME* name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert.get(), name);

        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
        const std::pair<int, const char*> extensions[] = {
            {NID_basic_constraints, "critical,CA:TRUE"},
            {NID_key_usage, "critical,digitalSignature,keyCertSign"},
            {NID_ext_key_usage, "serverAuth"},
            {NID_subject_key_identifier, "hash"},
            {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
        };
        for (const auto& [nid, value] : extensions) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
            if (extension == nullptr) throw std::runtime_error("certificate extension failed");
            X509_add_ext(cert.get(), extension, -1);
            X509_EXTENSION_free(extension);
        }
        if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) throw std::runtime_error("X509_sign failed");

        writePem(certPath, [&](FILE* file) { return PEM_write_X509(file, cert.get()); });
        writePem(keyPath, [&](FILE* file) {
            return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        });
    }

    ~Certificate() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    template <class Writer>
    static void writePem(const std::string& path, Writer writer) {
        FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr) throw std::runtime_error("cannot write " + path);
        const int ok = writer(file);
        std::fclose(file);
        if (ok == 0) throw std::runtime_error("PEM write failed for " + path);
    }
};

const Certificate& certificate() {
    static const Certificate instance;
    return instance;
}

/// Shuts down every connected socket of this process whose local port is
/// port: the server's side of its client connections.
void shutDownAcceptedConnections(int port) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLength = sizeof(local);
        socklen_t peerLength = sizeof(peer);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            local.ss_family != AF_INET ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
            continue;
        }
        if (ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port) == port) ::shutdown(fd, SHUT_RDWR);
    }
}

}  // namespace

std::string ReceivedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (sameName(key, name)) return value;
    }
    return "";
}

size_t ReceivedRequest::headerCount(std::string_view name) const {
    return static_cast<size_t>(std::count_if(headers.begin(), headers.end(),
                                             [&](const auto& entry) { return sameName(entry.first, name); }));
}

std::string ReceivedRequest::queryParam(std::string_view name) const {
    for (const auto& [key, value] : queryParams) {
        if (key == name) return value;
    }
    return "";
}

TestServer::TestServer(Mode mode) : mode_(mode) {
    if (mode == Mode::Tls) {
        const Certificate& cert = certificate();
        server_ = std::make_unique<httplib::SSLServer>(cert.certPath.c_str(), cert.keyPath.c_str());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    if (!server_->is_valid()) throw std::runtime_error("test server could not be set up");

    // Pooled client connections must survive a whole test.
    server_->set_keep_alive_max_count(1000);
    server_->set_keep_alive_timeout(30);
    // Replies go out in several writes; without this, Nagle's algorithm and
    // the client's delayed ACK add 40 ms to each exchange.
    server_->set_tcp_nodelay(true);

    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Patch(".*", handler);
    server_->Delete(".*", handler);
    server_->Options(".*", handler);

    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("test server could not bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TestServer::~TestServer() {
    stopping_ = true;
    server_->stop();
    // The server's workers wait up to the keep-alive time-out on idle client
    // connections; ending those connections lets the join return at once.
    shutDownAcceptedConnections(port_);
    if (thread_.joinable()) thread_.join();
}

void TestServer::reply(const std::string& method, const std::string& path, int status, std::string body) {
    CannedReply canned;
    canned.status = status;
    canned.body = std::move(body);
    reply(method, path, std::move(canned));
}

void TestServer::reply(const std::string& method, const std::string& path, CannedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[{method, path}] = std::move(reply);
}

void TestServer::replyOnce(const std::string& method, const std::string& path, CannedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    onceRoutes_[{method, path}].push_back(std::move(reply));
}

std::vector<ReceivedRequest> TestServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

ReceivedRequest TestServer::lastRequest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.empty() ? ReceivedRequest() : received_.back();
}

size_t TestServer::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

void TestServer::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    remotePorts_.clear();
}

size_t TestServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return remotePorts_.size();
}

std::string TestServer::url() const {
    return std::string(mode_ == Mode::Tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string TestServer::caFile() const { return mode_ == Mode::Tls ? certificate().certPath : std::string(); }

void TestServer::handle(const httplib::Request& request, httplib::Response& response) {
    ReceivedRequest record;
    record.method = request.method;
    record.path = request.path;
    record.target = request.target;
    const size_t question = request.target.find('?');
    if (question != std::string::npos) record.rawQuery = request.target.substr(question + 1);
    record.queryParams = parseQuery(record.rawQuery);
    for (const auto& [name, value] : request.headers) {
        // The server adds these itself; they did not come over the wire.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
            continue;
        record.headers.emplace_back(name, value);
    }
    record.body = request.body;
    record.remotePort = request.remote_port;

    CannedReply canned;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(remotePorts_.begin(), remotePorts_.end(), request.remote_port) == remotePorts_.end()) {
            remotePorts_.push_back(request.remote_port);
        }
        received_.push_back(std::move(record));
        const std::pair<std::string, std::string> key{request.method, request.path};
        if (auto once = onceRoutes_.find(key); once != onceRoutes_.end() && !once->second.empty()) {
            canned = once->second.front();
            once->second.erase(once->second.begin());
            found = true;
        } else if (auto route = routes_.find(key); route != routes_.end()) {
            canned = route->second;
            found = true;
        }
    }
    if (!found) {
        canned.status = 404;
        canned.body =
            R"({"error":{"message":"No route for )" + request.method + " " + request.path + R"("}})";
    }
    sendReply(canned, response);
}

void TestServer::sendReply(const CannedReply& reply, httplib::Response& response) {
    const auto until = std::chrono::steady_clock::now() + reply.delay;
    while (!stopping_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) response.set_header(name, value);
    const size_t keep = std::min(reply.dropAfterBytes.value_or(reply.body.size()), reply.body.size());
    auto body = std::make_shared<std::string>(reply.body);
    if (reply.chunked) {
        const bool drop = reply.dropAfterBytes.has_value();
        response.set_chunked_content_provider(
            reply.contentType, [body, keep, drop](size_t offset, httplib::DataSink& sink) {
                if (offset < keep) {
                    sink.write(body->data() + offset, std::min<size_t>(keep - offset, 4096));
                    return true;
                }
                if (drop) return false;
                sink.done();
                return true;
            });
        return;
    }
    if (!reply.dropAfterBytes) {
        response.set_content(reply.body, reply.contentType);
        return;
    }
    response.set_content_provider(body->size(), reply.contentType,
                                  [body, keep](size_t offset, size_t length, httplib::DataSink& sink) {
                                      if (offset >= keep) return false;  // closes the connection
                                      sink.write(body->data() + offset, std::min(length, keep - offset));
                                      return true;
                                  });
}

std::string readFixture(const std::string& relativePath) {
    const std::filesystem::path path = std::filesystem::path(QAI_TEST_FIXTURES) / relativePath;
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read fixture " + path.string());
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

int unusedLocalPort() {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    int port = -1;
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(sock);
    if (port <= 0) throw std::runtime_error("could not find a free port");
    return port;
}

StalledListener::StalledListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::listen(listener_, 0) != 0) {
        if (listener_ >= 0) ::close(listener_);
        throw std::runtime_error("could not set up a stalled listener");
    }
    port_ = ntohs(address.sin_port);
    // Fill the accept queue; later handshakes are then dropped by the kernel.
    for (int i = 0; i < 3; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (filler < 0) continue;
        (void)::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fillers_.push_back(filler);
    }
}

StalledListener::~StalledListener() {
    for (int filler : fillers_) ::close(filler);
    ::close(listener_);
}

}  // namespace qai::test
