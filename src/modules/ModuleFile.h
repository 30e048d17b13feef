#pragma once
// The trailer every module file carries: "DX", a 32-bit little-endian
// checksum of all bytes before it, "14". A file without a valid trailer is
// never loaded or installed.
#include <cstddef>
#include <cstdint>
#include <string>

namespace zk40 {

// A CRC-32 table walked with a left shift that keeps 24 bits, starting at
// 0xFFFFFFFF with no final inversion. Feed pieces by passing the previous
// result back in.
uint32_t ModuleChecksum(const void* data, size_t size, uint32_t crc = 0xFFFFFFFFu);

enum class ModuleFileCheck { Passes, Fails, Unreadable };
ModuleFileCheck CheckModuleFile(const std::string& path);

// A module's FILENAME is a plain name inside the action folder: not empty,
// no '/', not "." or "..". Anything else could make an update write, or a
// start load, a file outside that folder.
bool IsPlainFileName(const std::string& name);

// Appends the trailer (replacing a valid one already there). False with a
// reason on failure.
bool SignModuleFile(const std::string& path, std::string* error);

}  // namespace zk40
