#pragma once
// libcurl's entry points as this program uses them, loaded on first use
// (support/LazyLib.h). Call them as Curl().easy_init() and so on, after
// LoadCurl() has succeeded.
#include <curl/curl.h>

#include <string>

namespace zk40 {

struct CurlLib {
    // Each has the type of the declared function, so a call here is checked
    // as a direct call would be (the declarations are used, never linked).
    decltype(&::curl_global_init) global_init;
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_getinfo) easy_getinfo;
    decltype(&::curl_easy_pause) easy_pause;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_free) free;
    decltype(&::curl_multi_init) multi_init;
    decltype(&::curl_multi_add_handle) multi_add_handle;
    decltype(&::curl_multi_remove_handle) multi_remove_handle;
    decltype(&::curl_multi_cleanup) multi_cleanup;
    decltype(&::curl_multi_perform) multi_perform;
    decltype(&::curl_multi_poll) multi_poll;
    decltype(&::curl_multi_info_read) multi_info_read;
    decltype(&::curl_multi_strerror) multi_strerror;
    decltype(&::curl_url) url;
    decltype(&::curl_url_cleanup) url_cleanup;
    decltype(&::curl_url_set) url_set;
    decltype(&::curl_url_get) url_get;
    decltype(&::curl_url_strerror) url_strerror;
    decltype(&::curl_version_info) version_info;
};

// Loads libcurl once; nullptr (and why in error) when it cannot be had.
const CurlLib* LoadCurl(std::string* error = nullptr);
// The table; only after LoadCurl() succeeded.
inline const CurlLib& Curl() { return *LoadCurl(); }

}  // namespace zk40
