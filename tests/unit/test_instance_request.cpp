// The request lines other processes send to the running instance.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/InstanceRequest.h"
#include "jobs/JobRequest.h"

using namespace zk40;

namespace {

TEST(InstanceRequest, ArgumentsSurviveTheLineWhateverTheyHold) {
    std::vector<std::string> args = {
        "/runjob:\"Nightly Backup\"", "", "100%", "a\nb\tc", "\x7f\x01 end", "%41", "ünïcode"};
    std::string line = MakeArgsRequest(args);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    InstanceRequest rq = ParseInstanceRequest(line);
    ASSERT_EQ(rq.verb, InstanceRequest::Verb::Args) << rq.error;
    EXPECT_EQ(rq.args, args);
    EXPECT_TRUE(ParseInstanceRequest(MakeArgsRequest({})).args.empty());

    rq = ParseInstanceRequest(MakeTypesRequest(false, {"V:M:A", "VEND 2:MOD%:ACT"}));
    ASSERT_EQ(rq.verb, InstanceRequest::Verb::Types) << rq.error;
    EXPECT_FALSE(rq.load);
    EXPECT_EQ(rq.args, (std::vector<std::string>{"V:M:A", "VEND 2:MOD%:ACT"}));
    rq = ParseInstanceRequest(MakeInstallRequest("/home/u/my modules/x.zkz"));
    ASSERT_EQ(rq.verb, InstanceRequest::Verb::Install) << rq.error;
    EXPECT_EQ(rq.args, std::vector<std::string>{"/home/u/my modules/x.zkz"});
}

// A job request crosses the line whole, whatever its names and values hold,
// and a request the program does not understand is refused, not guessed at.
TEST(InstanceRequest, JobRequestsCrossTheLineWholeAndMalformedOnesAreRefused) {
    JobRequest rq;
    rq.op = JobRequest::Op::New;
    rq.input.options = {{"name", "back up \"home\" 100% now\n"}, {"kind", "weekly"},
                        {"on", "sun"}, {"no-window", ""}};
    rq.actions.push_back({"V", "M", "A", "step one", {{1, true, "/bin/sh", 0}, {4, false, "", 7}}});
    rq.actions.push_back({"V", "M", "B", "", {}});
    InstanceRequest line = ParseInstanceRequest(MakeJobRequest(rq.ToFields()));
    ASSERT_EQ(line.verb, InstanceRequest::Verb::Job) << line.error;
    JobRequest back;
    std::string error;
    ASSERT_TRUE(back.FromFields(line.args, &error)) << error;
    EXPECT_EQ(back.op, rq.op);
    EXPECT_EQ(back.input.options, rq.input.options);
    ASSERT_EQ(back.actions.size(), 2u);
    EXPECT_EQ(back.actions[0].Name, "step one");
    ASSERT_EQ(back.actions[0].Properties.size(), 2u);
    EXPECT_EQ(back.actions[0].Properties[0].Text, "/bin/sh");
    EXPECT_FALSE(back.actions[0].Properties[1].IsText);
    EXPECT_EQ(back.actions[0].Properties[1].Number, 7u);
    EXPECT_EQ(back.actions[1].Action, "B");

    const std::vector<std::vector<std::string>> bad = {
        {},                                  // no operation
        {"op=explode"},                      // unknown operation
        {"op=edit", "id=xyz"},               // not a job id
        {"op=edit", "o:colour=red"},         // no such option
        {"op=action", "a=V:M"},              // half an action type
        {"op=action", "a=V:M:A", "ap=x:t:"}, // a value without its number
        {"op=action", "a=V:M:A", "ap=1:q:"}, // neither text nor number
        {"op=edit", "garbage"},
    };
    for (const auto& fields : bad) {
        std::string why;
        EXPECT_FALSE(back.FromFields(fields, &why)) << (fields.empty() ? "" : fields.back());
        EXPECT_FALSE(why.empty());
    }
    // The answer keeps its text whole too.
    JobAnswer a = ParseJobAnswer(true, FormatJobAnswer({true, 0x2A, "two words"}));
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.id, 0x2Au);
    EXPECT_EQ(a.text, "two words");
    EXPECT_FALSE(ParseJobAnswer(true, "nonsense").ok);
}

