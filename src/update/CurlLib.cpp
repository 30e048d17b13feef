#include "update/CurlLib.h"

#include "support/LazyLib.h"

namespace zk40 {

namespace {

bool Fill(void* h, CurlLib* t, std::string* missing) {
    bool ok = true;
#define ZK40_CURL(field) ok = LazySymbol(h, "curl_" #field, &t->field, missing) && ok
    ZK40_CURL(global_init);
    ZK40_CURL(easy_init);
    ZK40_CURL(easy_setopt);
    ZK40_CURL(easy_getinfo);
    ZK40_CURL(easy_pause);
    ZK40_CURL(easy_cleanup);
    ZK40_CURL(easy_strerror);
    ZK40_CURL(free);
    ZK40_CURL(multi_init);
    ZK40_CURL(multi_add_handle);
    ZK40_CURL(multi_remove_handle);
    ZK40_CURL(multi_cleanup);
    ZK40_CURL(multi_perform);
    ZK40_CURL(multi_poll);
    ZK40_CURL(multi_info_read);
    ZK40_CURL(multi_strerror);
    ZK40_CURL(url);
    ZK40_CURL(url_cleanup);
    ZK40_CURL(url_set);
    ZK40_CURL(url_get);
    ZK40_CURL(url_strerror);
    ZK40_CURL(version_info);
#undef ZK40_CURL
    return ok;
}

}  // namespace

const CurlLib* LoadCurl(std::string* error) {
    static TLazyLib<CurlLib> lib("libcurl.so.4", &Fill);
    return lib.Get(error);
}

}  // namespace zk40
