#pragma once
// The program's HTTP client: five C-style calls that open a transfer, report
// its header phase, its announced length and hand out its body, all returning
// at once so that the update worker can poll them and still answer a stop
// request. Behind them runs libcurl's multi interface; each transfer keeps at
// most about 1 MiB of body in memory (the transfer is paused while the caller
// has not read it), so a large download never grows the process.
//
// Every call is safe from any thread; different handles may be used by
// different threads at the same time.
#include <string>

namespace zk40 {

// Results of _HTTP_ReadHdr while the transfer has not answered yet.
inline constexpr int kHttpResolving = -8;
inline constexpr int kHttpConnecting = -9;
inline constexpr int kHttpWaitingForResponse = -7;
// _HTTP_Read: no body bytes have arrived since the last call.
inline constexpr int kHttpNoDataYet = -7;
// Failures. A caller never treats them as an empty success.
inline constexpr int kHttpResolveFailed = -2;
inline constexpr int kHttpConnectFailed = -3;
inline constexpr int kHttpStatusNot2xx = -4;
inline constexpr int kHttpTransferFailed = -5;

// Starts a transfer of "host[:port]/path" (the URL without its scheme) over
// http, or over https with certificate and host name verification when
// secure is 1. Returns a handle above 0, or 0 when the address is malformed or
// no resources are left (HttpOpenErrorText says which).
int _HTTP_Open(const char* hostAndPath, int secure);

// kHttpResolving, kHttpConnecting, kHttpWaitingForResponse while the answer
// has not begun; above 0 (bytes of header so far) while the header arrives;
// 0 once a 2xx header is complete. A failure before that returns one of the
// failure codes above, and keeps returning it.
int _HTTP_ReadHdr(int h);

// The body length the server announced; 0 or less when it announced none (or
// the header is not complete yet).
long long _HTTP_Length(int h);

// Copies up to size body bytes into buf and returns their number;
// kHttpNoDataYet when none are waiting; 0 at the regular end of the body.
// Bytes that arrived before a failure are handed out first; then the failure
// code is returned (kHttpTransferFailed for a connection lost or a body
// shorter than announced), so a truncated body is never taken for a whole one.
int _HTTP_Read(int h, char* buf, int size);

// Ends the transfer and releases the handle. Unknown handles are ignored.
void _HTTP_Close(int h);

// Waits up to ms milliseconds for something to do on the transfer (body bytes,
// the header, its end), returning early when there is. A poll loop calls it in
// place of a plain sleep so a fast download is not throttled by its own
// polling interval.
void HttpWait(int h, int ms);

// What went wrong with a transfer that returned a failure code, in words for
// the user ("Cannot resolve host example.invalid", "Server answered 404 Not
// Found"); empty while nothing failed.
std::string HttpFailureText(int h);

// Why the last _HTTP_Open on the calling thread returned 0.
std::string HttpOpenErrorText();

}  // namespace zk40
