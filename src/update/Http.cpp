#include "update/Http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "update/CurlLib.h"

namespace zk40 {

namespace {

// Body bytes kept per transfer before it is paused. Large enough that a fast
// server is rarely held up between two reads of the caller, small enough that
// a 200 MB download never sits in memory.
constexpr size_t kBodyBufferLimit = 1 << 20;
constexpr long kMaxRedirects = 5;

thread_local std::string tOpenError;

const char* ReasonOf(long status) {
    // HTTP/2 answers carry no reason phrase; these are the ones a user meets.
    switch (status) {
        case 300:
            return "Multiple Choices";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 407:
            return "Proxy Authentication Required";
        case 408:
            return "Request Timeout";
        case 410:
            return "Gone";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "";
    }
}

struct Transfer {
    std::mutex mutex;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    bool added = false;
    bool secure = false;
    std::string host;
    long port = 0;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    // The response whose header is being read; reset by every 1xx answer and
    // by every redirect curl follows.
    long status = 0;
    std::string reason;
    long long headerBytes = 0;
    bool headerDone = false;
    // The length this response announced, -1 while none.
    long long announced = -1;

    // Body bytes not yet handed to the caller: body[bodyHead, body.size()).
    std::string body;
    size_t bodyHead = 0;
    bool paused = false;

    bool finished = false;
    int failure = 0;
    std::string failureText;

    ~Transfer() {
        if (multi && easy && added) Curl().multi_remove_handle(multi, easy);
        if (easy) Curl().easy_cleanup(easy);
        if (multi) Curl().multi_cleanup(multi);
    }

    size_t Buffered() const { return body.size() - bodyHead; }

    void Fail(int code, std::string text) {
        if (failure != 0) return;
        failure = code;
        failureText = std::move(text);
    }

    // The final answer's header is complete: anything but 2xx fails here, so
    // an error page is never handed out as the body.
    void FinishHeader() {
        if (headerDone) return;
        headerDone = true;
        if (status == 0) Curl().easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200 && status < 300) return;
        std::string text = "Server answered " + std::to_string(status);
        std::string why = reason.empty() ? ReasonOf(status) : reason;
        if (!why.empty()) text += " " + why;
        Fail(kHttpStatusNot2xx, text);
    }

    void Finished(CURLcode result) {
        finished = true;
        if (failure != 0) return;
        if (result == CURLE_OK) {
            FinishHeader();
            return;
        }
        const char* detail = errorBuffer[0] ? errorBuffer : Curl().easy_strerror(result);
        std::string where = host + " port " + std::to_string(port);
        switch (result) {
            case CURLE_COULDNT_RESOLVE_HOST:
                Fail(kHttpResolveFailed, "Cannot resolve host " + host);
                break;
            case CURLE_COULDNT_RESOLVE_PROXY:
                Fail(kHttpResolveFailed, std::string("Cannot resolve the proxy host: ") + detail);
                break;
            case CURLE_COULDNT_CONNECT: {
                long osErrno = 0;
                Curl().easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
                std::string why = osErrno ? std::strerror(static_cast<int>(osErrno)) : detail;
                Fail(kHttpConnectFailed, "Cannot connect to " + where + " (" + why + ")");
                break;
            }
            case CURLE_SSL_CONNECT_ERROR:
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_CERTPROBLEM:
            case CURLE_SSL_CACERT_BADFILE:
            case CURLE_SSL_ISSUER_ERROR:
            case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
                Fail(kHttpConnectFailed, "Secure connection to " + where + " failed: " + detail);
                break;
            case CURLE_PARTIAL_FILE:
                Fail(kHttpTransferFailed, "Download from " + host + " ended early: " + detail);
                break;
            default:
                Fail(kHttpTransferFailed, "Download from " + host + " failed: " + detail);
                break;
        }
    }

