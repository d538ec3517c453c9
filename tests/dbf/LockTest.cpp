// Two processes on one table: record locks and share modes really exclude each other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "config/SettingsTable.h"
#include "dbf/DbfTable.h"
#include "tests/dbf/DbfTestUtil.h"

using namespace dbftest;

namespace {

// Runs hold() in a child process, which reports back once it holds what it takes and keeps it
// until the parent is done.
class OtherProgram {
public:
    explicit OtherProgram(const std::function<void()>& hold) {
        if (pipe(ready_) != 0 || pipe(release_) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            int rc = 0;
            try {
                hold();
            } catch (...) {
                rc = 3;
            }
            const char c = rc == 0 ? 'y' : 'n';
            (void)!write(ready_[1], &c, 1);
            char dummy;
            (void)!read(release_[0], &dummy, 1);
            _exit(rc);
        }
        char c = 0;
        ok_ = read(ready_[0], &c, 1) == 1 && c == 'y';
    }
    ~OtherProgram() {
        const char c = 'x';
        (void)!write(release_[1], &c, 1);
        int status = 0;
        waitpid(pid_, &status, 0);
        for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) close(fd);
    }
    bool Holding() const { return ok_; }

private:
    int ready_[2] = {-1, -1};
    int release_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool ok_ = false;
};

class LockTest : public testing::Test {
protected:
    void SetUp() override {
        TableSpec t;
        t.fields = {{"TEMPLATE", 'C', 20}};
        t.records = {" " + Pad("OLD.ATS", 20)};
        WriteFile(dir_.File("t.dbf"), BuildTable(t));
    }
    TempDir dir_;
};

bool ByteLockedByOther(const std::string& path, uint64_t offset) {
    const int fd = open(path.c_str(), O_RDONLY);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = 1;
    const bool locked = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    close(fd);
    return locked;
}

TEST_F(LockTest, EditLockOfAnotherProgramMakesTheSaveFail) {
    TDbfTable other;
    OtherProgram holder([&] {
        other.SetTableName(dir_.File("t.dbf"));
        other.Open();
        other.Edit();
    });
    ASSERT_TRUE(holder.Holding());
    EXPECT_TRUE(ByteLockedByOther(dir_.File("t.dbf"), 0xEFFFFFFEULL - 1));
    EXPECT_FALSE(ByteLockedByOther(dir_.File("t.dbf"), 0xEFFFFFFEULL));

    TDbfTable table;
    table.SetTableName("t.dbf");
    TSettings s;
    s.Template = "NEW.ATS";
    try {
        WriteSettingsTable(table, dir_.Path(), s);
        FAIL() << "saved over a locked record";
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), "Record locked.");
    }
    EXPECT_FALSE(table.Active());
    // Reading is never blocked by the lock.
    TSettings read;
    EXPECT_THROW(ReadSettingsTable(table, dir_.Path(), read), EDbfError);  // other fields missing
    EXPECT_EQ(read.Template, "OLD.ATS");
}

TEST_F(LockTest, ClosingAnotherDescriptorKeepsTheLock) {
    TDbfTable table;
    table.SetTableName(dir_.File("t.dbf"));
    table.Open();
    table.Edit();
    {
        TDbfTable reader;
        reader.SetTableName(dir_.File("t.dbf"));
        reader.SetReadOnly(true);
        reader.Open();
        reader.Close();
    }
    OtherProgram probe([&] {
        TDbfTable other;
        other.SetTableName(dir_.File("t.dbf"));
        other.Open();
        try {
            other.Edit();
        } catch (const EDbfError&) {
            return;  // refused, as it must be
        }
        throw std::runtime_error("lock lost");
    });
    EXPECT_TRUE(probe.Holding());
}

TEST_F(LockTest, ExclusiveOpenLetsOthersOnlyRead) {
    TDbfTable other;
    OtherProgram holder([&] {
        other.SetTableName(dir_.File("t.dbf"));
        other.SetExclusive(true);
        other.Open();
    });
    ASSERT_TRUE(holder.Holding());
    TDbfTable table;
    table.SetTableName(dir_.File("t.dbf"));
    try {
        table.Open();
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file " + dir_.File("t.dbf"));
    }
    table.SetExclusive(true);
    EXPECT_THROW(table.Open(), EDbfError);
    table.SetExclusive(false);
    table.SetReadOnly(true);
    table.Open();
    EXPECT_EQ(table.FieldByName("TEMPLATE").AsString(), "OLD.ATS");
}

TEST_F(LockTest, SharedOpenKeepsExclusiveOpenersOut) {
    TDbfTable other;
    OtherProgram holder([&] {
        other.SetTableName(dir_.File("t.dbf"));
        other.Open();
    });
    ASSERT_TRUE(holder.Holding());
    TDbfTable table;
    table.SetTableName(dir_.File("t.dbf"));
    table.SetExclusive(true);
    EXPECT_THROW(table.Open(), EDbfError);
    table.SetExclusive(false);
    EXPECT_NO_THROW(table.Open());
}

}  // namespace
