// TLS for LoopbackHttpServer: a self-signed certificate for localhost and 127.0.0.1, made
// when the test runs, written as PEM for the client to trust. Link OpenSSL::SSL.
#pragma once

#include "support/HeadHttpServer.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace lumavane::test {

class SelfSignedCertificate {
public:
    // The PEM file goes into `folder`.
    explicit SelfSignedCertificate(const std::filesystem::path& folder)
        : pemPath_(folder / "loopback-cert.pem") {
        std::signal(SIGPIPE, SIG_IGN); // SSL_write to a client that has hung up
        key_ = EVP_EC_gen("P-256");
        certificate_ = X509_new();
        if (!key_ || !certificate_) throw std::runtime_error("cannot create a test key");
        X509_set_version(certificate_, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate_), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate_), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate_), 24 * 3600);
        X509_set_pubkey(certificate_, key_);
        X509_NAME* name = X509_get_subject_name(certificate_);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
        X509_set_issuer_name(certificate_, name);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, certificate_, certificate_, nullptr, nullptr, 0);
        for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"},
                                         std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
            X509_add_ext(certificate_, extension, -1);
            X509_EXTENSION_free(extension);
        }
        if (X509_sign(certificate_, key_, EVP_sha256()) == 0) throw std::runtime_error("cannot sign");

        FILE* file = std::fopen(pemPath_.c_str(), "w");
        if (!file) throw std::runtime_error("cannot write the certificate");
        PEM_write_X509(file, certificate_);
        std::fclose(file);

        context_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(context_, certificate_);
        SSL_CTX_use_PrivateKey(context_, key_);
    }
    ~SelfSignedCertificate() {
        SSL_CTX_free(context_);
        X509_free(certificate_);
        EVP_PKEY_free(key_);
    }
    SelfSignedCertificate(const SelfSignedCertificate&) = delete;
    SelfSignedCertificate& operator=(const SelfSignedCertificate&) = delete;

    const std::filesystem::path& pemPath() const { return pemPath_; }

    // For LoopbackHttpServer: a TLS connection over the accepted socket, or null when the
    // handshake fails (a client that does not trust us hangs up).
    LoopbackHttpServer::Wrap wrap() const {
        SSL_CTX* context = context_;
        return [context](int fd) -> std::unique_ptr<LoopbackConnection> {
            auto connection = std::make_unique<TlsConnection>(context, fd);
            if (!connection->ready()) return nullptr;
            return connection;
        };
    }

private:
    class TlsConnection final : public LoopbackConnection {
    public:
        TlsConnection(SSL_CTX* context, int fd) : fd_(fd), ssl_(SSL_new(context)) {
            SSL_set_fd(ssl_, fd_);
            ready_ = SSL_accept(ssl_) == 1;
        }
        ~TlsConnection() override {
            if (ready_) SSL_shutdown(ssl_);
            SSL_free(ssl_);
            close(fd_);
        }
        bool ready() const { return ready_; }
        long read(char* buffer, std::size_t size) override {
            return SSL_read(ssl_, buffer, static_cast<int>(size));
        }
        void write(const std::string& bytes) override {
            if (!bytes.empty()) SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
        }

    private:
        int fd_;
        SSL* ssl_;
        bool ready_ = false;
    };

    std::filesystem::path pemPath_;
    EVP_PKEY* key_ = nullptr;
    X509* certificate_ = nullptr;
    SSL_CTX* context_ = nullptr;
};

} // namespace lumavane::test
