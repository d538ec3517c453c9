#include "db/CallDatabase.h"

TCallDatabase* CallDatabase = nullptr;

TCallDatabase::TCallDatabase() {
    DbConnection.SetDefaultTransaction(&DbTransaction);
    DbConnection.SetLoginPrompt(false);
    DbTransaction.SetDefaultDatabase(&DbConnection);
    TableSetting.SetTableName("tarvick.dat");
    TableSetting.SetUseFloatFields(false);
    TableSetting.SetDateTimeHandling(TDateTimeHandling::dtDateTime);
    CallDatabase = this;
}

TCallDatabase::~TCallDatabase() {
    DbConnection.Close();
    try {
        TableSetting.Close();
    } catch (const std::exception&) {
        // Nothing is left to save at exit; the table file is closed either way.
    }
    if (CallDatabase == this) CallDatabase = nullptr;
}

void TCallDatabase::Connect(const std::string& dbPath, const TDbLogin& login) {
    HasCaller.reset();
    DbConnection.Close();
    DbConnection.Params() = login.ConnectParams();
    if (CachePages > 0)
        DbConnection.Params().push_back("num_buffers=" + std::to_string(CachePages));
    DbConnection.SetDatabaseName(dbPath);
    DbConnection.SetLoginPrompt(false);
    DbConnection.Open();
}

void TCallDatabase::Disconnect() {
    HasCaller.reset();
    DbConnection.Close();
}

bool TCallDatabase::RingsHasCaller() {
    if (HasCaller) return *HasCaller;
    const bool started = !DbTransaction.InTransaction();
    if (started) DbTransaction.StartTransaction();
    bool has = false;
    try {
        TFbStatement q(DbConnection, DbTransaction);
        q.SQL().Add(
            "SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'RINGS' AND "
            "RDB$FIELD_NAME = 'CALLER'");
        q.ExecQuery();
        has = !q.Eof() && q.Fields(0).AsInt64() > 0;
        q.Close();
        if (started) DbTransaction.Commit();
    } catch (...) {
        if (started) DbTransaction.RollbackQuietly();
        throw;
    }
    HasCaller = has;
    return has;
}
