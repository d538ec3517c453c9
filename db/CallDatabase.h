#pragma once
// The data module: the call database connection, its one transaction and the settings table.
#include <optional>
#include <string>

#include "db/DbLogin.h"
#include "db/FbObjects.h"
#include "dbf/DbfTable.h"

class TCallDatabase {
public:
    TCallDatabase();
    ~TCallDatabase();
    TCallDatabase(const TCallDatabase&) = delete;
    TCallDatabase& operator=(const TCallDatabase&) = delete;

    // Attaches to dbPath as the login says, in WIN1251; raises EDatabaseError when it cannot.
    void Connect(const std::string& dbPath, const TDbLogin& login = {});
    void Disconnect();
    bool Connected() const { return DbConnection.Connected(); }
    // Whether Rings has the Caller column (databases made before it have not); asked once per
    // connection, inside DbTransaction (started when it is not). Raises EDatabaseError.
    bool RingsHasCaller();

    // Pages of cache for the next Connect's attachment; 0: the configuration's default (the
    // station's engine gives each attachment a cache of its own, 256 pages unless set).
    int CachePages = 0;
    TFbConnection DbConnection;
    TFbTransaction DbTransaction;
    TDbfTable TableSetting;

private:
    std::optional<bool> HasCaller;
};

// The one data module, set while it exists.
extern TCallDatabase* CallDatabase;