    // Lets curl do whatever is ready and collects the end of the transfer.
    void Drive() {
        if (finished || failure != 0) return;
        int running = 0;
        CURLMcode mc = Curl().multi_perform(multi, &running);
        if (mc != CURLM_OK) {
            finished = true;
            Fail(kHttpTransferFailed,
                 "Download from " + host + " failed: " + Curl().multi_strerror(mc));
            return;
        }
        int left = 0;
        while (CURLMsg* msg = Curl().multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) Finished(msg->data.result);
        }
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        size_t n = size * count;
        // Trailers of a chunked body come here as well; they change nothing.
        if (t->headerDone) return n;
        std::string_view line(data, n);
        if (line.starts_with("HTTP/")) {
            t->headerBytes = 0;
            t->announced = -1;
            t->status = 0;
            t->reason.clear();
            size_t sp = line.find(' ');
            if (sp != std::string_view::npos) {
                std::string_view rest = line.substr(sp + 1);
                long code = 0;
                size_t i = 0;
                while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && i < 3)
                    code = code * 10 + (rest[i++] - '0');
                t->status = code;
                std::string_view why = rest.substr(i);
                while (!why.empty() && (why.front() == ' ')) why.remove_prefix(1);
                while (!why.empty() &&
                       (why.back() == '\r' || why.back() == '\n' || why.back() == ' '))
                    why.remove_suffix(1);
                t->reason.assign(why);
            }
        }
        t->headerBytes += static_cast<long long>(n);
        t->CheckLength(line);
        if (line == "\r\n" || line == "\n") {
            if (t->status >= 100 && t->status < 200) {
                // An interim answer; the real one follows.
                t->headerBytes = 0;
            } else if (t->status < 300 || t->status >= 400) {
                t->FinishHeader();
            }
            // A 3xx is decided later: curl either follows it (a new status line
            // arrives) or hands out its body or ends, which finishes it then.
        }
        return n;
    }

    // A length we cannot take at its word fails the transfer: two
    // Content-Length fields that differ (which one the body follows is a
    // guess, and a cut body would pass as whole), or one that is not a
    // number or does not fit 63 bits (read as "none", a cut body would
    // pass as well). The same value repeated, or listed with commas, is
    // allowed.
    void CheckLength(std::string_view line) {
        constexpr std::string_view kName = "content-length:";
        if (line.size() < kName.size()) return;
        for (size_t i = 0; i < kName.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(line[i])) != kName[i]) return;
        std::string_view rest = line.substr(kName.size());
        std::string text(rest);
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n' ||
                                 text.back() == ' ' || text.back() == '\t'))
            text.pop_back();
        text.erase(0, std::min(text.size(), text.find_first_not_of(" \t")));
        size_t pos = 0;
        for (;;) {
            size_t comma = text.find(',', pos);
            std::string_view item =
                std::string_view(text).substr(pos, comma == std::string::npos ? text.npos : comma - pos);
            while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
                item.remove_prefix(1);
            while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
                item.remove_suffix(1);
            long long value = 0;
            bool valid = !item.empty();
            for (char c : item) {
                if (c < '0' || c > '9' || value > (LLONG_MAX - (c - '0')) / 10) {
                    valid = false;
                    break;
                }
                value = value * 10 + (c - '0');
            }
            if (!valid) {
                Fail(kHttpTransferFailed,
                     "Server announced an unusable length (Content-Length: " + text + ")");
                return;
            }
            if (announced >= 0 && value != announced) {
                Fail(kHttpTransferFailed, "Server announced two different lengths (" +
                                              std::to_string(announced) + " and " +
                                              std::to_string(value) + " bytes)");
                return;
            }
            announced = value;
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        size_t n = size * count;
        t->FinishHeader();
        // The body of an error answer is not wanted; refusing it ends the
        // transfer at once.
        if (t->failure != 0) return 0;
        if (t->Buffered() >= kBodyBufferLimit) {
            t->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (t->bodyHead > 0 && t->bodyHead == t->body.size()) {
            t->body.clear();
            t->bodyHead = 0;
        } else if (t->bodyHead >= kBodyBufferLimit) {
            t->body.erase(0, t->bodyHead);
            t->bodyHead = 0;
        }
        t->body.append(data, n);
        return n;
    }
};

