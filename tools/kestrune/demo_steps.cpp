#include "tools/kestrune/demo_steps.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "FEDIX509/builtin_ca_records.h"
#include "com/method_table.h"
#include "platform/platform.h"
#include "tools/kestrune/demo_ca.h"
#include "tools/kestrune/demo_calls.h"
#include "tools/kestrune/demo_csp.h"
#include "tools/kestrune/demo_token.h"
#include "tools/kestrune/utf8.h"

namespace kestrune::host {
namespace {

constexpr const char* kWrongPin = "000000";
constexpr const char* kRevokeReason = "end of the demo";
// A small invoice: 9 segments from UNH to UNT, message reference 1.
constexpr const char* kSampleInvoice =
    "UNH+1+INVOIC:D:96A:UN'BGM+380+INV0001+9'DTM+137:20240102:102'"
    "NAD+SU+++Kestrune Demo Supplier'NAD+BY+++Kestrune Demo Buyer'LIN+1++WIDGET:SA'"
    "QTY+47:10'MOA+203:1000'UNT+9+1'";
// Signing adds the four security header and the two trailer segments and recounts.
constexpr std::string_view kSignedInvoiceEnd = "UNT+15+1'";

// bagRead judges a text result that must be a certificate bag of one certificate, then lets
// check judge what it holds.
Judge bagRead(std::function<Verdict(const CertificateFacts&, DemoContext&)> check) {
  return [check = std::move(check)](const CallOutcome& o, DemoContext& context) {
    if (!o.result.isText()) return unexpected(o);
    CertificateFacts facts;
    std::string why;
    if (!readBagFacts(textOf(o), facts, why)) return Verdict{false, why};
    return check(facts, context);
  };
}

Verdict currentStored(const CertificateFacts& facts, DemoContext& context) {
  context.current = facts;
  return expected("the bag the authority delivered, serial " + facts.serial);
}

// The authority dates a certificate from the moment it issues, which lies between the request
// going out and the answer coming back.
Judge issueTimePlus(std::int64_t DemoContext::*offset, bool negative, std::string meaning) {
  return
      [offset, negative, meaning = std::move(meaning)](const CallOutcome& o, DemoContext& context) {
        if (!o.result.isText()) return unexpected(o);
        const std::int64_t shift = negative ? -(context.*offset) : context.*offset;
        const auto time = utcSeconds(textOf(o));
        if (!time || *time < context.requestedAt + shift || *time > context.answeredAt + shift) {
          return Verdict{false, "not the time the authority gives a certificate it issued then"};
        }
        return expected(meaning);
      };
}

Verdict signedMessageWritten(const CallOutcome& o, DemoContext& context) {
  if (!o.result.isText()) return unexpected(o);
  const std::string text = textOf(o);
  if (!text.starts_with("UNH+1+INVOIC") || text.find("'USR+") == std::string::npos ||
      !text.ends_with(kSignedInvoiceEnd)) {
    return {false, "the message did not come back in its security envelope, ending " +
                       std::string(kSignedInvoiceEnd)};
  }
  std::string why;
  if (!writeSignedFiles(context.dir, o.result.asText(), context.current.bagDer, why)) {
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
  return {true, "OK", report.message, {}};
}

Verdict renewalParked(const CertificateFacts& facts, DemoContext& context) {
  const CertificateFacts& current = context.current;
  if (facts.serial == current.serial || facts.notBefore != current.notAfter ||
      facts.notAfter != facts.notBefore + context.lifetimeSeconds) {
    return {false, "not a renewal that starts when the current certificate ends"};
  }
  context.renewal = facts;
  return expected("the renewal, serial " + facts.serial +
                  ", waits until the current certificate ends");
}

Verdict sameAsOnToken(const CertificateFacts& facts, DemoContext& context) {
  if (facts.certificateDer != context.current.certificateDer) {
    return {false, "not the certificate getCertB64 gave"};
  }
  return expected("the authority's record of serial " + facts.serial +
                  " is the certificate on the token");
}

std::string countOf(std::size_t serials) {
  return std::to_string(serials) + (serials == 1 ? " revoked serial" : " revoked serials");
}

// revocationList judges a revocation list: whether it must list the current certificate and
// its renewal, or must not list the current certificate.
Judge revocationList(bool afterRevocation) {
  return [afterRevocation](const CallOutcome& o, DemoContext& context) {
    if (!o.result.isText()) return unexpected(o);
    std::vector<std::string> serials;
    std::string why;
    if (!readRevokedSerials(textOf(o), serials, why)) return Verdict{false, why};
    const auto listed = [&](const std::string& serial) {
      return std::find(serials.begin(), serials.end(), serial) != serials.end();
    };
    const std::string& current = context.current.serial;
    const std::string& renewal = context.renewal.serial;
    if (!afterRevocation) {
      if (listed(current)) return Verdict{false, "serial " + current + " is listed already"};
      return expected("the authority's revocation list: " + countOf(serials.size()) + ", " +
                      current + " not among them");
    }
    if (!listed(current) || !listed(renewal)) {
      return Verdict{false, "serial " + current + " or its renewal " + renewal + " is not listed"};
    }
    return expected(countOf(serials.size()) + ", among them " + current + " and its renewal " +
                    renewal);
  };
}

}  // namespace

std::vector<DemoStep> demoSteps(const std::string& modulePath, const std::string& caUrl) {
  const auto url = [](const DemoContext& c) { return std::vector{c.caUrl}; };
  const auto authority = [](const DemoContext& c, std::vector<std::string> more) {
    std::vector<std::string> words{c.caUrl, fedi::kTestCasid1, fedi::kTestCasid2};
    words.insert(words.end(), more.begin(), more.end());
    return words;
  };
  const std::string authorityName =
      std::string(fedi::kTestCasid1) + " \"" + fedi::kTestCasid2 + "\"";
  std::vector<DemoStep> steps{
      call("loadLib " + modulePath, "loadLib", words({modulePath}),
           codeIs(+ControlCode::kOk, "the library is loaded")),
      call("checkPassword with a wrong PIN", "checkPassword", words({kWrongPin}),
           codeIs(+ControlCode::kPinRefused, "the PIN was refused")),
      call("checkPassword with the right PIN", "checkPassword", words({kDemoUserPin}),
           codeIs(+ControlCode::kOk, "logged in")),
      call(std::string("makeCard ") + kDemoUserId + " " + kDemoOrgId, "makeCard",
           words({kDemoUserId, kDemoOrgId}),
           codeIs(+ControlCode::kOk, "identifiers written, a 512-bit RSA key pair generated")),
      call("getType", "getType", words({}),
           textIs("Linkway", "the key pair is under FEDICA.pubkey / FEDICA.prikey")),
      call("getSID1", "getSID1", words({}), textIs(kDemoUserId, "the user's identifier")),
      call("getSID2", "getSID2", words({}), textIs(kDemoOrgId, "the organisation's identifier")),
      call("setTestVersion 1", "setTestVersion", words({"1"}),
           made("the test authority's built-in record is selected")),
      call(
          "loadCACertB64 with the authority's certificate bag", "loadCACertB64",
          [](const DemoContext& c) { return std::vector{c.caBag}; },
          codeIs(+ControlCode::kOk,
                 "stored on the token as EOICAert: user certificates must verify with its key")),
      timed(call(
          "newCertificate " + caUrl + " with the holder's pass phrase", "newCertificate",
          [](const DemoContext& c) {
            return std::vector{c.caUrl, c.passPhrase};
          },
          codeIs(+ControlCode::kOk,
                 "the authority certified the token's key; the certificate verifies with "
                 "the CA's key and is the token's: stored as EOICert"))),
      call("getCertB64", "getCertB64", words({}), bagRead(currentStored)),
      call("getCSN", "getCSN", words({}),
           textIs([](const DemoContext& c) { return c.current.serial; },
                  "the certificate's serial number")),
      call("getBeginDateTime", "getBeginDateTime", words({}),
           issueTimePlus(&DemoContext::backdateSeconds, true,
                         "UTC: valid from an hour before the authority issued it")),
      call("getEndDateTime", "getEndDateTime", words({}),
           issueTimePlus(&DemoContext::lifetimeSeconds, false,
                         "UTC: valid until a year after the authority issued it")),
      call("getCASID1", "getCASID1", words({}), textIs(fedi::kTestCasid1, "the authority's CN")),
      call("getCASID2", "getCASID2", words({}), textIs(fedi::kTestCasid2, "the authority's O")),
      call("FEDIMessageSign of a sample INVOIC message", "FEDIMessageSign", words({kSampleInvoice}),
           signedMessageWritten),
      {std::string("verify ") + kSignedMessageFile + " with " + kUserBagFile, verifySigned},
      call(
          "extendCertificate", "extendCertificate", url,
          codeIs(+ControlCode::kOk, "the authority renewed the certificate: parked as EOICertNew")),
      call("getNewCertB64", "getNewCertB64", words({}), bagRead(renewalParked)),
      call(
          "queryB64Certificate " + authorityName + " with the serial getCSN gave",
          "queryB64Certificate",
          [authority](const DemoContext& c) { return authority(c, {c.current.serial}); },
          bagRead(sameAsOnToken)),
      call(
          "queryCRL " + authorityName, "queryCRL",
          [authority](const DemoContext& c) { return authority(c, {}); }, revocationList(false)),
      call(
          std::string("revokeCertificate \"") + kRevokeReason + "\"", "revokeCertificate",
          [](const DemoContext& c) {
            return std::vector<std::string>{c.caUrl, kRevokeReason};
          },
          codeIs(+ControlCode::kOk, "the authority revoked the certificate")),
      call(
          "queryCRL " + authorityName, "queryCRL",
          [authority](const DemoContext& c) { return authority(c, {}); }, revocationList(true)),
      call("close", "close", words({}), made("the session is closed")),
  };
  const std::vector<DemoStep> csp = cspSigningSteps(modulePath);
  steps.insert(steps.end(), csp.begin(), csp.end());
  return steps;
}

}  // namespace kestrune::host
