#include "db/DataM.h"

TDM* DM = nullptr;

TDM::TDM() {
    ibDatabase.SetDefaultTransaction(&ibTran);
    ibDatabase.SetLoginPrompt(false);
    ibTran.SetDefaultDatabase(&ibDatabase);
    TableSetting.SetTableName("tarvick.dat");
    TableSetting.SetUseFloatFields(false);
    TableSetting.SetDateTimeHandling(TDateTimeHandling::dtDateTime);
    DM = this;
}

TDM::~TDM() {
    ibDatabase.Close();
    try {
        TableSetting.Close();
    } catch (const std::exception&) {
        // Nothing is left to save at exit; the table file is closed either way.
    }
    if (DM == this) DM = nullptr;
}

void TDM::Connect(const std::string& dbPath) {
    ibDatabase.Close();
    ibDatabase.Params().clear();
    ibDatabase.Params().push_back("user_name=SYSDBA");
    ibDatabase.Params().push_back("password=quillfern");
    ibDatabase.Params().push_back("lc_ctype=win1251");
    ibDatabase.SetDatabaseName(dbPath);
    ibDatabase.SetLoginPrompt(false);
    ibDatabase.Open();
}

void TDM::Disconnect() {
    ibDatabase.Close();
}