std::mutex gTableMutex;
std::unordered_map<int, std::shared_ptr<Transfer>> gTable;
int gNextHandle = 1;

std::shared_ptr<Transfer> Find(int h) {
    std::lock_guard lock(gTableMutex);
    auto it = gTable.find(h);
    return it == gTable.end() ? nullptr : it->second;
}

// Loads the library on the first transfer; error says why it failed.
bool GlobalInit(std::string* error) {
    static std::string why;
    static const bool ok = [] {
        const CurlLib* lib = LoadCurl(&why);
        if (!lib) return false;
        if (lib->global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) return true;
        why = "the HTTP library could not be initialised";
        return false;
    }();
    if (!ok) *error = why;
    return ok;
}

curl_off_t InfoTime(CURL* easy, CURLINFO what) {
    curl_off_t value = 0;
    if (Curl().easy_getinfo(easy, what, &value) != CURLE_OK) return 0;
    return value;
}

}  // namespace

int _HTTP_Open(const char* hostAndPath, int secure) {
    tOpenError.clear();
    if (!hostAndPath || !*hostAndPath) {
        tOpenError = "no host name given";
        return 0;
    }
    if (!GlobalInit(&tOpenError)) return 0;
    std::string url = std::string(secure ? "https://" : "http://") + hostAndPath;

    // Parse first so that a malformed address is refused here with a reason,
    // rather than surfacing later as a vague transfer error.
    CURLU* parsed = Curl().url();
    if (!parsed) {
        tOpenError = "out of memory";
        return 0;
    }
    std::unique_ptr<CURLU, void (*)(CURLU*)> parsedGuard(parsed, Curl().url_cleanup);
    CURLUcode uc = Curl().url_set(parsed, CURLUPART_URL, url.c_str(), 0);
    if (uc != CURLUE_OK) {
        tOpenError = std::string("malformed address '") + hostAndPath + "' (" +
                     Curl().url_strerror(uc) + ")";
        return 0;
    }
    auto t = std::make_shared<Transfer>();
    t->secure = secure != 0;
    char* part = nullptr;
    if (Curl().url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) {
        t->host = part;
        Curl().free(part);
    }
    part = nullptr;
    if (Curl().url_get(parsed, CURLUPART_PORT, &part, CURLU_DEFAULT_PORT) == CURLUE_OK && part) {
        t->port = std::strtol(part, nullptr, 10);
        Curl().free(part);
    }
    if (t->host.empty()) {
        tOpenError = std::string("no host name in '") + hostAndPath + "'";
        return 0;
    }

    t->multi = Curl().multi_init();
    t->easy = Curl().easy_init();
    if (!t->multi || !t->easy) {
        tOpenError = "out of memory";
        return 0;
    }
    CURL* e = t->easy;
    bool ok = Curl().easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK;
    // Only the web protocols, whatever a redirect asks for; a secure download
    // never falls back to plain http on a redirect.
    ok = ok &&
         Curl().easy_setopt(e, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https") == CURLE_OK;
    ok = ok && Curl().easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR,
                                  secure ? "https" : "http,https") == CURLE_OK;
    Curl().easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    Curl().easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
    Curl().easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    Curl().easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    // Signals would hit whichever thread happens to be in curl.
    Curl().easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    Curl().easy_setopt(e, CURLOPT_USERAGENT, "Zarkell40");
    Curl().easy_setopt(e, CURLOPT_BUFFERSIZE, 128L * 1024L);
    Curl().easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorBuffer);
    Curl().easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
    Curl().easy_setopt(e, CURLOPT_HEADERDATA, t.get());
    Curl().easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
    Curl().easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    if (!ok) {
        tOpenError = "the HTTP library refused the transfer settings";
        return 0;
    }
    if (Curl().multi_add_handle(t->multi, e) != CURLM_OK) {
        tOpenError = "the HTTP library could not start the transfer";
        return 0;
    }
    t->added = true;

    int handle = 0;
    {
        std::lock_guard lock(gTableMutex);
        // Handles are not reused while the counter has not wrapped; after a
        // wrap, skip those still open.
        for (int tries = 0; tries < INT_MAX && handle == 0; ++tries) {
            int candidate = gNextHandle;
            gNextHandle = gNextHandle == INT_MAX ? 1 : gNextHandle + 1;
            if (!gTable.count(candidate)) handle = candidate;
        }
        if (handle == 0) {
            tOpenError = "too many open transfers";
            return 0;
        }
        gTable.emplace(handle, t);
    }
    std::lock_guard lock(t->mutex);
    t->Drive();
    return handle;
}

