#pragma once
// Talking to the running instance from another process (a second start of
// the program, the store editor, the job command). No widgets, no event
// loop: a plain blocking exchange on the instance's local socket.
//
// The exchange is one request line from the caller and one answer line from
// the instance, after which the instance closes the connection. The answer
// is written only once the request was carried out on the instance's main
// loop, so a caller that got its answer knows the request took effect.
//
//   request = "ARGS" *(" " arg) "\n"   a command line, one field per argument,
//                                      handled as the instance's own options
//                                      (e.g. /runjob:NAME starts that job)
//           | "RELOAD" "\n"            the store was changed by someone else:
//                                      take in added, changed and deleted jobs
//           | "WAKE" "\n"              only bring the instance to the front
//           | "TYPES" SP ("LOAD" / "UNLOAD") 1*(SP arg) "\n"
//                                      load or unload the action types named
//                                      VENDOR:MODULE:ACTION, as the action
//                                      type dialog does (a module that is
//                                      not on disk is queued for download)
//           | "INSTALL" SP arg "\n"    install the module archive or signed
//                                      module file at this absolute path
//           | "JOB" 1*(SP arg) "\n"    one change to the jobs (jobs/JobRequest.h),
//                                      carried out by the job operations the
//                                      window uses; the answer's text is the
//                                      job's identifier and the operation's
//                                      own answer, as fields
//           | "STATUS" "\n"            whether the scheduler runs ("running",
//                                      "paused", "disabled")
//   arg     = the argument's bytes, with "%", " " and every byte below 0x20
//             or equal to 0x7F written as "%" and two upper-case hex digits
//   answer  = ("OK" / "ERR") [" " text] "\n"
//
// "OK" means done; "ERR" means the instance understood the request but
// could not do what it asked (no job of that name, the job is already
// running, an unknown request); the text says why. Lines are at most
// kMaxRequestLine bytes; a longer request is refused. Only a process of the
// same user can connect.
#include <string>
#include <string_view>
#include <vector>

#include "support/FieldCodec.h"

namespace zk40 {

inline constexpr size_t kMaxRequestLine = 64 * 1024;

struct InstanceAnswer {
    enum class Kind {
        NoInstance,  // nothing runs: the store is the only place to leave a change
        Ok,          // the instance did it
        Refused,     // the instance answered "ERR"
        NoAnswer,    // an instance holds the lock but did not answer in time
    };
    Kind kind = Kind::NoInstance;
    std::string text;  // the instance's text, or why there was no answer

    bool Delivered() const { return kind == Kind::Ok || kind == Kind::Refused; }
};

// The socket of the instance that runs with this runtime folder.
std::string InstanceSocketPath(const std::string& runtimeDir);

// Sends one request line (without its "\n") and waits up to timeoutMs for
// the answer. An instance that is still starting (it holds the lock but does
// not listen yet) is waited for within the same time; when no process holds
// the instance lock the answer is NoInstance at once.
InstanceAnswer SendInstanceRequest(const std::string& runtimeDir, const std::string& line,
                                   int timeoutMs = 30000);

// The requests, as lines.
std::string MakeArgsRequest(const std::vector<std::string>& args);
inline constexpr char kReloadRequest[] = "RELOAD";
inline constexpr char kWakeRequest[] = "WAKE";
inline constexpr char kStatusRequest[] = "STATUS";
std::string MakeJobRequest(const std::vector<std::string>& fields);
std::string MakeTypesRequest(bool load, const std::vector<std::string>& types);
std::string MakeInstallRequest(const std::string& path);

// Convenience: hand a command line over / say that the store changed.
InstanceAnswer HandOverArguments(const std::string& runtimeDir,
                                 const std::vector<std::string>& args, int timeoutMs = 30000);
InstanceAnswer NotifyStoreChanged(const std::string& runtimeDir, int timeoutMs = 30000);

// ---- the instance's side ----
struct InstanceRequest {
    enum class Verb { Args, Reload, Wake, Types, Install, Job, Status, Bad } verb = Verb::Bad;
    std::vector<std::string> args;  // for Types the types, for Install the file
    bool load = false;              // for Types: LOAD rather than UNLOAD
    std::string error;  // for Bad
};
InstanceRequest ParseInstanceRequest(std::string_view line);
std::string MakeAnswer(bool ok, std::string_view text);


}  // namespace zk40
