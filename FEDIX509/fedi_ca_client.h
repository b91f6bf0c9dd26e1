// The HTTP transport to the FEDI certification authority: one request primitive, the
// initiation that names the URL of certification messages, and the exchange of one
// FEDI_MESSAGE each way, with an entry point per content type the control sends.
//
// Calling order of every CA operation: ca_Initiate with the initiation URL, one entry point on
// the connection it filled, read connection.lastAnswer, ca_FreeConnection.
#pragma once

#include <cstdint>

#include "FEDIX509/fedi_message.h"
#include "FEDIX509/fedi_req.h"

// Result codes of net_Request, ca_Initiate and ca_Exchange. A WinInet error number (12000 to
// 12171) recorded in the response replaces the negative code of ca_Initiate and ca_Exchange.
constexpr int NET_OK = 0;
constexpr int NET_NO_MEMORY = -1;        // memory exhausted
constexpr int CA_ENCODE_FAILED = -2;     // the request message could not be encoded
constexpr int CA_DECODE_FAILED = -3;     // the answer could not be decoded
constexpr int NET_CALL_FAILED = -11;     // an HTTP call failed; its error is in the response
constexpr int NET_STATUS_NOT_OK = -12;   // the HTTP status was not 200 (after the message box)
constexpr int CA_ANSWER_MISMATCH = -13;  // the answer's digest is not the request's

// The first and last WinInet error numbers.
constexpr std::uint32_t kWinInetErrorFirst = 12000;
constexpr std::uint32_t kWinInetErrorLast = 12171;

// Fixed values of the exchange.
inline constexpr const char* kCaAgentName = "FEDI";                    // HTTP user agent
inline constexpr const char* kCaMessageAgent = "Tarvonel/FEDI/V1.00";  // agent field of requests
inline constexpr const char* kCaInitiationType = "application/x-fedi-certification-initiation";
inline constexpr const char* kCaMessageType = "application/fedi-certification";
inline constexpr long kCaTimeoutMs = 1'800'000;  // send and receive: 30 minutes

struct NetResponse {
  std::int32_t statusCode;  // HTTP status, 0 when no answer came
  std::int32_t bodyLength;
  std::uint32_t lastError;  // WinInet error number of the call that failed, 0 otherwise
  unsigned char* body;      // body followed by a zero byte, or null; net_FreeResponse releases
};

// net_Request sends one request (contentType and body may be null) and fills response. Returns
// NET_OK, NET_NO_MEMORY, NET_CALL_FAILED or NET_STATUS_NOT_OK (after the message box "Connect
// to <url> fail. Response status code = <n>"; the status stays in the response). Only a 200
// answer's body is read; bodyLength is the bytes that arrived, also when the server closed
// before its announced length. A negative bodyLength, or a null body with a non-zero length,
// is refused with NET_CALL_FAILED and lastError 87 (invalid parameter).
int net_Request(const char* url, const char* verb, const char* contentType,
                const unsigned char* body, std::int32_t bodyLength, NetResponse* response);
void net_FreeResponse(NetResponse* response);

struct CaConnection {
  char* setUrl;              // where certification messages are posted, or null
  char* casid;               // the FEDI-CASID line's value, or null
  FEDI_MESSAGE* lastAnswer;  // the decoded answer of the last exchange, or null
};

// ca_Initiate GETs the initiation URL and reads its "FEDI-SET-URL: " and "FEDI-CASID: " lines
// into connection (which it clears first, without releasing: pass a fresh or freed one); a
// key's last line wins, a CR ending a line is dropped, a missing key leaves its field null.
// Returns NET_OK, a code of net_Request, or NET_NO_MEMORY; a recorded WinInet error number
// replaces a failure code. A failed initiation leaves the connection empty.
int ca_Initiate(const char* url, CaConnection* connection);
// ca_Exchange posts a FEDI_MESSAGE of the given content type around record (still the
// caller's) to the connection's set URL and decodes the answer into connection->lastAnswer.
// Returns NET_OK, a code of FEDI_MESSAGE_fill, CA_ENCODE_FAILED, CA_DECODE_FAILED,
// CA_ANSWER_MISMATCH or a code of net_Request; a recorded WinInet error number replaces a
// failure code. A status answer (999) is accepted whatever its digest; any other answer must
// carry the request's digest exactly (one without a digest does not). The answer of an earlier
// exchange is released first; a decoded answer stays in lastAnswer even on a mismatch. The
// body must be exactly one message: bytes after it are a decoding failure.
int ca_Exchange(CaConnection* connection, int type, void* record);
// ca_FreeConnection releases the set URL, the identifier and the last answer; accepts null.
void ca_FreeConnection(CaConnection* connection);

int ca_SendNewCertRequest(CaConnection* connection, FEDIREQ* request);  // type 0
int ca_SendExtendRequest(CaConnection* connection, FEDIEXT* request);   // type 2
int ca_SendRevokeRequest(CaConnection* connection, FEDIREV* request);   // type 4
int ca_QueryCertificate(CaConnection* connection, FEDI_QUERY* query);   // type 6
int ca_QueryCrl(CaConnection* connection, FEDI_QUERY* query);           // type 8
int ca_QueryCaPublicKey(CaConnection* connection, FEDI_QUERY* query);   // type 10
int ca_QuerySid(CaConnection* connection, FEDI_CCHN_REQ* query);        // type 108