int _HTTP_ReadHdr(int h) {
    auto t = Find(h);
    if (!t) return kHttpTransferFailed;
    std::lock_guard lock(t->mutex);
    t->Drive();
    // A failure after a good header belongs to the body; _HTTP_Read reports it.
    if (t->headerDone && t->failure != kHttpStatusNot2xx) return 0;
    if (t->failure != 0) return t->failure;
    if (t->headerBytes > 0) return static_cast<int>(std::min<long long>(t->headerBytes, INT_MAX));
    // Phases from curl's timings: each is 0 until that step has completed.
    bool connected = InfoTime(t->easy, CURLINFO_CONNECT_TIME_T) > 0 &&
                     (!t->secure || InfoTime(t->easy, CURLINFO_APPCONNECT_TIME_T) > 0);
    if (connected) return kHttpWaitingForResponse;
    if (InfoTime(t->easy, CURLINFO_NAMELOOKUP_TIME_T) > 0) return kHttpConnecting;
    return kHttpResolving;
}

long long _HTTP_Length(int h) {
    auto t = Find(h);
    if (!t) return 0;
    std::lock_guard lock(t->mutex);
    if (!t->headerDone || t->failure == kHttpStatusNot2xx) return 0;
    curl_off_t length = -1;
    if (Curl().easy_getinfo(t->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        return 0;
    return length > 0 ? static_cast<long long>(length) : 0;
}

int _HTTP_Read(int h, char* buf, int size) {
    auto t = Find(h);
    if (!t) return kHttpTransferFailed;
    if (!buf || size <= 0) return kHttpNoDataYet;
    std::lock_guard lock(t->mutex);
    if (t->Buffered() == 0) t->Drive();
    size_t n = std::min(t->Buffered(), static_cast<size_t>(size));
    if (n > 0) {
        std::memcpy(buf, t->body.data() + t->bodyHead, n);
        t->bodyHead += n;
        if (t->paused && t->Buffered() < kBodyBufferLimit && !t->finished) {
            t->paused = false;
            // May call OnBody right away with the data it held back.
            Curl().easy_pause(t->easy, CURLPAUSE_CONT);
        }
        return static_cast<int>(n);
    }
    if (t->failure != 0) return t->failure;
    if (!t->headerDone) return kHttpNoDataYet;
    if (t->finished) return 0;
    return kHttpNoDataYet;
}

void _HTTP_Close(int h) {
    std::shared_ptr<Transfer> t;
    {
        std::lock_guard lock(gTableMutex);
        auto it = gTable.find(h);
        if (it == gTable.end()) return;
        t = std::move(it->second);
        gTable.erase(it);
    }
    // A call on another thread may still hold the transfer; the last owner
    // tears it down, under its lock so that a running call finishes first.
    std::lock_guard lock(t->mutex);
}

void HttpWait(int h, int ms) {
    auto t = Find(h);
    if (!t) return;
    std::lock_guard lock(t->mutex);
    t->Drive();
    if (t->finished || t->failure != 0 || t->Buffered() > 0 || ms <= 0) return;
    int fds = 0;
    Curl().multi_poll(t->multi, nullptr, 0, ms, &fds);
}

std::string HttpFailureText(int h) {
    auto t = Find(h);
    if (!t) return "no such transfer (handle " + std::to_string(h) + ")";
    std::lock_guard lock(t->mutex);
    return t->failureText;
}

std::string HttpOpenErrorText() { return tOpenError; }

}  // namespace zk40
