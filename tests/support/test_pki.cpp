#include "tests/support/test_pki.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

namespace kestro_test {

namespace {

struct KeyDeleter
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateDeleter
{
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using CertificatePtr = std::unique_ptr<X509, CertificateDeleter>;

constexpr long kSecondsPerDay = 24L * 60 * 60;

bool addExtension(X509* certificate, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension)
        return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

CertificatePtr makeCertificate(EVP_PKEY* key, const TestPki::Request& request, int serial, X509* issuer,
                               EVP_PKEY* issuerKey, bool isAuthority)
{
    CertificatePtr certificate(X509_new());
    X509* cert = certificate.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), request.validFromDays * kSecondsPerDay);
    X509_gmtime_adj(X509_getm_notAfter(cert), request.validUntilDays * kSecondsPerDay);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(request.commonName.c_str()), -1, -1, 0);
    X509* signer = issuer ? issuer : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));

    std::string alternativeNames;
    for (const std::string& dns : request.dnsNames)
        alternativeNames += (alternativeNames.empty() ? "DNS:" : ",DNS:") + dns;
    for (const std::string& ip : request.ipAddresses)
        alternativeNames += (alternativeNames.empty() ? "IP:" : ",IP:") + ip;
    const bool extended =
        addExtension(cert, signer, NID_basic_constraints, isAuthority ? "critical,CA:TRUE" : "CA:FALSE") &&
        addExtension(cert, signer, NID_subject_key_identifier, "hash") &&
        (!isAuthority || addExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign")) &&
        (alternativeNames.empty() || addExtension(cert, signer, NID_subject_alt_name, alternativeNames));
    if (!extended || X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256()) == 0)
        return nullptr;
    return certificate;
}

template <typename Write>
bool writePem(const std::string& path, Write write)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        return false;
    const bool written = write(file) == 1;
    const bool closed = std::fclose(file) == 0;
    ::chmod(path.c_str(), 0644);
    return written && closed;
}

} // namespace

TestPki::TestPki(const std::string& name)
{
    char pattern[] = "/tmp/kestro-pki-XXXXXX";
    if (!::mkdtemp(pattern)) {
        m_error = "cannot create a temporary folder";
        return;
    }
    m_directory = pattern;
    ::chmod(m_directory.c_str(), 0755);
    Request authority;
    authority.commonName = name;
    m_ca = issue("ca", authority);
}

TestPki::~TestPki()
{
    if (!m_directory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
}

TestPki::Issued TestPki::issue(const std::string& fileStem, const Request& request)
{
    const bool isAuthority = m_ca.certFile.empty();
    KeyPtr key(EVP_EC_gen("P-256"));
    CertificatePtr caCertificate;
    KeyPtr caKey;
    if (!isAuthority && !request.selfSigned) {
        FILE* certFile = std::fopen(m_ca.certFile.c_str(), "r");
        FILE* keyFile = std::fopen(m_ca.keyFile.c_str(), "r");
        if (certFile)
            caCertificate.reset(PEM_read_X509(certFile, nullptr, nullptr, nullptr));
        if (keyFile)
            caKey.reset(PEM_read_PrivateKey(keyFile, nullptr, nullptr, nullptr));
        if (certFile)
            std::fclose(certFile);
        if (keyFile)
            std::fclose(keyFile);
    }
    CertificatePtr certificate;
    if (key && (isAuthority || request.selfSigned || (caCertificate && caKey)))
        certificate = makeCertificate(key.get(), request, ++m_serial, caCertificate.get(), caKey.get(), isAuthority);

    Issued issued{m_directory + "/" + fileStem + ".crt", m_directory + "/" + fileStem + ".key"};
    if (!certificate ||
        !writePem(issued.certFile, [&](FILE* file) { return PEM_write_X509(file, certificate.get()); }) ||
        !writePem(issued.keyFile, [&](FILE* file) {
            const std::string& passphrase = request.keyPassphrase;
            return PEM_write_PrivateKey(file, key.get(), passphrase.empty() ? nullptr : EVP_aes_256_cbc(),
                                        reinterpret_cast<const unsigned char*>(passphrase.data()),
                                        static_cast<int>(passphrase.size()), nullptr, nullptr);
        })) {
        m_error = "cannot issue the certificate " + fileStem;
        return {};
    }
    return issued;
}

TestPki::Issued TestPki::issueLoopbackBroker(const std::string& fileStem)
{
    Request request;
    request.commonName = "localhost";
    request.dnsNames = {"localhost"};
    request.ipAddresses = {"127.0.0.1"};
    return issue(fileStem, request);
}

} // namespace kestro_test
