#include "test_server.h"

#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "test_socket.h"

namespace qai::test {
namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Self-signed CA certificate for the names in subjectAltName (and the first
// as common name), made once per process and removed at exit.
struct Certificate {
    std::filesystem::path dir;
    std::string certPath;
    std::string keyPath;

    Certificate(const char* commonName, const char* subjectAltName) {
        // A new directory of its own under the system's temporary folder.
        std::random_device random;
        for (int attempt = 0; dir.empty() && attempt < 100; ++attempt) {
            std::filesystem::path candidate =
                std::filesystem::temp_directory_path() / ("qai-test-cert-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) dir = candidate;
        }
        if (dir.empty()) throw std::runtime_error("cannot make a directory for the test certificate");
        certPath = (dir / "cert.pem").string();
        keyPath = (dir / "key.pem").string();

        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
        std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
        if (!key || !cert) throw std::runtime_error("OpenSSL allocation failed");
        X509* x = cert.get();
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), static_cast<long>(std::time(nullptr)));
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 7L * 24 * 3600);
        X509_set_pubkey(x, key.get());
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
        X509_set_issuer_name(x, name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
        const std::pair<int, const char*> extensions[] = {
            {NID_basic_constraints, "critical,CA:TRUE"},
            {NID_subject_alt_name, subjectAltName},
        };
        for (const auto& [nid, value] : extensions) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
            if (extension == nullptr) throw std::runtime_error("certificate extension failed");
            X509_add_ext(x, extension, -1);
            X509_EXTENSION_free(extension);
        }
        if (X509_sign(x, key.get(), EVP_sha256()) == 0) throw std::runtime_error("X509_sign failed");

        auto close = [](FILE* file) { std::fclose(file); };
        std::unique_ptr<FILE, decltype(close)> certFile(std::fopen(certPath.c_str(), "w"), close);
        std::unique_ptr<FILE, decltype(close)> keyFile(std::fopen(keyPath.c_str(), "w"), close);
        const bool written =
            certFile && keyFile && PEM_write_X509(certFile.get(), x) &&
            PEM_write_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        if (!written) throw std::runtime_error("cannot write the test certificate");
    }

    ~Certificate() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

const Certificate& certificate(TestServer::Mode mode) {
    if (mode == TestServer::Mode::TlsForOtherName) {
        static const Certificate other("other.invalid", "DNS:other.invalid");
        return other;
    }
    static const Certificate instance("127.0.0.1", "IP:127.0.0.1,DNS:localhost");
    return instance;
}

void sendReply(const CannedReply& reply, const std::atomic<bool>& stopping, httplib::Response& response) {
    const auto until = std::chrono::steady_clock::now() + reply.delay;
    while (!stopping && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) response.set_header(name, value);
    if (!reply.pieces.empty()) {
        auto pieces = std::make_shared<std::vector<ReplyPiece>>(reply.pieces);
        auto next = std::make_shared<size_t>(0);
        const bool cut = reply.cutBeforeEnd;
        response.set_chunked_content_provider(
            reply.contentType, [pieces, next, cut, &stopping](size_t, httplib::DataSink& sink) {
                if (*next == pieces->size()) {
                    if (cut) return false;  // closes the connection without the final chunk
                    sink.done();
                    return true;
                }
                const ReplyPiece& piece = (*pieces)[(*next)++];
                const auto sendAt = std::chrono::steady_clock::now() + piece.delay;
                while (!stopping && std::chrono::steady_clock::now() < sendAt) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                if (stopping) return false;
                return piece.text.empty() || sink.write(piece.text.data(), piece.text.size());
            });
        return;
    }
    if (!reply.chunked && !reply.dropAfterBytes) {
        response.set_content(reply.body, reply.contentType);
        return;
    }
    auto body = std::make_shared<std::string>(reply.body);
    if (reply.chunked) {
        response.set_chunked_content_provider("application/json", [body](size_t, httplib::DataSink& sink) {
            sink.write(body->data(), body->size());
            sink.done();
            return true;
        });
        return;
    }
    const size_t keep = std::min(*reply.dropAfterBytes, body->size());
    response.set_content_provider(body->size(), "application/json",
                                  [body, keep](size_t offset, size_t length, httplib::DataSink& sink) {
                                      if (offset >= keep) return false;  // closes the connection
                                      sink.write(body->data() + offset, std::min(length, keep - offset));
                                      return true;
                                  });
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
    if (mode != Mode::Plain) {
        server_ = std::make_unique<httplib::SSLServer>(certificate(mode).certPath.c_str(),
                                                       certificate(mode).keyPath.c_str());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    if (!server_->is_valid()) throw std::runtime_error("test server could not be set up");
    // Pooled client connections must survive a whole test, load runs of
    // thousands of requests included. Replies go out in
    // several writes; without TCP_NODELAY, Nagle's algorithm and the client's
    // delayed ACK add 40 ms to each exchange.
    server_->set_keep_alive_max_count(1000000).set_keep_alive_timeout(30).set_tcp_nodelay(true);
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    };
    server_->Get(".*", handler).Post(".*", handler);

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
    net::shutDownConnectionsOnLocalPort(port_);
    if (thread_.joinable()) thread_.join();
}

std::string TestServer::url() const {
    return std::string(mode_ != Mode::Plain ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string TestServer::caFile() const {
    return mode_ != Mode::Plain ? certificate(mode_).certPath : std::string();
}

void TestServer::handle(const httplib::Request& request, httplib::Response& response) {
    ReceivedRequest record{request.method, request.path, request.target, "", {}, {}, request.body};
    const size_t question = request.target.find('?');
    if (question != std::string::npos) record.rawQuery = request.target.substr(question + 1);
    record.queryParams.assign(request.params.begin(), request.params.end());
    for (const auto& [name, value] : request.headers) {
        // The server adds REMOTE_ADDR and the like itself; they did not come over the wire.
        if (name.rfind("REMOTE_", 0) != 0 && name.rfind("LOCAL_", 0) != 0)
            record.headers.emplace_back(name, value);
    }

    CannedReply canned(404, R"({"error":{"message":"No route for )" + request.path + R"("}})");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        remotePorts_.insert(request.remote_port);
        received_.push_back(std::move(record));
        if (received_.size() > keepLatest_)
            received_.erase(received_.begin(), received_.end() - static_cast<std::ptrdiff_t>(keepLatest_));
        const std::pair<std::string, std::string> key{request.method, request.path};
        if (auto once = onceRoutes_.find(key); once != onceRoutes_.end() && !once->second.empty()) {
            canned = once->second.front();
            once->second.erase(once->second.begin());
        } else if (auto route = routes_.find(key); route != routes_.end()) {
            canned = route->second;
        }
    }
    sendReply(canned, stopping_, response);
}

std::string readFixture(const std::string& relativePath) {
    std::ifstream file(std::filesystem::path(QAI_TEST_FIXTURES) / relativePath, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read fixture " + relativePath);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

int unusedLocalPort() { return net::unusedLocalPort(); }

}  // namespace qai::test
