#pragma once
// libzip's entry points as this program uses them, loaded on first use
// (support/LazyLib.h). Call them as Zip().discard(za) and so on, after
// LoadZip() has succeeded.
#include <zip.h>

#include <string>

namespace zk40 {

struct ZipLib {
    // Each has the type of the declared function (declarations used, never
    // linked).
    decltype(&::zip_discard) discard;
    decltype(&::zip_error_code_zip) error_code_zip;
    decltype(&::zip_error_fini) error_fini;
    decltype(&::zip_error_init) error_init;
    decltype(&::zip_error_init_with_code) error_init_with_code;
    decltype(&::zip_error_set) error_set;
    decltype(&::zip_error_strerror) error_strerror;
    decltype(&::zip_fclose) fclose;
    decltype(&::zip_file_get_error) file_get_error;
    decltype(&::zip_fopen_index) fopen_index;
    decltype(&::zip_fread) fread;
    decltype(&::zip_get_error) get_error;
    decltype(&::zip_get_name) get_name;
    decltype(&::zip_get_num_entries) get_num_entries;
    decltype(&::zip_open_from_source) open_from_source;
    decltype(&::zip_source_file_create) source_file_create;
    decltype(&::zip_source_free) source_free;
    decltype(&::zip_stat_index) stat_index;
    decltype(&::zip_stat_init) stat_init;
    decltype(&::zip_libzip_version) libzip_version;
};

// Loads libzip once; nullptr (and why in error) when it cannot be had.
const ZipLib* LoadZip(std::string* error = nullptr);
// The table; only after LoadZip() succeeded.
inline const ZipLib& Zip() { return *LoadZip(); }

}  // namespace zk40
