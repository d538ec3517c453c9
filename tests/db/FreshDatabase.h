#pragma once
// A new, empty call database made by the shipped creation script in a scratch directory, and the
// helpers the database tests share.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"

class TFreshDatabase {
public:
    TFreshDatabase() {
        PrepareFirebirdEnvironment(TARVICK_SOURCE_DIR "/data/");
        static int counter = 0;
        dir_ = std::filesystem::temp_directory_path() /
               ("tarvick-db-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "calls.fdb").string();
        created_ =
            Shell("sh " TARVICK_SOURCE_DIR "/scripts/create-db.sh '" + path_ + "' >/dev/null") == 0;
    }
    ~TFreshDatabase() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TFreshDatabase(const TFreshDatabase&) = delete;
    TFreshDatabase& operator=(const TFreshDatabase&) = delete;

    bool Created() const { return created_; }
    const std::string& Path() const { return path_; }
    const std::filesystem::path& Dir() const { return dir_; }

    // Runs SQL through isql-fb, a second attachment beside the test's own; its output goes to
    // `output`. Returns the exit status.
    int Isql(const std::string& sql, std::string* output = nullptr) const {
        const std::filesystem::path in = dir_ / "in.sql", out = dir_ / "out.txt";
        {
            FILE* f = std::fopen(in.c_str(), "w");
            if (!f) return -1;
            std::fputs(sql.c_str(), f);
            std::fclose(f);
        }
        const int rc = Shell("isql-fb -q -bail -user SYSDBA -password quillfern -i '" +
                             in.string() + "' '" + path_ + "' >'" + out.string() + "' 2>&1");
        if (output) {
            output->clear();
            if (FILE* f = std::fopen(out.c_str(), "r")) {
                char buf[4096];
                size_t n;
                while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) output->append(buf, n);
                std::fclose(f);
            }
        }
        return rc;
    }

private:
    static int Shell(const std::string& cmd) {
        const int rc = std::system(cmd.c_str());
        return rc == -1 || !WIFEXITED(rc) ? -1 : WEXITSTATUS(rc);
    }

    std::filesystem::path dir_;
    std::string path_;
    bool created_ = false;
};

// Runs one statement on the module's connection in a transaction of its own, committed when it
// succeeds and rolled back when it raises; returns the first column of its first row (0 when it
// returns no row).
inline int64_t QueryInt(TCallDatabase& callDb, const std::string& sql) {
    if (!callDb.DbTransaction.InTransaction()) callDb.DbTransaction.StartTransaction();
    int64_t value = 0;
    try {
        TFbStatement q(callDb.DbConnection, callDb.DbTransaction);
        q.SQL().Add(sql);
        q.ExecQuery();
        if (!q.Eof() && q.FieldCount() > 0) value = q.Fields(0).AsInt64();
    } catch (...) {
        callDb.DbTransaction.RollbackQuietly();
        throw;
    }
    callDb.DbTransaction.Commit();
    return value;
}

inline void ExecSql(TCallDatabase& callDb, const std::string& sql) {
    QueryInt(callDb, sql);
}
