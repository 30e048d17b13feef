#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TestEnv.h"
#include "jobs/ActionHandle.h"
#include "jobs/Job.h"
#include "store/Store.h"

using namespace zk40;
using zk40test::TempDir;

namespace {

// A function, not a constant: times are not computed during static set-up.
StoreTime Now() { return ToStoreTime(2024, 6, 3, 10, 30, 0); }

struct ActionFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<TStore> store = TStore::Open(dir / "store.db");
    TRegKey jobs{store.get(), "Software\\DENTRAX-14\\Zarkell'40\\jobs"};
    TRegKey actions{store.get(), "Software\\DENTRAX-14\\Zarkell'40\\actions"};
    FixedClock clock{Now()};

    // A job with three actions V1..V3, each with a property RID-0001 = 10 * n,
    // a child "c<n>" and a grandchild "g<n>" under it.
    std::unique_ptr<TJob> JobOfThree() {
        auto job = std::make_unique<TJob>(jobs, actions, clock);
        for (int n = 1; n <= 3; ++n) {
            const std::string s = std::to_string(n);
            uint32_t h = job->AddAction("V" + s, "M", "A");
            job->SetProperty(h, {.Id = 1, .Code = 1, .Number = 10u * n});
            job->SetChildText(h, 1, "c" + s);
            job->SetGrandchildText(h, 1, 1, "g" + s);
        }
        return job;
    }

    // What the store holds at one action index, in one line.
    std::string Stored(const TJob& job, uint32_t index) {
        TRegKey k(TRegKey(jobs, job.KeyName(), false), TAction::KeyName(index), false);
        if (!k.IsValid()) return "-";
        return k.GetString("VendorID") +
               " rid=" + std::to_string(TRegKey(k, "RID", false).GetDword("RID-0001")) +
               " child=" + TRegKey(k, "CHILDREN", false).GetString("CHILD-00001") +
               " grand=" + TRegKey(k, "CHILDREN\\CHILD-00001", false).GetString("CHILD-00001");
    }
    std::vector<std::string> InMemory(const TJob& job) {
        std::vector<std::string> out;
        for (size_t i = 0; i < job.ActionCount(); ++i) {
            TAction* a = job.ActionAt(i);
            out.push_back(a->VendorID.Get() + "@" + std::to_string(a->Index()));
        }
        return out;
    }
};

TEST_F(ActionFixture, LoadFindsActionsAcrossGapsAndEndsDespiteAStraySubkey) {
    TRegKey jobKey(jobs, "00000001");
    jobKey.SetDword("NumActions", 2);
    TRegKey(jobKey, "A00000001").SetString("VendorID", "V1");
    TRegKey(jobKey, "A00000003").SetString("VendorID", "V3");
    TRegKey(jobKey, "A00000004").SetString("Name", "no vendor");
    TRegKey(jobKey, "Notes").SetString("x", "not an action");

    TJob job(jobs, actions, 1, clock);
    EXPECT_EQ(InMemory(job), (std::vector<std::string>{"V1@1", "V3@3"}));
    EXPECT_FALSE(TRegKey(jobKey, "A00000002", false).IsValid());
    EXPECT_FALSE(TRegKey(jobKey, "A00000004", false).IsValid()) << "a key without an action goes";
    EXPECT_TRUE(TRegKey(jobKey, "Notes", false).IsValid());

    // NumActions fell behind the keys: a new action must not take index 3.
    job.AddAction("V5", "M", "A");
    EXPECT_EQ(InMemory(job), (std::vector<std::string>{"V1@1", "V3@3", "V5@4"}));
    EXPECT_EQ(Stored(job, 3).substr(0, 2), "V3");
    EXPECT_EQ(jobKey.GetDword("NumActions"), 4u);
}

