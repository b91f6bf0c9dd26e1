// The file-name store provider: a saved store built here from its published layout, a PKCS#7
// bundle made by the openssl command, single certificates, and a missing file.
#include <cstdlib>
#include <fstream>

#include <openssl/pem.h>

#include <gtest/gtest.h>

#include "common/ptr.h"
#include "tests/cryptoapi/cert_maker.h"

namespace kestrune::test {
namespace {

void put32(Bytes& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void putRecord(Bytes& out, DWORD id, const Bytes& data) {
  put32(out, id);
  put32(out, 1);
  put32(out, static_cast<DWORD>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}

void putUtf16(Bytes& out, const std::u16string& text) {
  for (char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

// The key-provider property as a saved store holds it: offsets from the record's start.
Bytes keyProvRecord(const std::u16string& container, const std::u16string& provider,
                    DWORD keySpec) {
  Bytes out;
  const DWORD containerAt = 28;
  const auto providerAt = static_cast<DWORD>(containerAt + (container.size() + 1) * 2);
  for (DWORD v :
       {containerAt, providerAt, DWORD{PROV_RSA_FULL}, DWORD{0}, DWORD{0}, DWORD{0}, keySpec})
    put32(out, v);
  putUtf16(out, container);
  putUtf16(out, provider);
  return out;
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::string pem(const Bytes& der) {
  const unsigned char* p = der.data();
  Ptr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert.get());
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

HCERTSTORE openFile(const std::string& path) {
  const std::wstring wide(path.begin(), path.end());
  return CertOpenStore(CERT_STORE_PROV_FILENAME_W, 0, 0, 0, wide.c_str());
}

std::vector<DWORD> serials(HCERTSTORE store) {
  std::vector<DWORD> out;
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr)
    out.push_back(cert->pCertInfo->SerialNumber.pbData[0]);
  return out;
}

TEST(FileStore, ReadsASavedStoreWithItsProperties) {
  TempFolder folder;
  CertSpec first, second;
  first.serial = 1, second.serial = 2;
  Bytes file = {0, 0, 0, 0, 'C', 'E', 'R', 'T'};
  putRecord(file, CERT_KEY_PROV_INFO_PROP_ID,
            keyProvRecord(u"tvContainer", u"Smart Card CSP", AT_SIGNATURE));
  putRecord(file, 32, makeCert(first));
  putRecord(file, 32, makeCert(second));
  file.resize(file.size() + 12, 0);  // the closing record
  const std::string path = folder.path() + "/tvys.st";
  writeFile(path, file);

  HCERTSTORE store = openFile(path);
  ASSERT_NE(store, nullptr) << GetLastError();
  EXPECT_EQ(serials(store), (std::vector<DWORD>{1, 2}));
  PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr);
  DWORD size = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  std::vector<std::uint64_t> buffer(size / 8 + 1);
  ASSERT_TRUE(
      CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  EXPECT_STREQ(info->pwszContainerName, L"tvContainer");
  EXPECT_STREQ(info->pwszProvName, L"Smart Card CSP");
  EXPECT_EQ(info->dwKeySpec, AT_SIGNATURE);
  cert = CertEnumCertificatesInStore(store, cert);  // the second has no property
  EXPECT_FALSE(CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);

  // A record running past the end spoils the file.
  file.resize(file.size() - 12);
  putRecord(file, 32, {0x30});
  file.resize(file.size() - 1);
  writeFile(path, file);
  SetLastError(0);
  EXPECT_EQ(openFile(path), nullptr);
  EXPECT_NE(GetLastError(), 0u);
}

TEST(FileStore, ReadsBundlesAndSingleCertificates) {
  TempFolder folder;
  CertSpec a, b;
  a.serial = 3, b.serial = 4;
  const Bytes derA = makeCert(a), derB = makeCert(b);
  const std::string pemPath = folder.path() + "/two.pem";
  std::ofstream(pemPath) << pem(derA) << pem(derB);
  const std::string bundle = folder.path() + "/bundle.p7b";
  const std::string command =
      "openssl crl2pkcs7 -nocrl -certfile '" + pemPath + "' -outform DER -out '" + bundle + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);

  HCERTSTORE store = openFile(bundle);
  ASSERT_NE(store, nullptr) << GetLastError();
  EXPECT_EQ(serials(store), (std::vector<DWORD>{3, 4}));
  CertCloseStore(store, 0);

  // PEM text gives its first certificate, as CryptoAPI reads one object from Base64.
  store = openFile(pemPath);
  ASSERT_NE(store, nullptr) << GetLastError();
  EXPECT_EQ(serials(store), (std::vector<DWORD>{3}));
  CertCloseStore(store, 0);

  const std::string single = folder.path() + "/one.cer";
  writeFile(single, derB);
  store = openFile(single);
  ASSERT_NE(store, nullptr) << GetLastError();
  EXPECT_EQ(serials(store), (std::vector<DWORD>{4}));
  CertCloseStore(store, 0);
}

TEST(FileStore, MissingAndForeignFiles) {
  TempFolder folder;
  SetLastError(0);
  EXPECT_EQ(openFile(folder.path() + "/tvys.st"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const std::string text = folder.path() + "/notes.txt";
  writeFile(text, Bytes{'h', 'e', 'l', 'l', 'o'});
  SetLastError(0);
  EXPECT_EQ(openFile(text), nullptr);
  EXPECT_NE(GetLastError(), 0u);
}

}  // namespace
}  // namespace kestrune::test
