#include "kelswap/Swap.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace kelswap;
using namespace std::chrono_literals;

namespace {

const Names kNames = programNames();

QByteArray contents(const std::string& name) {
    QFile f(QString::fromStdString(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

void put(const std::string& name, const QByteArray& bytes) {
    QFile f(QString::fromStdString(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// A folder of its own as the working folder, as the installer finds it after an update.
class Folder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
    }
    void TearDown() override { QDir::setCurrent(previous); }

    QTemporaryDir dir;
    QString previous;
};

struct Case {
    const char* name;
    bool program, update;
    int heldRounds; // the old program's file cannot be deleted for this many tries
    bool renameFails;
    int sleeps, removes;
    QByteArray programAfter, updateAfter;
    std::vector<std::string> started;
};

const Case kCases[] = {
    {"no update: ends at once, nothing changes", true, false, 0, false, 0, 0, "old", "<none>", {}},
    {"no program: ends at once, nothing changes", false, true, 0, false, 0, 0, "<none>", "new", {}},
    {"program held throughout: a try every round, nothing changes",
     true,
     true,
     99,
     false,
     5,
     5,
     "old",
     "new",
     {}},
    {"program free after two rounds: replaced and started",
     true,
     true,
     2,
     false,
     3,
     3,
     "new",
     "<none>",
     {kNames.program}},
    {"rename fails after the delete: nothing is started", true, true, 0, true, 1, 1, "<none>", "new", {}},
};

} // namespace

TEST_F(Folder, WaitsForTheProgramThenReplacesIt) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        QFile::remove(QString::fromStdString(kNames.program));
        QFile::remove(QString::fromStdString(kNames.newProgram));
        if (c.program)
            put(kNames.program, "old");
        if (c.update)
            put(kNames.newProgram, "new");

        const FileOperations real = systemOperations();
        FileOperations ops = real;
        int sleeps = 0, removes = 0;
        std::vector<std::string> started;
        ops.sleep = [&](std::chrono::milliseconds d) {
            EXPECT_EQ(d, 7ms);
            ++sleeps;
        };
        ops.remove = [&](const std::string& name) { return ++removes > c.heldRounds && real.remove(name); };
        if (c.renameFails)
            ops.rename = [](const std::string&, const std::string&) { return false; };
        ops.start = [&](const std::string& name) { started.push_back(name); };

        swapProgram(kNames, ops, 7ms, 5);

        EXPECT_EQ(sleeps, c.sleeps);
        EXPECT_EQ(removes, c.removes);
        EXPECT_EQ(contents(kNames.program), c.programAfter);
        EXPECT_EQ(contents(kNames.newProgram), c.updateAfter);
        EXPECT_EQ(started, c.started);
    }
}

TEST_F(Folder, NewProgramTakesOverTheProcess) {
    // The update as unzip leaves it: a program without execute permission.
    put(kNames.program, "#!/bin/sh\nexit 3\n");
    put(kNames.newProgram, "#!/bin/sh\necho \"$#\" > started\n");

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        swapProgram(kNames, systemOperations(), 1ms, 3);
        _exit(99); // only reached when the new program did not start
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the process should have become the new program";
    EXPECT_EQ(contents("started"), "0\n") << "started with an empty argument list";
    EXPECT_EQ(contents(kNames.program), "#!/bin/sh\necho \"$#\" > started\n");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(kNames.newProgram)));
}

TEST_F(Folder, ProgramEndsWithZeroWhenThereIsNothingToDo) {
    for (const bool update : {false, true}) {
        SCOPED_TRACE(update ? "update without program" : "program without update");
        QFile::remove(QString::fromStdString(kNames.program));
        QFile::remove(QString::fromStdString(kNames.newProgram));
        put(update ? kNames.newProgram : kNames.program, "x");

        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::execl(KELSWAP_PATH, KELSWAP_PATH, static_cast<char*>(nullptr));
            _exit(99);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(QDir().entryList(QDir::Files),
                  QStringList{QString::fromStdString(update ? kNames.newProgram : kNames.program)});
    }
}
