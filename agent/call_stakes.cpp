#include "agent/call_stakes.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/printable_text.h"
#include "edifact/edifact.h"
#include "token/base64.h"
#include "tools/kestrune/method_call.h"

namespace kestrune::agent {
namespace {

using Json = nlohmann::ordered_json;

// Bounds of what a page wrote, as shown. EDIFACT gives a message reference 14 characters and a
// type 6; a host name has at most 253.
constexpr std::size_t kMaxEdifactValue = 35;
constexpr std::size_t kMaxHash = 64;
constexpr std::size_t kMaxHost = 100;
constexpr std::size_t kMaxUrl = 100;
constexpr std::size_t kMaxFileName = 80;
// The first bytes of a SHA-256, shown as hexadecimal: enough to compare with what a page shows.
constexpr std::size_t kDigestPrefix = 8;

// shownIndex returns the index of method's parameter of that name, unless it is a secret one;
// nullopt otherwise.
std::optional<std::size_t> shownIndex(const com::Method& method, std::string_view name) {
  const auto index = com::parameterIndex(method, name);
  if (!index || host::isSecretParameter(method, *index)) return std::nullopt;
  return index;
}

const std::string* textArgument(const com::Method& method, std::span<const Json> args,
                                std::string_view name) {
  const auto index = shownIndex(method, name);
  if (!index || *index >= args.size() || !args[*index].is_string()) return nullptr;
  return &args[*index].get_ref<const std::string&>();
}

std::optional<std::int64_t> numberArgument(const com::Method& method, std::span<const Json> args,
                                           std::string_view name) {
  const auto index = shownIndex(method, name);
  if (!index || *index >= args.size() || !args[*index].is_number_integer()) return std::nullopt;
  return args[*index].get<std::int64_t>();
}

std::string bytesText(std::size_t size) {
  return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}

// digestPrefix returns the first bytes of data's SHA-256 in lower-case hexadecimal.
std::string digestPrefix(std::span<const std::uint8_t> data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < kDigestPrefix && i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

std::string dataStakes(const char* what, std::span<const std::uint8_t> data) {
  std::string text = std::string(what) + " of " + bytesText(data.size());
  if (const std::string prefix = digestPrefix(data); !prefix.empty()) {
    text += ", SHA-256 begins " + prefix;
  }
  return text;
}

// splitUnreleased cuts raw at each separator the release character doesn't release.
std::vector<std::string_view> splitUnreleased(std::string_view raw, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == edifact::kReleaseCharacter) {
      ++i;
    } else if (raw[i] == separator) {
      pieces.push_back(raw.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(raw.substr(start));
  return pieces;
}

// unreleased returns the value that raw writes: each released character without its release.
std::string unreleased(std::string_view raw) {
  std::string value;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == edifact::kReleaseCharacter && i + 1 < raw.size()) ++i;
    value += raw[i];
  }
  return value;
}

// messageStakes reads the message header that the signer finds, the first "UNH+": its first
// element is the message reference, its second the message identifier, whose first component
// is the type ("UNH+42+INVOIC:D:96A:UN'").
std::string messageStakes(std::string_view message) {
  const std::string size = bytesText(message.size());
  const std::size_t header = message.find("UNH+");
  const std::size_t end =
      header == std::string_view::npos ? header : edifact::segmentEnd(message, header);
  if (end == std::string_view::npos) return "a text of " + size + " without a UNH segment";
  const auto elements =
      splitUnreleased(message.substr(header + 4, end - header - 4), edifact::kElementSeparator);
  const std::string reference = elements.empty() ? std::string() : unreleased(elements[0]);
  const std::string type =
      elements.size() < 2
          ? std::string()
          : unreleased(splitUnreleased(elements[1], edifact::kComponentSeparator).front());
  if (reference.empty() || type.empty()) {
    return "a text of " + size + " whose UNH segment names no message type and reference";
  }
  return "message " + printable(type, kMaxEdifactValue) + ", reference " +
         printable(reference, kMaxEdifactValue) + ", " + size;
}

std::string base64Stakes(const std::string& text) {
  std::vector<std::uint8_t> data;
  struct Wipe {
    std::vector<std::uint8_t>& bytes;
    ~Wipe() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  } wipe{data};
  if (!token::text_Base64Decode(text, data)) {
    return "a text of " + bytesText(text.size()) + " that is not Base64";
  }
  return dataStakes("data", data);
}

char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
         c == ':' || c == '[' || c == ']';
}

// urlHost returns the host (and port) an http or https URL names, in lower case; nullopt when
// the URL is of another kind, holds an "@" or a backslash anywhere (readers of URLs disagree
// on where a user name ends, and a reader of the question could be misled about where the
// call goes), or its host part holds anything but a host name, an address and a port.
std::optional<std::string> urlHost(std::string_view url) {
  if (url.find_first_of("@\\") != std::string_view::npos) return std::nullopt;
  const std::size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  std::string scheme;
  for (const char c : url.substr(0, schemeEnd)) scheme += lowerAscii(c);
  if (scheme != "http" && scheme != "https") return std::nullopt;
  const std::string_view rest = url.substr(schemeEnd + 3);
  std::string host;
  for (const char c : rest.substr(0, rest.find_first_of("/?#"))) {
    if (!isHostCharacter(lowerAscii(c))) return std::nullopt;
    host += lowerAscii(c);
  }
  if (host.empty() || host.front() == ':') return std::nullopt;
  return host;
}

std::string authorityStakes(const std::string& url) {
  if (const auto host = urlHost(url)) return "the authority at " + printable(*host, kMaxHost);
  return "the authority at an address that names no plain host: " + printable(url, kMaxUrl);
}

std::string requestStakes(std::int64_t type) {
  switch (type) {
    case 1:
      return "a request for a new certificate";
    case 2:
      return "a request to renew the certificate";
    case 3:
      return "a request to revoke the certificate";
    default:
      break;
  }
  return "a request of unknown type " + std::to_string(type);
}

// signingStakes describes what a signing method signs.
std::optional<std::string> signingStakes(const com::Method& method, std::span<const Json> args) {
  if (method.name == "signHash") {
    const std::string* hash = textArgument(method, args, "hexHash");
    if (hash == nullptr) return std::nullopt;
    return "the hash " + printable(*hash, kMaxHash);
  }
  const std::string* data = textArgument(method, args, "SourceData");
  if (data == nullptr) return std::nullopt;
  if (method.name == "sign") {
    return dataStakes("a text",
                      {reinterpret_cast<const std::uint8_t*>(data->data()), data->size()});
  }
  if (method.name == "signB64") return base64Stakes(*data);
  if (method.name.starts_with("FEDIMessageSign")) return messageStakes(*data);
  return std::nullopt;
}

}  // namespace

std::string callStakes(const com::Method& method, std::span<const Json> args) {
  using enum com::Effect;
  std::vector<std::string> parts;
  if (method.effects.has(signs)) {
    if (auto part = signingStakes(method, args)) parts.push_back(std::move(*part));
  }
  if (method.name == "makeRequestCert") {
    if (const auto type = numberArgument(method, args, "reqType")) {
      parts.push_back(requestStakes(*type));
    }
  }
  if (method.effects.has(talksToUrl)) {
    if (const std::string* url = textArgument(method, args, "caUrl")) {
      parts.push_back(authorityStakes(*url));
    }
  }
  if (method.effects.hasAnyOf(com::Effects(readsFile, writesFile))) {
    for (const char* name : {"cafile", "certfile", "outFile"}) {
      if (const std::string* file = textArgument(method, args, name)) {
        parts.push_back("file " + printable(*file, kMaxFileName));
      }
    }
  }
  std::string stakes;
  for (const std::string& part : parts) {
    if (!stakes.empty()) stakes += ", ";
    stakes += part;
  }
  return stakes;
}

}  // namespace kestrune::agent
