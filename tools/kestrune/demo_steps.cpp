#include "tools/kestrune/demo_steps.h"

#include <string_view>
#include <utility>

#include "FEDIX509/builtin_ca_records.h"
#include "com/method_table.h"
#include "platform/platform.h"
#include "token/base64.h"
#include "tools/kestrune/demo_checks.h"
#include "tools/kestrune/demo_token.h"
#include "tools/kestrune/utf8.h"

namespace kestrune::host {
namespace {

constexpr const char* kWrongPin = "000000";
constexpr const char* kSignedText = "abc";
// A small invoice: 9 segments from UNH to UNT, message reference 1.
constexpr const char* kSampleInvoice =
    "UNH+1+INVOIC:D:96A:UN'BGM+380+INV0001+9'DTM+137:20240102:102'"
    "NAD+SU+++Kestrune Demo Supplier'NAD+BY+++Kestrune Demo Buyer'LIN+1++WIDGET:SA'"
    "QTY+47:10'MOA+203:1000'UNT+9+1'";
// Signing adds the four security header and the two trailer segments and recounts.
constexpr std::string_view kSignedInvoiceEnd = "UNT+15+1'";

// meaningOf names the codes the demo's steps can meet.
std::string_view meaningOf(std::int32_t code) {
  switch (code) {
    case kOk:
      return "ok";
    case kNotCompleted:
      return "not completed";
    case kReadFailed:
      return "a token object could not be read";
    case kEncodeFailed:
      return "the message lacks a segment it needs";
    case kBase64Failed:
      return "the Base64 text could not be decoded";
    case kNoSignature:
      return "the token did not sign";
    case kTokenFailure:
      return "the token library failed";
    case kTokenInitFailed:
      return "the token library could not be initialised";
    case kSlotListFailed:
      return "the slot list could not be read";
    case kSessionFailed:
      return "no session could be opened";
    case kPinRefused:
      return "the PIN was refused";
    case kDeleteFailed:
      return "a token object could not be deleted";
    case kKeyGenerationFailed:
      return "the key pair could not be generated";
    case kTokenMemoryFull:
      return "the token's memory is full";
    case kPinLocked:
      return "the PIN is locked";
    case kUndecodable:
      return "a certificate could not be decoded";
    case kBagCount:
      return "the bag does not hold exactly one certificate";
    case kNoPublicKey:
      return "no public key could be had from a certificate";
    case kSignatureInvalid:
      return "the certificate's signature does not verify with the CA's key";
    case kPinNotVerified:
      return "the PIN has not been verified";
    case kKeyMismatch:
      return "the certificate's key is not the token's key pair";
    case kSigningKeyMissing:
      return "the signing key was not found on the token";
    default:
      return "see the error table";
  }
}

// A verdict on a call's outcome: the meaning shown when it is as expected, else why not.
struct Verdict {
  bool asExpected = false;
  std::string note;
};

Verdict expected(std::string meaning) {
  return {true, std::move(meaning)};
}

Verdict unexpected(const CallOutcome& outcome, const std::string& wanted = {}) {
  std::string note = "unexpected; lastError " + std::to_string(outcome.lastError) + ": " +
                     std::string(meaningOf(outcome.lastError));
  if (!wanted.empty()) note += "; expected " + wanted;
  return {false, std::move(note)};
}

using Arguments = std::function<std::vector<std::string>(const DemoContext&)>;
using Judge = std::function<Verdict(const CallOutcome&, DemoContext&)>;

Arguments words(std::vector<std::string> fixed) {
  return [fixed = std::move(fixed)](const DemoContext&) { return fixed; };
}

// call makes a step of one method call through dispatch, as a script makes it.
DemoStep call(std::string title, const char* method, Arguments arguments, Judge judge) {
  return {std::move(title), [method, arguments = std::move(arguments),
                             judge = std::move(judge)](DemoContext& context) {
            StepOutcome step;
            std::string why;
            const com::Method* found = lookUpMethod(method, why);
            std::optional<std::vector<com::Variant>> args;
            if (found != nullptr) args = argumentsFromWords(*found, arguments(context), why);
            CallOutcome outcome;
            if (!args || !callMethod(context.control, *found, *args, outcome, why)) {
              step.note = "not made: " + why;
              return step;
            }
            step.result = resultAsUtf8(outcome.result);
            const Verdict verdict = judge(outcome, context);
            step.asExpected = verdict.asExpected;
            step.note = verdict.note;
            step.messages = std::move(outcome.messages);
            return step;
          }};
}

Judge codeIs(std::int32_t want, std::string meaning) {
  return [want, meaning = std::move(meaning)](const CallOutcome& o, DemoContext&) {
    if (!o.result.isI4() || o.result.asI4() != want) return unexpected(o);
    return expected(meaning);
  };
}

Judge textIs(std::function<std::string(const DemoContext&)> want, std::string meaning) {
  return [want = std::move(want), meaning = std::move(meaning)](const CallOutcome& o,
                                                                DemoContext& context) {
    const std::string wanted = want(context);
    if (!o.result.isText() || resultAsUtf8(o.result) != wanted) return unexpected(o, wanted);
    return expected(meaning);
  };
}

Judge textIs(std::string want, std::string meaning) {
  return textIs([want = std::move(want)](const DemoContext&) { return want; }, std::move(meaning));
}

// Methods without a result: the call having been made is the outcome.
Judge made(std::string meaning) {
  return [meaning = std::move(meaning)](const CallOutcome&, DemoContext&) {
    return expected(meaning);
  };
}

std::string base64Of(const std::vector<std::uint8_t>& der) {
  std::string text;
  token::text_Base64Encode(der, text);
  return text;
}

StepOutcome done(std::string result, std::string meaning) {
  return {true, std::move(result), std::move(meaning), {}};
}

StepOutcome failed(std::string why) {
  return {false, std::nullopt, std::move(why), {}};
}

StepOutcome readTokenKey(DemoContext& context) {
  std::string why;
  if (!readDemoTokenPublicKey(context.modulePath, "FEDICA.pubkey", context.tokenKey, why)) {
    return failed(why);
  }
  const std::string modulus = magnitudeHex(context.tokenKey.modulus);
  return done(std::to_string(modulus.size() * 4) + "-bit modulus, exponent " +
                  magnitudeHex(context.tokenKey.exponent),
              "the key pair makeCard generated, read from the token directly");
}

StepOutcome issueCaBag(DemoContext& context) {
  std::string why;
  context.issuedAt = platform::currentTime();
  context.authorityKey = loadDemoAuthorityKey(why);
  if (!context.authorityKey ||
      !issueDemoCaBag(context.authorityKey.get(), context.issuedAt, context.caBag, why)) {
    return failed(why);
  }
  return done(std::to_string(context.caBag.der.size()) + " bytes",
              std::string("self-issued: issuer = subject = ") + fedi::kTestCasid2 + " / " +
                  fedi::kTestCasid1 + ", signed with the test authority's key");
}

StepOutcome issueUserBag(DemoContext& context) {
  std::string why;
  if (!issueDemoUserBag(context.authorityKey.get(), context.tokenKey, context.issuedAt,
                        context.userBag, why)) {
    return failed(why);
  }
  return done("serial " + std::to_string(kDemoSerial),
              std::string("subject ") + kDemoOrgId + " / " + kDemoUserId +
                  ", the token's key, valid from " + utcDate(context.issuedAt) + " to " +
                  utcDate(context.issuedAt + kDemoUserValidity) +
                  ", signed with the test authority's key");
}

Verdict signatureChecks(const CallOutcome& o, DemoContext& context) {
  if (!o.result.isText()) return unexpected(o);
  const std::string signature = utf16ToUtf8(o.result.asText());
  if (!md5SignatureVerifies(signature, kSignedText, context.userBag.certificate.get())) {
    return {false, "the signature does not verify with the certificate's key"};
  }
  return expected("MD5 with RSA, made on the token; it verifies with the certificate's key");
}

Verdict signedMessageWritten(const CallOutcome& o, DemoContext& context) {
  if (!o.result.isText()) return unexpected(o);
  const std::string text = utf16ToUtf8(o.result.asText());
  if (!text.starts_with("UNH+1+INVOIC") || text.find("'USR+") == std::string::npos ||
      !text.ends_with(kSignedInvoiceEnd)) {
    return {false, "the message did not come back in its security envelope, ending " +
                       std::string(kSignedInvoiceEnd)};
  }
  std::string why;
  if (!writeSignedFiles(context.dir, o.result.asText(), context.userBag.der, why)) {
    return {false, why};
  }
  return expected(std::string("in its security envelope; written to ") + kSignedMessageFile +
                  ", the user's certificate bag to " + kUserBagFile);
}

StepOutcome verifySigned(DemoContext& context) {
  edifact::VerifyReport report;
  if (verifySignedFiles(context.dir, report) != edifact::VerifyStatus::ok) {
    return {false, "FAILED", report.message.empty() ? "out of memory" : report.message, {}};
  }
  return done("OK", report.message);
}

}  // namespace

std::vector<DemoStep> demoSteps(const std::string& modulePath) {
  const auto caBag = [](const DemoContext& c) { return std::vector{base64Of(c.caBag.der)}; };
  const auto userBag = [](const DemoContext& c) { return std::vector{base64Of(c.userBag.der)}; };
  const auto modulusHex = [](const DemoContext& c) { return magnitudeHex(c.tokenKey.modulus); };
  const auto beginDate = [](const DemoContext& c) { return utcDate(c.issuedAt); };
  const auto endDate = [](const DemoContext& c) { return utcDate(c.issuedAt + kDemoUserValidity); };
  return {
      call("loadLib " + modulePath, "loadLib", words({modulePath}),
           codeIs(kOk, "the library is loaded")),
      call("checkPassword with a wrong PIN", "checkPassword", words({kWrongPin}),
           codeIs(kPinRefused, "the PIN was refused")),
      call("checkPassword with the right PIN", "checkPassword", words({kDemoUserPin}),
           codeIs(kOk, "logged in")),
      call(std::string("makeCard ") + kDemoUserId + " " + kDemoOrgId, "makeCard",
           words({kDemoUserId, kDemoOrgId}),
           codeIs(kOk, "identifiers written, a 512-bit RSA key pair generated")),
      call("getType", "getType", words({}),
           textIs("Linkway", "the key pair is under FEDICA.pubkey / FEDICA.prikey")),
      call("getSID1", "getSID1", words({}), textIs(kDemoUserId, "the user's identifier")),
      call("getSID2", "getSID2", words({}), textIs(kDemoOrgId, "the organisation's identifier")),
      {"authority: read the token's public key", readTokenKey},
      {"authority: issue its CA certificate bag", issueCaBag},
      {"authority: issue the user certificate", issueUserBag},
      call("setTestVersion 1", "setTestVersion", words({"1"}),
           made("the test authority's built-in record is selected")),
      call("loadCACertB64 with the CA certificate bag", "loadCACertB64", caBag,
           codeIs(kOk, "stored on the token as EOICAert")),
      call(
          "loadCertB64 with the user certificate bag", "loadCertB64", userBag,
          codeIs(kOk, "it verifies with the CA's key, matches the token's key: stored as EOICert")),
      call("getCSN", "getCSN", words({}),
           textIs(std::to_string(kDemoSerial), "the certificate's serial number")),
      call("getBeginDate", "getBeginDate", words({}), textIs(beginDate, "valid from")),
      call("getEndDate", "getEndDate", words({}), textIs(endDate, "valid until, a year on")),
      call("getCASID1", "getCASID1", words({}), textIs(fedi::kTestCasid1, "the authority's CN")),
      call("getCASID2", "getCASID2", words({}), textIs(fedi::kTestCasid2, "the authority's O")),
      call("getCModulus", "getCModulus", words({}),
           textIs(modulusHex, "the certificate carries the token's key")),
      call(std::string("sign \"") + kSignedText + "\"", "sign", words({kSignedText}),
           signatureChecks),
      call("FEDIMessageSign of a sample INVOIC message", "FEDIMessageSign", words({kSampleInvoice}),
           signedMessageWritten),
      {std::string("verify ") + kSignedMessageFile + " with " + kUserBagFile, verifySigned},
      call("close", "close", words({}), made("the session is closed")),
  };
}

}  // namespace kestrune::host
