#pragma once
// Saving and restoring key trees as REGEDIT4 text (.reg files).
//
// What we write reads back byte for byte: a value that a quoted string
// cannot carry exactly goes out in hex(N): notation. Reading checks the whole
// file before anything in the store changes, and every change of a restore
// or import happens in one transaction, so a bad file leaves the store as
// it was.
#include <string>
#include <vector>

#include "store/Store.h"

namespace zk40 {

struct RegFileSection {
    // Key names below HKEY_CURRENT_USER, as written in the file.
    std::vector<std::string> path;
    // The section's [..] line, for messages.
    int line = 0;
    std::string header;
    // Values in file order; the default value has the empty name.
    std::vector<RegNamedValue> values;
};

struct RegFileContents {
    std::vector<RegFileSection> sections;
};

// Renders one key tree as REGEDIT4 text. keyPath is the key's full path as
// it should appear in the file ("HKEY_CURRENT_USER\\Software\\...").
bool FormatKeyTree(TStore& store, KeyId key, const std::string& keyPath, std::string* text,
                   std::string* error);

bool SaveKeyToFile(TStore& store, KeyId key, const std::string& keyPath, const std::string& file,
                   bool overwrite, std::string* error);

// Accepts what FormatKeyTree writes and the usual hand-made or regedit input
// for HKEY_CURRENT_USER; anything else is refused with "line N: reason".
bool ParseRegFile(const std::string& text, RegFileContents* out, std::string* error);

// The whole text of a regular file; a pipe, device or folder is refused
// without waiting on it.
bool ReadWholeFile(const std::string& file, std::string* text, std::string* error);
// Replaces the tree below key (which lives at keyPath) with the file's tree.
bool RestoreKeyFromFile(TStore& store, KeyId key, const std::string& keyPath,
                        const std::string& file, std::string* error);

// Adds the file's keys and values to the store, keeping everything else.
bool ImportRegFile(TStore& store, const std::string& file, std::string* error);

// Splits "HKEY_CURRENT_USER\\a\\b" or "HKCU\\a\\b" (any case, a trailing
// backslash allowed) into its key names below the root. False when the path
// names another root or has an empty or overlong key name.
bool SplitUserKeyPath(const std::string& path, std::vector<std::string>* names, std::string* error);

}  // namespace zk40
