// The Run Program module's own settings dialog, opened the way the window
// opens it: the real module, loaded by the real host, asked for its
// preferences for an action of a real job.
#include <sys/stat.h>

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <cstdlib>

#include "ModuleClientFixture.h"
#include "Process.h"
#include "jobs/Job.h"

using namespace zk40;
using namespace zk40test;

namespace {

struct RunProgramDialogTest : ModuleClientFixture {
    std::unique_ptr<TJob> job;
    uint32_t handle = 0;

    void SetUp() override {
        ModuleClientFixture::SetUp();
        setenv("ZK40_MODULE_LIBDIR", ZK40_RUNPROGRAM_DIALOG_DIR, 1);
        StartClient();
        LoadRunProgram();
        job = std::make_unique<TJob>(app->jobs, actions);
        job->Name = "nightly";
        handle = job->AddAction("DNTRX-14", "RUNPROG", "RUNPROGRAM");
        ASSERT_NE(handle, 0u);
        SetText(1, "/bin/true");
    }
    void TearDown() override {
        job.reset();
        ModuleClientFixture::TearDown();
    }
    void SetText(int16_t id, const std::string& text) {
        job->SetProperty(handle, {.Id = id, .Code = 2, .Text = text});
    }
    std::string Text(int16_t id) {
        TPropertyRequest r{.Id = id, .Code = 2};
        job->GetProperty(handle, r);
        return r.Text;
    }
    uint32_t Number(int16_t id) {
        TPropertyRequest r{.Id = id, .Code = 1};
        job->GetProperty(handle, r);
        return r.Number;
    }
    bool OpenSettings() {
        auto module = client->Modules().FindModule("DNTRX-14", "RUNPROG");
        return module && module->Preferences(client->Hwnd(), "RUNPROGRAM", handle);
    }
    // Presses OK and returns the text of the refusal it brings up ("" when
    // the dialog closed instead).
    static QString OkRefusal(QWidget* dlg) {
        QString text;
        QPointer<QTimer> driver = WhenModal([&text](QWidget* box) {
            if (auto* mb = qobject_cast<QMessageBox*>(box)) text = mb->text();
            box->close();
        });
        dlg->findChild<QPushButton*>("1")->click();
        // Accepted: no box came up, so nobody is left to answer one.
        delete driver.data();
        return text;
    }
};

TEST_F(RunProgramDialogTest, OkStoresEveryFieldAsTheActionsProperty) {
    const std::string folder = dir.path();
    WhenModal([&](QWidget* dlg) {
        EXPECT_EQ(dlg->findChild<QLineEdit*>("program")->text(), "/bin/true");
        EXPECT_EQ(dlg->findChild<QLineEdit*>("exitCodes")->text(), "0") << "the default";
        EXPECT_EQ(dlg->findChild<QSpinBox*>("outputLines")->value(), 10);
        dlg->findChild<QLineEdit*>("program")->setText("  sh ");
        dlg->findChild<QLineEdit*>("arguments")->setText("-c 'echo $Y'");
        dlg->findChild<QLineEdit*>("folder")->setText(QString::fromStdString(folder));
        dlg->findChild<QSpinBox*>("timeLimit")->setValue(90);
        dlg->findChild<QLineEdit*>("exitCodes")->setText("0, 3-5");
        dlg->findChild<QSpinBox*>("outputLines")->setValue(25);
        EXPECT_EQ(OkRefusal(dlg), "");
    });
    ASSERT_TRUE(OpenSettings());
    // {property id, stored value}
    EXPECT_EQ(Text(1), "sh") << "a bare name found in PATH";
    EXPECT_EQ(Text(2), "-c 'echo $Y'");
    EXPECT_EQ(Text(3), folder);
    EXPECT_EQ(Number(4), 90u);
    EXPECT_EQ(Text(5), "0, 3-5");
    EXPECT_EQ(Number(6), 25u);
}

TEST_F(RunProgramDialogTest, RefusesWhatCannotRunAndSaysWhyThenCancelWritesNothing) {
    const std::string plain = dir / "notes.txt";
    WriteFile(plain, "not a program");
    chmod(plain.c_str(), 0644);
    // {field, input, refusal}; each field is put right again before the next.
    struct Case {
        const char* field;
        std::string input, good, refusal;
    };
    const Case cases[] = {
        {"program", "", "/bin/true", "Choose the program to run."},
        {"program", "/no/such/program", "/bin/true",
         "The program \"/no/such/program\" does not exist."},
        {"program", plain, "/bin/true", "The program \"" + plain + "\" is not an executable file."},
        {"program", "zk40-no-such-tool", "/bin/true",
         "No program named \"zk40-no-such-tool\" was found in the folders of PATH."},
        {"arguments", "'unterminated", "", "The arguments cannot be split: "},
        {"folder", dir / "missing", "",
         "The working folder \"" + (dir / "missing") + "\" does not exist."},
        {"folder", plain, "", "\"" + plain + "\" is not a folder."},
        {"exitCodes", "1-", "0", "The accepted exit codes cannot be read: "},
    };
    // Reading a setting through the host stores its default when it has
    // none, as a run does; what the dialog itself may not write is compared.
    std::string before;
    WhenModal([&](QWidget* dlg) {
        before = StoreExport(*app);
        for (const Case& c : cases) {
            auto* edit = dlg->findChild<QLineEdit*>(c.field);
            edit->setText(QString::fromStdString(c.input));
            QString refusal = OkRefusal(dlg);
            EXPECT_TRUE(refusal.startsWith(QString::fromStdString(c.refusal)))
                << c.input << " gave: " << refusal.toStdString();
            EXPECT_TRUE(dlg->isVisible()) << "a refusal keeps the dialog open";
            edit->setText(QString::fromStdString(c.good));
        }
        dlg->findChild<QPushButton*>("2")->click();
    });
    EXPECT_FALSE(OpenSettings());
    EXPECT_EQ(StoreExport(*app), before);
}

TEST_F(RunProgramDialogTest, TheModuleItselfDoesNotLinkTheWidgetLibraries) {
    std::string out;
    ASSERT_EQ(RunProcess({"/usr/bin/readelf", "-d", ZK40_RUNPROGRAM_PATH}, &out), 0);
    EXPECT_NE(out.find("NEEDED"), std::string::npos) << out;
    EXPECT_EQ(out.find("Qt6"), std::string::npos) << out;
}

}  // namespace