TEST_F(ActionFixture, LegacyPropertyValuesMoveIntoTheRidSubkey) {
    TRegKey jobKey(jobs, "00000002");
    TRegKey a1(jobKey, "A00000001");
    a1.SetString("VendorID", "V");
    a1.SetDword("RID-0001", 7);
    a1.SetString("RID-0002", "abc");
    a1.Set("RID-0003", REG_BINARY, "\x01\x02");
    a1.SetString("Name", "first");
    // An action that already has subkeys is left as it is.
    TRegKey a2(jobKey, "A00000002");
    a2.SetString("VendorID", "V");
    a2.SetDword("RID-0005", 5);
    TRegKey(a2, "RID").SetDword("RID-0009", 9);

    TJob job(jobs, actions, 2, clock);
    ASSERT_EQ(job.ActionCount(), 2u);
    RegValueData d;
    TRegKey rid(a1, "RID", false);
    ASSERT_EQ(rid.Query("RID-0001", &d), kRegOk);
    EXPECT_EQ(d.type, REG_DWORD);
    EXPECT_EQ(d.data, std::string("\x07\0\0\0", 4));
    ASSERT_EQ(rid.Query("RID-0002", &d), kRegOk);
    EXPECT_EQ(d.type, REG_SZ);
    EXPECT_EQ(d.data, "abc");
    EXPECT_FALSE(a1.HasValue("RID-0001"));
    EXPECT_FALSE(a1.HasValue("RID-0002"));
    EXPECT_TRUE(a1.HasValue("RID-0003")) << "other types stay";
    EXPECT_EQ(a1.GetString("Name"), "first");
    EXPECT_TRUE(a2.HasValue("RID-0005"));

    // And the module finds the moved value where it asks for it.
    TPropertyRequest req{.Id = 1, .Code = 1, .Number = 99};
    ASSERT_TRUE(job.GetProperty(job.ActionAt(0)->Handle(), req));
    EXPECT_EQ(req.Number, 7u);
}

TEST_F(ActionFixture, DeletingTheFirstOfThreeMovesTheOthersDownWithTheirSubkeys) {
    auto job = JobOfThree();
    const uint32_t first = job->ActionAt(0)->Handle();
    const uint32_t third = job->ActionAt(2)->Handle();
    ASSERT_TRUE(job->DeleteAction(first));

    EXPECT_EQ(Stored(*job, 1), "V2 rid=20 child=c2 grand=g2");
    EXPECT_EQ(Stored(*job, 2), "V3 rid=30 child=c3 grand=g3");
    EXPECT_EQ(Stored(*job, 3), "-");
    EXPECT_EQ(job->NumActions.Get(), 2u);
    EXPECT_EQ(InMemory(*job), (std::vector<std::string>{"V2@1", "V3@2"}));
    EXPECT_EQ(ResolveActionHandle(first), nullptr);
    EXPECT_EQ(ResolveActionHandle(third), job->ActionAt(1)) << "the survivors keep their handles";

    // What is stored loads back the same way.
    TJob again(jobs, actions, job->Id(), clock);
    EXPECT_EQ(InMemory(again), (std::vector<std::string>{"V2@1", "V3@2"}));
}

TEST_F(ActionFixture, DeletingAcrossAnIndexGapDeletesTheRightAction) {
    // NumActions says 2 but the actions sit at 1 and 3 (an interrupted
    // delete can leave that behind).
    TRegKey jobKey(jobs, "00000003");
    jobKey.SetDword("NumActions", 2);
    TRegKey(jobKey, "A00000001").SetString("VendorID", "V1");
    TRegKey(TRegKey(jobKey, "A00000003"), "RID").SetDword("RID-0001", 30);
    TRegKey(jobKey, "A00000003").SetString("VendorID", "V3");
    TJob job(jobs, actions, 3, clock);
    ASSERT_TRUE(job.DeleteAction(job.ActionAt(0)->Handle()));
    EXPECT_EQ(InMemory(job), (std::vector<std::string>{"V3@2"}));
    EXPECT_EQ(Stored(job, 1), "-");
    EXPECT_EQ(Stored(job, 2), "V3 rid=30 child= grand=");
    EXPECT_EQ(Stored(job, 3), "-");
    EXPECT_EQ(job.NumActions.Get(), 2u);
}

TEST_F(ActionFixture, MoveThreeToOneGoesStepByStep) {
    auto job = JobOfThree();
    const uint32_t third = job->ActionAt(2)->Handle();
    ASSERT_TRUE(job->MoveAction(3, 1));
    // Swaps (3, 2) then (2, 1); one direct swap of 3 and 1 would give V3 V2 V1.
    EXPECT_EQ(InMemory(*job), (std::vector<std::string>{"V3@1", "V1@2", "V2@3"}));
    EXPECT_EQ(Stored(*job, 1), "V3 rid=30 child=c3 grand=g3");
    EXPECT_EQ(Stored(*job, 2), "V1 rid=10 child=c1 grand=g1");
    EXPECT_EQ(Stored(*job, 3), "V2 rid=20 child=c2 grand=g2");
    EXPECT_EQ(ResolveActionHandle(third), job->ActionAt(0));
    for (uint32_t i = 1; i <= 3; ++i) {
        TRegKey k(TRegKey(jobs, job->KeyName(), false), TAction::KeyName(i), false);
        EXPECT_EQ(k.CurrentSubKeyCount(), 2u) << "only RID and CHILDREN, no -TEMP left";
    }

    EXPECT_FALSE(job->MoveAction(1, 4));
    EXPECT_FALSE(job->MoveAction(0, 1));
    EXPECT_TRUE(job->MoveAction(2, 2));
    EXPECT_EQ(InMemory(*job), (std::vector<std::string>{"V3@1", "V1@2", "V2@3"}));
}

