#pragma once

#include <string>
#include <vector>

namespace kestro_test {

// A throwaway certificate authority in a temporary folder (removed with the
// object): it issues broker and client certificates for TLS tests, including
// the broken ones (expired, wrong name, self-signed) a client must refuse.
class TestPki
{
public:
    struct Request
    {
        std::string commonName = "kestro test";
        std::vector<std::string> dnsNames;
        std::vector<std::string> ipAddresses;
        // Validity relative to now, in days.
        int validFromDays = -1;
        int validUntilDays = 30;
        // Signed by its own key instead of this CA's.
        bool selfSigned = false;
        // Non-empty: the key file is encrypted with it.
        std::string keyPassphrase = {};
    };
    struct Issued
    {
        std::string certFile;
        std::string keyFile;
    };

    // name: the CA's common name, also the prefix of its files.
    explicit TestPki(const std::string& name = "kestro test CA");
    ~TestPki();
    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    const std::string& caFile() const { return m_ca.certFile; }
    const std::string& directory() const { return m_directory; }

    // Files named after fileStem in the PKI's folder, readable by everyone
    // (the broker drops root before it reads them). Empty paths on failure.
    Issued issue(const std::string& fileStem, const Request& request);
    // A certificate for the loopback broker: localhost and 127.0.0.1.
    Issued issueLoopbackBroker(const std::string& fileStem);

private:
    std::string m_directory;
    std::string m_error;
    Issued m_ca;
    int m_serial = 1;
};

} // namespace kestro_test
