#pragma once
// The connection, the transaction and the statement objects the station works with, over the
// Firebird client's C API. Every failure of the client is raised as EDatabaseError.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/DateTime.h"
#include "db/FbClient.h"

class TFbTransaction;

class TFbConnection {
public:
    TFbConnection() = default;
    ~TFbConnection();
    TFbConnection(const TFbConnection&) = delete;
    TFbConnection& operator=(const TFbConnection&) = delete;

    // Connection parameters, one "name=value" line each: user_name, password, lc_ctype,
    // sql_role_name, num_buffers (pages of the attachment's own cache, where the server gives
    // each attachment one).
    std::vector<std::string>& Params() { return params_; }
    const std::vector<std::string>& Params() const { return params_; }
    void SetDatabaseName(const std::string& name) { databaseName_ = name; }
    const std::string& DatabaseName() const { return databaseName_; }
    // The station never asks for credentials; with the flag off none are asked for either.
    void SetLoginPrompt(bool value) { loginPrompt_ = value; }
    bool LoginPrompt() const { return loginPrompt_; }
    static constexpr unsigned short SQLDialect = 3;
    void SetDefaultTransaction(TFbTransaction* tr) { defaultTransaction_ = tr; }

    bool Connected() const { return static_cast<bool>(handle_); }
    void Open();
    // Ends an active default transaction with a rollback, then detaches. Never throws: a detach
    // that fails because the server went away still leaves the connection closed.
    void Close();

    isc_db_handle* Handle();

    // From another thread: the statement running on this connection fails at once with
    // "operation was cancelled". Never throws; nothing happens when none runs.
    void CancelOperation() noexcept;

private:
    std::vector<std::string> params_;
    std::string databaseName_;
    bool loginPrompt_ = true;
    TFbTransaction* defaultTransaction_ = nullptr;
    ib::TDbHandle handle_;
};

class TFbTransaction {
public:
    TFbTransaction() = default;
    TFbTransaction(const TFbTransaction&) = delete;
    TFbTransaction& operator=(const TFbTransaction&) = delete;

    void SetDefaultDatabase(TFbConnection* db) { database_ = db; }
    TFbConnection* DefaultDatabase() const { return database_; }
    // Nowait, read_committed, rec_version unless set otherwise below.
    static const std::vector<std::string>& Params();
    // A reader's transaction (isc_tpb_read as well): the server need not keep old versions of
    // rows for it, so a long report does not hold back the clean-up behind the record path.
    void SetReadOnly(bool value) { readOnly_ = value; }
    // Concurrency (snapshot) isolation instead of read committed.
    void SetSnapshot(bool value) { snapshot_ = value; }
    // isc_tpb_no_auto_undo: the server keeps no undo log of the whole transaction (each
    // statement is still undone on its own failure); a rollback then leaves the transaction's
    // row versions dead, for the garbage collector. For long writers whose every transaction
    // commits or is given up whole.
    void SetNoAutoUndo(bool value) { noAutoUndo_ = value; }

    bool InTransaction() const { return static_cast<bool>(handle_); }
    void StartTransaction();
    // A failed commit leaves the transaction active, so that it can still be rolled back.
    void Commit();
    // A failed rollback ends the transaction on our side: its connection is broken and the
    // server discards it, so the next line can start afresh.
    void Rollback();
    // Ends the transaction without a message; the connection's own clean-up.
    void RollbackQuietly() noexcept;

    isc_tr_handle* Handle();

private:
    TFbConnection* database_ = nullptr;
    bool readOnly_ = false;
    bool snapshot_ = false;
    bool noAutoUndo_ = false;
    ib::TTrHandle handle_;
};

// SQL text kept as lines; every change is counted so that a statement knows to prepare again.
class TSQLText {
public:
    void Clear();
    void Add(const std::string& line);
    void SetText(const std::string& text);
    std::string Text() const;  // lines joined by line breaks
    const std::vector<std::string>& Lines() const { return lines_; }
    uint64_t Version() const { return version_; }

private:
    std::vector<std::string> lines_;
    uint64_t version_ = 0;
};

// One input parameter. The value keeps its own type; the server converts it to the column's.
class TFbParam {
public:
    void SetAsInteger(int32_t value);
    void SetAsInt64(int64_t value);
    void SetAsString(const std::string& value);
    // Whole seconds: milliseconds are dropped.
    void SetAsDateTime(TDateTime value);
    void Clear();  // NULL
    const std::string& Name() const { return name_; }

private:
    friend class TFbStatement;
    void Bind(XSQLVAR& var);

    std::string name_;
    short type_ = 0;  // 0: NULL
    std::vector<char> data_;
    short nullIndicator_ = -1;
};

// One output column of the current row.
class TFbField {
public:
    const std::string& Name() const { return name_; }
    bool IsNull() const;
    // NULL reads as 0; text is parsed; a value outside 32 bits raises EDatabaseError.
    int32_t AsInteger() const;
    int64_t AsInt64() const;
    // NULL reads as ""; numbers in decimal, timestamps as dd.mm.yyyy hh:nn:ss.
    std::string AsString() const;
    TDateTime AsDateTime() const;

private:
    friend class TFbStatement;
    std::string name_;
    XSQLVAR* var_ = nullptr;
    std::vector<char> data_;
    short nullIndicator_ = 0;
    class TFbStatement* owner_ = nullptr;
};

class TFbStatement {
public:
    TFbStatement(TFbConnection& db, TFbTransaction& tr);
    ~TFbStatement();
    TFbStatement(const TFbStatement&) = delete;
    TFbStatement& operator=(const TFbStatement&) = delete;

    TSQLText& SQL() { return sql_; }
    void SetText(const std::string& text) { sql_.SetText(text); }

    // Parameters by position in text order; the first access prepares the statement.
    TFbParam& Params(int index);
    int ParamCount();
    void Prepare();
    bool Prepared() const { return static_cast<bool>(stmt_) && preparedVersion_ == sql_.Version(); }

    // Runs the statement; a SELECT opens a cursor on its first row.
    void ExecQuery();
    // Rows the last INSERT, UPDATE or DELETE run changed.
    int64_t RowsAffected();
    bool Eof() const { return eof_; }
    void Next();
    void Close();

    int FieldCount() const { return static_cast<int>(fields_.size()); }
    const TFbField& Fields(int index) const;
    const TFbField& FieldByName(std::string_view name) const;

private:
    friend class TFbField;
    void Unprepare();
    void SetUpOutput();
    std::string ReadBlobText(ISC_QUAD id) const;

    TFbConnection& db_;
    TFbTransaction& tr_;
    TSQLText sql_;
    ib::TStmtHandle stmt_;
    uint64_t preparedVersion_ = 0;
    int statementType_ = 0;
    std::unique_ptr<char[]> inArea_, outArea_;
    std::vector<TFbParam> params_;
    std::vector<TFbField> fields_;
    bool cursorOpen_ = false;
    bool eof_ = true;
};

// Runs fn in a transaction of its own, started afresh on tr: committed when fn returns, rolled
// back when it raises, the error passed on.
template <class F>
auto InTransaction(TFbTransaction& tr, F&& fn) -> decltype(fn()) {
    tr.RollbackQuietly();
    tr.StartTransaction();
    try {
        if constexpr (std::is_void_v<decltype(fn())>) {
            fn();
            tr.Commit();
        } else {
            auto result = fn();
            tr.Commit();
            return result;
        }
    } catch (...) {
        tr.RollbackQuietly();
        throw;
    }
}
