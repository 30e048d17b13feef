#pragma once
// The keys and application values every part of the program shares. They
// are opened and bound once at start and live as long as the process.
#include <memory>
#include <string>

#include "store/AppPaths.h"
#include "store/RegValue.h"
#include "store/Store.h"

namespace zk40 {

inline constexpr char kMakerKeyPath[] = "Software\\DENTRAX-14";
inline constexpr char kProductKeyPath[] = "Software\\DENTRAX-14\\Zarkell'40";
inline constexpr char kProductKeyFullPath[] = "HKEY_CURRENT_USER\\Software\\DENTRAX-14\\Zarkell'40";

// Bits of base\Flags.
enum AppFlagBit : uint16_t {
    kFlagWizardOption = 0,
    kFlagUseWizard = 1,
    kFlagHideWhenMinimized = 2,
    kFlagUseTrayIcon = 3,
    kFlagStartMinimized = 4,
};

class TAppStore {
public:
    // Opens the store file of `paths` (or takes `store`), creates the fixed
    // keys and binds the application values. A store that cannot be opened
    // leaves empty handles: everything then works in memory only.
    explicit TAppStore(const AppPaths& paths);
    explicit TAppStore(std::unique_ptr<TStore> store);
    TAppStore(const TAppStore&) = delete;
    TAppStore& operator=(const TAppStore&) = delete;

    TStore* Store() const { return store_.get(); }
    const std::string& OpenError() const { return openError_; }

    TRegKey maker, product, base, jobs, crash;

    // base
    TRegDword Flags;
    TRegBool FlagBits[5];
    TRegDword ConnType;
    // crash
    TRegDword CrashFlags;
    TRegTime StartupTime;
    TRegTime ShutdownTime;

    // The in-memory copies of the five bits; dialogs change these and the
    // shutdown writes them back.
    bool FlagBit(int i) const { return bits_[i]; }
    void SetFlagBit(int i, bool on) { bits_[i] = on; }
    // Reads the five bits of Flags into memory.
    void LoadFlagBits();
    // Writes the five in-memory bits back as one number.
    void SaveFlagBits();

    bool RunningBit() const { return CrashFlags.Get() & 1u; }

private:
    void Bind(const AppPaths& paths);
    std::unique_ptr<TStore> store_;
    std::string openError_;
    bool bits_[5] = {};
};

}  // namespace zk40
