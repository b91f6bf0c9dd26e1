// A running fedi-ca authority for the tests: a fresh folder made with the published test key, a
// server on 127.0.0.1 with short time-outs and a clock the test can move, and the client side
// of the exchange built from the FEDIX509 coders and plain OpenSSL signing (no token).
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FEDIX509/fedi_crl.h"
#include "FEDIX509/fedi_message.h"
#include "FEDIX509/fedi_req.h"
#include "ca/authority.h"
#include "ca/issuing.h"
#include "common/ptr.h"

namespace kestrune::ca::test {

using Bytes = std::vector<std::uint8_t>;
using QueryPtr = Ptr<FEDI_QUERY>;
using SidQueryPtr = Ptr<FEDI_CCHN_REQ>;

// A fresh folder under the temporary directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// One HTTP exchange: the status, the body, and the answer decoded when it is a FEDI message.
struct Exchange {
  int httpStatus = 0;
  Bytes body;
  fedi::MessagePtr answer;
  Bytes requestDigest;

  int type() const;                // the answer's content type, FEDI_CONTENT_NONE without one
  int status() const;              // the refusal number of a 999 answer, -1 otherwise
  std::string statusText() const;  // the text of a 999 answer, empty otherwise
  Bytes answerDigest() const;      // the answer's digest bytes
  FEDICERT* bag() const;           // the answer's certificate bag, or null
  FEDICRL* crl() const;            // the answer's revocation list, or null
};

// postBody posts raw bytes to url; httpStatus 0 when no answer came.
Exchange postBody(const std::string& url, const Bytes& body);

// A request message of type around record: its DER and its digest field.
struct RequestMessage {
  Bytes der;
  Bytes digest;
};
RequestMessage requestMessage(int type, void* record);

// Holder-side builders, each signed with signer through EVP (md5WithRSAEncryption).
// newRequest: PKCS#10 for key with subject O = sid2, CN = sid1, MACed with pass.
fedi::RequestPtr<FEDIREQ> newRequest(EVP_PKEY* key, const std::string& sid1,
                                     const std::string& sid2, const std::string& pass,
                                     EVP_PKEY* signer = nullptr);
fedi::RequestPtr<FEDIEXT> renewalRequest(FEDI_X509* certificate, EVP_PKEY* signer);
fedi::RequestPtr<FEDIREV> revocationRequest(FEDI_X509* certificate, EVP_PKEY* signer,
                                            const std::string& reason = "Revoke");
// signRenewal and signRevocation sign the request's body again, after a test changed it.
void signRenewal(FEDIEXT* request, EVP_PKEY* signer);
void signRevocation(FEDIREV* request, EVP_PKEY* signer);
// fediName returns the name O = organization, CN = commonName.
Ptr<X509_NAME> fediName(const std::string& organization, const std::string& commonName);
// Queries naming the test authority as issuer.
QueryPtr certificateQueryBySerial(std::int64_t serial);
QueryPtr certificateQueryByHolder(const std::string& sid1, const std::string& sid2,
                                  std::int64_t date = -1);
QueryPtr revocationListQuery();
QueryPtr authorityKeyQuery(std::int64_t psn = -1, std::int64_t date = -1);
SidQueryPtr identifierQuery(const std::string& sid1, const std::string& sid2);

// firstCertificate returns certificate 0 of the bag (a reference of its own), or null.
CertificatePtr firstCertificate(FEDICERT* bag);
std::int64_t serialOf(FEDI_X509* certificate);
std::int64_t secondsOf(const ASN1_TIME* time);
// revokedSerials lists the serial numbers of the list's entries.
std::vector<std::int64_t> revokedSerials(FEDICRL* crl);
// sameKey: the certificate carries the public half of key.
bool sameKey(FEDI_X509* certificate, EVP_PKEY* key);

// AuthorityTest: an authority initialised with the defaults and served for each test.
class AuthorityTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // startServer (re)starts the server on the folder with options().
  void startServer();
  ServerOptions options();

  Exchange send(int type, void* record);
  std::string enrol(const std::string& sid1, const std::string& sid2);
  // issue enrols the holder, asks for a certificate for key and returns it (null on failure).
  CertificatePtr issue(EVP_PKEY* key, const std::string& sid1, const std::string& sid2);

  std::int64_t now() const;
  void advanceClock(std::int64_t seconds) { clockOffset_->fetch_add(seconds); }

  TempDir dir_;
  AuthorityServer server_;
  std::shared_ptr<std::atomic<std::int64_t>> clockOffset_ =
      std::make_shared<std::atomic<std::int64_t>>(0);
};

}  // namespace kestrune::ca::test
