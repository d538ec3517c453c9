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

void TCallDatabase::Connect(const std::string& dbPath) {
    DbConnection.Close();
    DbConnection.Params().clear();
    DbConnection.Params().push_back("user_name=SYSDBA");
    DbConnection.Params().push_back("password=quillfern");
    DbConnection.Params().push_back("lc_ctype=win1251");
    DbConnection.SetDatabaseName(dbPath);
    DbConnection.SetLoginPrompt(false);
    DbConnection.Open();
}

void TCallDatabase::Disconnect() {
    DbConnection.Close();
}
