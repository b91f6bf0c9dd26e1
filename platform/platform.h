// The operating-system seam. Everything that differs between the Linux build and the
// Windows build (library loading, code page 950, files, message boxes, the module's
// version, HTTP) lives behind these functions; the rest of Kestrune is portable C++ and OpenSSL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::platform {

// Dynamic libraries (LoadLibraryA / GetProcAddress / FreeLibrary on Windows).
using LibraryHandle = void*;
// loadLibrary returns the handle of the named module, loaded now with all symbols bound, or
// nullptr when it can't be loaded. The name is used as given: a file name searched on the
// library path, or a path.
LibraryHandle loadLibrary(const char* name);
// findSymbol returns the address of the exported function, or nullptr when it isn't exported.
void* findSymbol(LibraryHandle library, const char* name);
void unloadLibrary(LibraryHandle library);
// libraryError returns why the last loadLibrary or findSymbol of this thread failed, in the
// loader's words (which name the file), and forgets it; empty when nothing failed since.
std::string libraryError();

// Code page 950 (Big5), the single-byte text of every layer below the control.
// toCodePage950 returns false only for malformed UTF-16 (a lone surrogate); a character that
// Big5 lacks becomes Windows' best fit for it when its table has one (é as "e") and '?'
// otherwise, as WideCharToMultiByte(950, 0, ...) does. With TextEnd::firstZero the
// text ends at its first zero character, and what follows is neither converted nor checked.
// asciiPrefix, when given, receives the length of the text's leading run of ASCII (0x00-0x7F),
// which the output repeats unit for byte: a caller may reuse those units instead of
// converting the bytes back. An empty text gives 0.
// written, when given, is called with the output so far every few kilobytes of it, while those
// bytes are still in the cache (not necessarily at the end: the caller has the whole output).
// outputMoves, when given, is called once, before the output's buffer may move to make room
// (when its capacity might not hold the next piece); until then every byte written stays
// where it is, and may be read from another thread.
enum class TextEnd { whole, firstZero };
using TextWritten = std::function<void(std::string_view written)>;
using OutputMoves = std::function<void()>;
bool toCodePage950(std::u16string_view text, std::string& out, TextEnd textEnd = TextEnd::whole,
                   std::size_t* asciiPrefix = nullptr, const TextWritten& written = {},
                   const OutputMoves& outputMoves = {});
// What a character that Big5 lacks becomes, as WideCharToMultiByte(950, flags, ..., defaultChar,
// usedDefault) chooses: Windows' best fit when bestFit is set (no WC_NO_BEST_FIT_CHARS) and its
// table has one, else defaultChar (a byte, or a lead byte and its trail). usedDefault, when
// given, is set to whether the default was written; a best fit doesn't count.
struct Big5Unmapped {
  bool bestFit = true;
  std::string_view defaultChar = "?";
  bool* usedDefault = nullptr;
};
bool toCodePage950(std::u16string_view text, std::string& out, const Big5Unmapped& unmapped);
// fromCodePage950 returns false when the bytes are not valid Big5.
bool fromCodePage950(std::string_view text, std::u16string& out);

// Whole files.
enum class FileStatus { ok, cannotOpen, cannotRead, cannotWrite, noMemory };
// readFile fills out with the file's bytes: cannotOpen, cannotRead (size or read failed).
FileStatus readFile(const char* path, std::vector<std::uint8_t>& out);
// writeFile creates or truncates the file and writes all bytes: cannotOpen, cannotWrite.
FileStatus writeFile(const char* path, std::span<const std::uint8_t> bytes);

// Message boxes. The default sink writes "caption: text" as one line to standard error;
// hosts and tests install their own. setMessageSink returns the sink it replaced.
using MessageSink = std::function<void(std::string_view text, std::string_view caption)>;
void messageBox(std::string_view text, std::string_view caption);
MessageSink setMessageSink(MessageSink sink);

// Clock and zone. Times are seconds since 1970 (time_t); civil times have a four-digit year
// and a month from 1.
struct CivilTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// currentTime returns now, or the clock a test has installed.
std::int64_t currentTime();
// setClock installs a clock for tests (an empty function restores the system clock) and
// returns the one it replaced.
using Clock = std::function<std::int64_t()>;
Clock setClock(Clock clock);
// makeLocalTime returns the time of a local civil time read with daylight saving off (mktime
// with tm_isdst 0), or -1 when it can't be represented.
std::int64_t makeLocalTime(const CivilTime& local);
// localTime fills the local civil time of t; false when t can't be converted.
bool localTime(std::int64_t t, CivilTime& out);
// utcToLocal converts a UTC civil time to local civil time; false when it can't.
bool utcToLocal(const CivilTime& utc, CivilTime& local);
// standardBiasMinutes returns the zone's standard bias as GetTimeZoneInformation reports it:
// minutes to add to local time to get UTC (-480 for UTC+8); false when the zone is unknown.
bool standardBiasMinutes(int& bias);

// Environment variables (the hosts and the demo point SoftHSM2 at their token folder).
// environmentVariable returns an empty string when the variable is unset.
std::string environmentVariable(const char* name);
bool setEnvironmentVariable(const char* name, const char* value);

// HTTP (WinInet on Windows). Each call makes one request on a connection of its own and
// closes it afterwards. http:// goes out as plain HTTP/1.1; https:// over TLS, the server's
// certificate checked against the system's certification authorities. No redirect is followed.
struct HttpRequest {
  const char* url = nullptr;
  const char* verb = nullptr;  // "GET", "POST" ...
  // The complete header text: lines ending in CRLF, then an empty line. Sent as given, in this
  // order; the transport adds its Host and User-Agent lines and, for a body the text gives
  // no length for, a Content-Length; never an Accept, Expect or Content-Type of its own.
  std::string_view headers;
  std::span<const std::uint8_t> body;  // sent after the headers
  const char* agent = nullptr;         // User-Agent
  long timeoutMs = 0;                  // longest wait for the server while sending or receiving
};
// The answer goes to a reader. start gets the status and the announced Content-Length (-1
// when none) once the final headers have arrived; false ends the exchange without the body.
// append gets the body in the order it arrives, in pieces of at most kHttpReadChunk bytes;
// false stops the reading. Neither runs when no answer arrives.
inline constexpr std::size_t kHttpReadChunk = 4096;
struct HttpReader {
  std::function<bool(int status, std::int64_t contentLength)> start;
  std::function<bool(std::span<const std::uint8_t> piece)> append;
};
struct HttpOutcome {
  int status = 0;  // the answer's status; 0 when none arrived
  // The WinInet error number of the call that failed (12000 to 12171), 0 otherwise. With a
  // status, the body was cut short by that failure: the reader has what came.
  std::uint32_t error = 0;
  bool noMemory = false;  // the transport ran out of memory
};
// httpRequest sends the request and hands the answer to reader. A server that closes before
// the announced length ends the body without an error; the reader's own stop is no error
// either.
HttpOutcome httpRequest(const HttpRequest& request, const HttpReader& reader);

// moduleFileVersion returns the module's file version text as a version resource holds it
// ("1, 0, 0, 0"), or an empty string when it can't be read.
std::string moduleFileVersion();

}  // namespace kestrune::platform
