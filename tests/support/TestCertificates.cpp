#include "support/TestCertificates.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace tovrin::test {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void require(bool ok, const char* what) {
  if (!ok)
    throw std::runtime_error(std::string("TestCertificates: ") + what);
}

Key newKey() {
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  require(key != nullptr, "key generation failed");
  return key;
}

/// A certificate for `key` named `commonName`, signed by `issuerKey` as `issuer` (self-signed
/// when `issuer` is null), carrying the extensions given as (NID, OpenSSL config value) pairs.
Cert newCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                    long serial, std::initializer_list<std::pair<int, const char*>> extensions) {
  Cert cert(X509_new());
  require(cert != nullptr, "X509_new failed");
  X509* x = cert.get();
  require(X509_set_version(x, 2) == 1, "X509_set_version failed");
  require(ASN1_INTEGER_set(X509_get_serialNumber(x), serial) == 1, "serial failed");
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 7L * 24 * 3600);
  require(X509_set_pubkey(x, key) == 1, "X509_set_pubkey failed");
  X509_NAME* name = X509_get_subject_name(x);
  require(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                     0) == 1,
          "subject name failed");
  require(X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name) == 1,
          "issuer name failed");
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    require(extension != nullptr && X509_add_ext(x, extension.get(), -1) == 1,
            "certificate extension failed");
  }
  require(X509_sign(x, issuerKey, EVP_sha256()) > 0, "signing failed");
  return cert;
}

void writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  std::unique_ptr<FILE, FileClose> file(std::fopen(path.c_str(), "w"));
  require(file != nullptr, "cannot write a PEM file");
  if (cert != nullptr)
    require(PEM_write_X509(file.get(), cert) == 1, "PEM_write_X509 failed");
  if (key != nullptr) {
    require(PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
            "PEM_write_PrivateKey failed");
  }
}

}  // namespace

TestCertificates::TestCertificates() {
  const Key caKey = newKey();
  const Cert ca = newCertificate(caKey.get(), "TovrinTracker Test CA", nullptr, caKey.get(), 1,
                                 {{NID_basic_constraints, "critical,CA:TRUE"},
                                  {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                  {NID_subject_key_identifier, "hash"}});
  const Key serverKey = newKey();
  const Cert server = newCertificate(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), 2,
                                     {{NID_basic_constraints, "critical,CA:FALSE"},
                                      {NID_key_usage, "critical,digitalSignature,keyEncipherment"},
                                      {NID_ext_key_usage, "serverAuth"},
                                      {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                      {NID_subject_key_identifier, "hash"},
                                      {NID_authority_key_identifier, "keyid:always"}});
  writePem(caBundlePath(), ca.get(), nullptr);
  writePem(serverCertPath(), server.get(), nullptr);
  writePem(serverKeyPath(), nullptr, serverKey.get());
}

}  // namespace tovrin::test
