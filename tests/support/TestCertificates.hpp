#pragma once
// A throw-away certificate authority and a server certificate it signed, for HTTPS tests.

#include <string>

#include "support/TestSupport.hpp"

namespace tovrin::test {

/// Makes (OpenSSL, P-256 keys, valid for a week) a CA and a server certificate for 127.0.0.1
/// and localhost signed by it, as PEM files in a temporary folder removed on destruction.
class TestCertificates {
 public:
  TestCertificates();
  /// The CA certificate: the bundle a client must trust to accept the server.
  std::string caBundlePath() const { return (dir_.path() / "ca.pem").string(); }
  std::string serverCertPath() const { return (dir_.path() / "server.pem").string(); }
  std::string serverKeyPath() const { return (dir_.path() / "server-key.pem").string(); }

 private:
  TempDir dir_;
};

}  // namespace tovrin::test