TEST_F(ActionFixture, TextsNotReadYetMoveWithTheirActions) {
    uint32_t id;
    {
        auto job = JobOfThree();
        id = job->Id();
        for (uint32_t n = 1; n <= 3; ++n) {
            TAction* a = job->ActionAt(n - 1);
            TSync::TLock lock(*a);
            a->Name = "name " + std::to_string(n);
            a->Status = "status " + std::to_string(n);
        }
    }
    // Loaded again: the names and statuses are read only when asked for.
    TJob job(jobs, actions, id, clock);
    ASSERT_TRUE(job.MoveAction(3, 1));
    TRegKey jobKey(jobs, job.KeyName(), false);
    const char* expected[] = {"name 3", "name 1", "name 2"};
    for (uint32_t i = 1; i <= 3; ++i) {
        TRegKey k(jobKey, TAction::KeyName(i), false);
        EXPECT_EQ(k.GetString("Name"), expected[i - 1]) << "index " << i;
        TAction* a = job.ActionAt(i - 1);
        TSync::TLock lock(*a);
        EXPECT_EQ(a->Name.Get(), expected[i - 1]);
        EXPECT_EQ(a->Status.Get(), "status " + std::string(expected[i - 1]).substr(5));
    }
}

TEST_F(ActionFixture, PropertyCodesStoreInTheirPlaces) {
    TJob job(jobs, actions, clock);
    const uint32_t h = job.AddAction("Ven", "Mod", "Act");
    const TRegKey ownRid(TRegKey(jobs, job.KeyName(), false), "A00000001\\RID", true);
    struct Row {
        int16_t code;
        const char* place;  // below the catalogue, or "" for the action's own RID
    };
    for (const Row& r : {Row{1, ""}, Row{2, ""}, Row{3, "Ven"}, Row{4, "Ven"}, Row{5, "Ven\\Mod"},
                         Row{6, "Ven\\Mod"}, Row{7, "Ven\\Mod\\Act"}, Row{8, "Ven\\Mod\\Act"}}) {
        const int16_t id = static_cast<int16_t>(0x100 + r.code);
        ASSERT_TRUE(job.SetProperty(h, {.Id = id, .Code = r.code, .Number = 5, .Text = "t"}));
        const TRegKey place = *r.place ? TRegKey(actions, r.place, false) : TRegKey(ownRid, "");
        RegValueData d;
        ASSERT_EQ(place.Query(TAction::PropertyValueName(id), &d), kRegOk) << r.code;
        EXPECT_EQ(d.type, r.code % 2 ? REG_DWORD : REG_SZ) << r.code;
        TPropertyRequest back{.Id = id, .Code = r.code};
        ASSERT_TRUE(job.GetProperty(h, back));
        if (r.code % 2)
            EXPECT_EQ(back.Number, 5u) << r.code;
        else
            EXPECT_EQ(back.Text, "t") << r.code;
    }

    const uint32_t before = ownRid.CurrentValueCount();
    EXPECT_FALSE(job.SetProperty(h, {.Id = 1, .Code = 0, .Number = 1}));
    EXPECT_FALSE(job.SetProperty(h, {.Id = 1, .Code = 9, .Text = "x"}));
    TPropertyRequest bad{.Id = 1, .Code = 9};
    EXPECT_FALSE(job.GetProperty(h, bad));
    EXPECT_EQ(ownRid.CurrentValueCount(), before);

    // A missing value takes the request's own value as its default.
    TPropertyRequest get{.Id = 0x10, .Code = 2, .Text = "fallback"};
    ASSERT_TRUE(job.GetProperty(h, get));
    EXPECT_EQ(get.Text, "fallback");
    EXPECT_EQ(ownRid.GetString("RID-0010"), "fallback");

    // A negative identifier shows all eight digits.
    ASSERT_TRUE(job.SetProperty(h, {.Id = -2, .Code = 1, .Number = 3}));
    EXPECT_EQ(ownRid.GetDword("RID-FFFFFFFE"), 3u);

    // Module scope is shared by another action type of the same module,
    // action-type scope is not.
    const uint32_t other = job.AddAction("Ven", "Mod", "Other");
    TPropertyRequest shared{.Id = 0x105, .Code = 5, .Number = 0};
    TPropertyRequest own{.Id = 0x107, .Code = 7, .Number = 0};
    ASSERT_TRUE(job.GetProperty(other, shared));
    ASSERT_TRUE(job.GetProperty(other, own));
    EXPECT_EQ(shared.Number, 5u);
    EXPECT_EQ(own.Number, 0u);
}

