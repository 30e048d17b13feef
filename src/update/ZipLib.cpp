#include "update/ZipLib.h"

#include "support/LazyLib.h"

namespace zk40 {

namespace {

bool Fill(void* h, ZipLib* t, std::string* missing) {
    bool ok = true;
#define ZK40_ZIP(field) ok = LazySymbol(h, "zip_" #field, &t->field, missing) && ok
    ZK40_ZIP(discard);
    ZK40_ZIP(error_code_zip);
    ZK40_ZIP(error_fini);
    ZK40_ZIP(error_init);
    ZK40_ZIP(error_init_with_code);
    ZK40_ZIP(error_set);
    ZK40_ZIP(error_strerror);
    ZK40_ZIP(fclose);
    ZK40_ZIP(file_get_error);
    ZK40_ZIP(fopen_index);
    ZK40_ZIP(fread);
    ZK40_ZIP(get_error);
    ZK40_ZIP(get_name);
    ZK40_ZIP(get_num_entries);
    ZK40_ZIP(open_from_source);
    ZK40_ZIP(source_file_create);
    ZK40_ZIP(source_free);
    ZK40_ZIP(stat_index);
    ZK40_ZIP(stat_init);
    ZK40_ZIP(libzip_version);
#undef ZK40_ZIP
    return ok;
}

}  // namespace

const ZipLib* LoadZip(std::string* error) {
    static TLazyLib<ZipLib> lib("libzip.so.4", &Fill);
    return lib.Get(error);
}

}  // namespace zk40