TEST(InstanceRequest, VerbsAndMalformedLines) {
    struct Case {
        const char* line;
        InstanceRequest::Verb verb;
    } cases[] = {
        {"RELOAD", InstanceRequest::Verb::Reload},
        {"RELOAD\r", InstanceRequest::Verb::Reload},
        {"WAKE", InstanceRequest::Verb::Wake},
        {"ARGS /runjob:X", InstanceRequest::Verb::Args},
        {"RELOAD now", InstanceRequest::Verb::Bad},
        {"reload", InstanceRequest::Verb::Bad},
        {"", InstanceRequest::Verb::Bad},
        {"ARGS bad%4", InstanceRequest::Verb::Bad},
        {"ARGS bad%G1", InstanceRequest::Verb::Bad},
        {"ARGS bad%", InstanceRequest::Verb::Bad},
        {"TYPES LOAD V:M:A", InstanceRequest::Verb::Types},
        {"TYPES LOAD", InstanceRequest::Verb::Bad},
        {"TYPES", InstanceRequest::Verb::Bad},
        {"TYPES RELOAD V:M:A", InstanceRequest::Verb::Bad},
        {"TYPES UNLOAD bad%4", InstanceRequest::Verb::Bad},
        {"INSTALL /tmp/x.zkz", InstanceRequest::Verb::Install},
        {"INSTALL", InstanceRequest::Verb::Bad},
        {"INSTALL /a /b", InstanceRequest::Verb::Bad},
        {"STATUS", InstanceRequest::Verb::Status},
        {"STATUS now", InstanceRequest::Verb::Bad},
        {"JOB op=run id=0000002A", InstanceRequest::Verb::Job},
        {"JOB", InstanceRequest::Verb::Bad},
        {"JOB op=run%4", InstanceRequest::Verb::Bad},
    };
    for (const Case& c : cases) {
        InstanceRequest rq = ParseInstanceRequest(c.line);
        EXPECT_EQ(rq.verb, c.verb) << c.line;
        EXPECT_EQ(rq.error.empty(), c.verb != InstanceRequest::Verb::Bad) << c.line;
    }
    EXPECT_EQ(MakeAnswer(false, "no job\nnamed x"), "ERR no job named x\n");
    // An unknown request is named back without its raw bytes.
    EXPECT_EQ(ParseInstanceRequest(std::string("X\0\xff\x1b[2J", 7)).error,
              "unknown request \"X\\x00\\xFF\\x1B[2J\"");
    EXPECT_EQ(MakeAnswer(true, {}), "OK\n");
}

TEST(InstanceRequest, NoInstanceWhenNothingHoldsTheLock) {
    // A folder without a socket or a lock, and one with a stale socket file
    // of a process that is gone: both answer at once that nothing runs.
    char tmpl[] = "/tmp/zk40-ir-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    EXPECT_EQ(NotifyStoreChanged(dir, 5000).kind, InstanceAnswer::Kind::NoInstance);
    FILE* lock = fopen((dir + "/DX14-ZK40-Instance.lock").c_str(), "w");
    ASSERT_NE(lock, nullptr);
    fclose(lock);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sock = InstanceSocketPath(dir);
    memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);  // the file stays, nobody listens
    EXPECT_EQ(HandOverArguments(dir, {"/runjob:X"}, 5000).kind, InstanceAnswer::Kind::NoInstance);
    std::remove((dir + "/DX14-ZK40-Instance.lock").c_str());
    std::remove(sock.c_str());
    rmdir(tmpl);
}

}  // namespace