TEST_F(ActionFixture, ChildrenAndGrandchildren) {
    TJob job(jobs, actions, clock);
    const uint32_t h = job.AddAction("V", "M", "A");
    EXPECT_EQ(job.ChildCount(h), 0u);
    ASSERT_TRUE(job.SetChildText(h, 3, "third"));
    EXPECT_EQ(job.ChildCount(h), 1u) << "the count is the number of stored values";
    EXPECT_EQ(job.ChildText(h, 3), "third");
    EXPECT_EQ(job.ChildText(h, 1), "");
    EXPECT_EQ(job.ChildCount(h), 2u) << "reading a missing child stores it empty";
    EXPECT_EQ(job.GrandchildCount(h, 3), 0u);

    ASSERT_TRUE(job.SetGrandchildText(h, 3, 2, "leaf"));
    EXPECT_EQ(job.GrandchildCount(h, 3), 1u);
    EXPECT_EQ(job.GrandchildText(h, 3, 2), "leaf");
    EXPECT_EQ(job.GrandchildCount(h, 1), 0u);

    TAction* a = job.FindAction(h);
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(a->SetGrandchildItem(3, 2, 77));
    EXPECT_EQ(a->GrandchildItem(3, 2), 77u);
    EXPECT_EQ(a->ChildItem(1), 0u);
    EXPECT_EQ(a->ChildItem(4), 0u);
    EXPECT_FALSE(a->SetChildItem(TAction::kMaxChildItems + 1, 1));

    ASSERT_TRUE(job.DeleteChildren(h));
    EXPECT_EQ(job.ChildCount(h), 0u);
    EXPECT_EQ(job.GrandchildCount(h, 3), 0u);
    EXPECT_EQ(a->ChildItemCount(), 0u);
    EXPECT_FALSE(TRegKey(a->Key(), "CHILDREN", false).IsValid());
}

TEST_F(ActionFixture, HandlesNameOnlyLiveActionsOfTheirOwnJob) {
    TJob job(jobs, actions, clock);
    TJob other(jobs, actions, clock);
    const uint32_t mine = job.AddAction("V", "M", "A");
    const uint32_t theirs = other.AddAction("V", "M", "A");
    EXPECT_EQ(ResolveActionHandle(0), nullptr);
    EXPECT_EQ(job.FindAction(theirs), nullptr);
    EXPECT_FALSE(job.SetActionTreeItem(theirs, 5));
    EXPECT_FALSE(job.SetProperty(theirs, {.Id = 1, .Code = 1}));
    EXPECT_EQ(job.ChildCount(theirs), 0u);
    EXPECT_TRUE(job.SetActionTreeItem(mine, 5));
    EXPECT_EQ(job.ActionTreeItem(mine), 5u);

    // The action being run is not deleted under the job thread's feet.
    job.CurrentAction = mine;
    EXPECT_FALSE(job.DeleteAction(mine));
    job.CurrentAction = 0;
    ASSERT_TRUE(job.DeleteAction(mine));
    EXPECT_EQ(ResolveActionHandle(mine), nullptr);
    EXPECT_FALSE(job.DeleteAction(mine));
    const uint32_t next = job.AddAction("V", "M", "A");
    EXPECT_NE(next, mine) << "handles are never reused";
    EXPECT_NE(ResolveActionHandle(next), nullptr);
}

TEST_F(ActionFixture, JobThreadWritesLandOnTheRightKeyWhileActionsMove) {
    TJob job(jobs, actions, clock);
    job.AddAction("V1", "M", "A");
    job.AddAction("V2", "M", "A");
    TAction* a = job.ActionAt(0);
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        // As the job thread does: job lock, then action lock, one write.
        for (uint32_t i = 0; !stop; ++i) {
            TSync::TLock jl(job);
            TSync::TLock al(*a);
            a->LastStat = i % 2;
            a->Percent = i;
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(job.MoveAction(1, 2));
    stop = true;
    worker.join();
    for (uint32_t index = 1; index <= 2; ++index) {
        TAction* at = job.ActionAt(index - 1);
        TRegKey k(TRegKey(jobs, job.KeyName(), false), TAction::KeyName(index), false);
        EXPECT_EQ(k.GetString("VendorID"), at->VendorID.Get());
        EXPECT_EQ(k.GetDword("Percent"), at->Percent.Get()) << index;
        EXPECT_EQ(k.GetDword("LastStat"), at->LastStat.Get()) << index;
    }
}

}  // namespace
