// The archive reader, for both kinds of archive the update unpacks. A
// damaged archive changes no output file and is kept; a good one replaces
// the outputs and goes; and either way no temporary file is left beside the
// outputs.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "update/Archive.h"

using namespace zk40;
using zk40fuzz::Check;

namespace {

struct QuietProgress : IUpdateProgress {
    void Status(const std::string&) override {}
    void Progress(int percent) override {
        Check(percent >= 0 && percent <= 100, "progress out of range: " + std::to_string(percent));
    }
    void TimeRemaining(int) override {}
};

std::string Content(const std::string& path) {
    std::string s;
    return zk40fuzz::ReadFile(path, &s) ? s : std::string("<missing>");
}

void CheckOutcome(const ArchiveResult& r, const std::string& archive, const std::string& outDir,
                  const std::vector<std::string>& outputs, const std::vector<std::string>& before) {
    if (r.ok) {
        Check(!zk40fuzz::Exists(archive), "an unpacked archive was kept");
        Check(r.extracted == r.marked, "not every marked entry was extracted");
    } else {
        Check(zk40fuzz::Exists(archive), "a failed archive was deleted");
        Check(!r.error.empty() && r.code < 0, "a failure without reason or code");
        for (size_t i = 0; i < outputs.size(); ++i)
            Check(Content(outputs[i]) == before[i], "a failed archive changed " + outputs[i]);
    }
    for (const auto& name : zk40fuzz::ListDir(outDir)) {
        bool known = false;
        for (const auto& o : outputs) known = known || outDir + "/" + name == o;
        Check(known, "a file was left beside the outputs: " + name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = zk40fuzz::ScratchDir();
    const std::string outDir = dir + "/out";
    const std::string helpDir = dir + "/out";
    const std::string archive = dir + "/download.zip";
    const std::string module = outDir + "/module.so";
    const std::string help = outDir + "/module.hlp";
    ::mkdir(outDir.c_str(), 0700);
    for (const auto& name : zk40fuzz::ListDir(outDir)) ::unlink((outDir + "/" + name).c_str());
    zk40fuzz::WriteFile(module, "old module", 10);
    zk40fuzz::WriteFile(help, "old help", 8);
    const std::vector<std::string> outputs = {module, help};
    const std::vector<std::string> before = {"old module", "old help"};
    // Small enough that an entry over it is cheap to make.
    const uint64_t cap = 1 << 16;

    QuietProgress progress;
    zk40fuzz::WriteFile(archive, data, size);
    CheckOutcome(ExtractModuleArchive(archive, module, helpDir + "/", progress, cap), archive,
                 outDir, outputs, before);

    zk40fuzz::WriteFile(module, "old module", 10);
    zk40fuzz::WriteFile(help, "old help", 8);
    zk40fuzz::WriteFile(archive, data, size);
    CheckOutcome(ExtractSingleFileArchive(archive, module, progress, cap), archive, outDir, outputs,
                 before);
    return 0;
}
