#pragma once
// The data module: the call database connection, its one transaction and the settings table.
#include <string>

#include "db/IbObjects.h"
#include "dbf/Dbf.h"

class TDM {
public:
    TDM();
    ~TDM();
    TDM(const TDM&) = delete;
    TDM& operator=(const TDM&) = delete;

    // Attaches to dbPath with the fixed parameters; raises EDatabaseError when it cannot.
    void Connect(const std::string& dbPath);
    void Disconnect();
    bool Connected() const { return ibDatabase.Connected(); }

    TIBDatabase ibDatabase;
    TIBTransaction ibTran;
    TDbf TableSetting;
};

// The one data module, set while it exists.
extern TDM* DM;
