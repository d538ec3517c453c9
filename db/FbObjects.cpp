#include "db/FbObjects.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/Text.h"
#include "db/SqlParams.h"

namespace {

// Day 0 of the station's date-time values (30 December 1899) as a Modified Julian Day.
constexpr int64_t kMjdOfDayZero = 15018;
constexpr int64_t kTicksPerSecond = 10000;  // ISC_TIME counts 1/10000 s
// Character set number that means "the connection's own" (lc_ctype).
constexpr short kConnectionCharset = 127;

[[noreturn]] void Fail(const std::string& message) {
    throw EDatabaseError(message);
}

ISC_TIMESTAMP ToTimestamp(TDateTime value) {
    const TTimeParts t = DecodeTime(value);
    ISC_TIMESTAMP ts;
    ts.timestamp_date = static_cast<ISC_DATE>(DayNumber(value) + kMjdOfDayZero);
    ts.timestamp_time =
        static_cast<ISC_TIME>((t.Hour * 3600 + t.Min * 60 + t.Sec) * kTicksPerSecond);
    return ts;
}

TDateTime FromTimestamp(ISC_DATE date, ISC_TIME time) {
    return static_cast<double>(static_cast<int64_t>(date) - kMjdOfDayZero) +
           static_cast<double>(time) / (86400.0 * kTicksPerSecond);
}

struct TDpbItem {
    const char* name;
    char item;
    bool number;  // a 32-bit value, least significant byte first
};

// The DPB item for a connection parameter name.
const TDpbItem& DpbItem(const std::string& name) {
    static const TDpbItem items[] = {{"user_name", isc_dpb_user_name, false},
                                     {"password", isc_dpb_password, false},
                                     {"lc_ctype", isc_dpb_lc_ctype, false},
                                     {"sql_role_name", isc_dpb_sql_role_name, false},
                                     {"num_buffers", isc_dpb_num_buffers, true}};
    for (const TDpbItem& i : items)
        if (SameText1251(name, i.name)) return i;
    Fail("Unknown connection parameter \"" + name + "\"");
}

std::string BuildDpb(const std::vector<std::string>& params) {
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    for (const std::string& line : params) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) Fail("Connection parameter without a value: \"" + line + "\"");
        const std::string name = Trim(line.substr(0, eq));
        std::string value = line.substr(eq + 1);
        const TDpbItem& item = DpbItem(name);
        if (item.number) {
            const auto n = TryStrToInt64(Trim(value));
            if (!n || *n < 0 || *n > std::numeric_limits<int32_t>::max())
                Fail("Connection parameter " + name + " is not a number: \"" + value + "\"");
            value.clear();
            for (int shift = 0; shift < 32; shift += 8)
                value += static_cast<char>((*n >> shift) & 0xff);
        }
        if (value.size() > 255) Fail("Connection parameter too long: " + name);
        dpb += item.item;
        dpb += static_cast<char>(value.size());
        dpb += value;
    }
    return dpb;
}

XSQLDA* Area(std::unique_ptr<char[]>& area, short count) {
    const size_t size = XSQLDA_LENGTH(count);
    area = std::make_unique<char[]>(size);
    std::memset(area.get(), 0, size);
    auto* da = reinterpret_cast<XSQLDA*>(area.get());
    da->version = SQLDA_VERSION1;
    da->sqln = count;
    return da;
}

XSQLDA* AreaOf(const std::unique_ptr<char[]>& area) {
    return reinterpret_cast<XSQLDA*>(area.get());
}

int64_t Pow10(int n) {
    int64_t p = 1;
    while (n-- > 0) p *= 10;
    return p;
}

std::string ScaledToString(int64_t value, short scale) {
    if (scale >= 0) return std::to_string(value * Pow10(scale));
    const int64_t div = Pow10(-scale);
    std::string digits = std::to_string(value < 0 ? -(value / div) : value / div);
    std::string frac = std::to_string(value < 0 ? -(value % div) : value % div);
    frac.insert(0, static_cast<size_t>(-scale) - frac.size(), '0');
    return (value < 0 ? "-" : "") + digits + "." + frac;
}

// A value of the client's buffers, which need not be aligned for its type.
template <typename T>
T Load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

// ---------------------------------------------------------------- database

TFbConnection::~TFbConnection() {
    Close();
}

void TFbConnection::Open() {
    if (Connected()) return;
    const std::string dpb = BuildDpb(params_);
    if (databaseName_.size() > static_cast<size_t>(std::numeric_limits<short>::max()))
        Fail("Database name too long");
    ib::TDbHandle handle;
    ib::Call([&](ISC_STATUS* s) {
        return isc_attach_database(s, static_cast<short>(databaseName_.size()),
                                   databaseName_.data(), handle.Ptr(),
                                   static_cast<short>(dpb.size()), dpb.data());
    });
    handle_ = std::move(handle);
}

void TFbConnection::Close() {
    if (!Connected()) return;
    if (defaultTransaction_) defaultTransaction_->RollbackQuietly();
    handle_.Reset();
}

isc_db_handle* TFbConnection::Handle() {
    if (!Connected()) Fail("Database not open");
    return handle_.Ptr();
}

void TFbConnection::CancelOperation() noexcept {
    if (!handle_) return;
    ISC_STATUS_ARRAY status{};
    fb_cancel_operation(status, handle_.Ptr(), fb_cancel_raise);
}

// ---------------------------------------------------------------- transaction

const std::vector<std::string>& TFbTransaction::Params() {
    static const std::vector<std::string> params{"nowait", "read_committed", "rec_version"};
    return params;
}

void TFbTransaction::StartTransaction() {
    if (InTransaction()) Fail("Transaction is active");
    if (!database_) Fail("Transaction has no database");
    // A snapshot sees the database as it was when it started, whatever commits meanwhile: a
    // report that reads several tables gets figures that fit together.
    std::vector<char> tpb{isc_tpb_version3, isc_tpb_nowait};
    if (snapshot_) {
        tpb.push_back(isc_tpb_concurrency);
    } else {
        tpb.push_back(isc_tpb_read_committed);
        tpb.push_back(isc_tpb_rec_version);
    }
    if (readOnly_) tpb.push_back(isc_tpb_read);
    if (noAutoUndo_) tpb.push_back(isc_tpb_no_auto_undo);
    const auto length = static_cast<unsigned short>(tpb.size());
    isc_db_handle* db = database_->Handle();
    ib::TTrHandle handle;
    ib::Call([&](ISC_STATUS* s) {
        return isc_start_transaction(s, handle.Ptr(), 1, db, length, tpb.data());
    });
    handle_ = std::move(handle);
}

void TFbTransaction::Commit() {
    if (!InTransaction()) Fail("Transaction not active");
    ib::Call([&](ISC_STATUS* s) { return isc_commit_transaction(s, handle_.Ptr()); });
    handle_.Forget();
}

void TFbTransaction::Rollback() {
    if (!InTransaction()) Fail("Transaction not active");
    ib::TStatus status;
    isc_rollback_transaction(status.Vector(), handle_.Ptr());
    handle_.Forget();
    status.Check();
}

void TFbTransaction::RollbackQuietly() noexcept {
    handle_.Reset();
}

isc_tr_handle* TFbTransaction::Handle() {
    if (!InTransaction()) Fail("Transaction not active");
    return handle_.Ptr();
}

// ---------------------------------------------------------------- SQL text

void TSQLText::Clear() {
    lines_.clear();
    ++version_;
}

void TSQLText::Add(const std::string& line) {
    lines_.push_back(line);
    ++version_;
}

void TSQLText::SetText(const std::string& text) {
    lines_ = SplitLines(text);
    ++version_;
}

std::string TSQLText::Text() const {
    std::string text;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (i) text += "\r\n";
        text += lines_[i];
    }
    return text;
}

// ---------------------------------------------------------------- parameters

void TFbParam::SetAsInteger(int32_t value) {
    type_ = SQL_LONG;
    data_.resize(sizeof value);
    std::memcpy(data_.data(), &value, sizeof value);
    nullIndicator_ = 0;
}

void TFbParam::SetAsInt64(int64_t value) {
    type_ = SQL_INT64;
    data_.resize(sizeof value);
    std::memcpy(data_.data(), &value, sizeof value);
    nullIndicator_ = 0;
}

void TFbParam::SetAsString(const std::string& value) {
    if (value.size() > 32765) Fail("Parameter text too long");
    type_ = SQL_TEXT;
    data_.assign(value.begin(), value.end());
    nullIndicator_ = 0;
}

void TFbParam::SetAsDateTime(TDateTime value) {
    if (!std::isfinite(value) || std::fabs(value) > 3.0e6) Fail("Date-time value out of range");
    const ISC_TIMESTAMP ts = ToTimestamp(value);
    type_ = SQL_TIMESTAMP;
    data_.resize(sizeof ts);
    std::memcpy(data_.data(), &ts, sizeof ts);
    nullIndicator_ = 0;
}

void TFbParam::Clear() {
    type_ = 0;
    data_.clear();
    nullIndicator_ = -1;
}

void TFbParam::Bind(XSQLVAR& var) {
    var.sqlind = &nullIndicator_;
    if (type_ == 0) {
        var.sqltype = static_cast<short>(var.sqltype | 1);
        var.sqldata = nullptr;
        return;
    }
    var.sqltype = static_cast<short>(type_ | 1);
    var.sqlscale = 0;
    // Text travels in the connection's character set.
    var.sqlsubtype = type_ == SQL_TEXT ? kConnectionCharset : 0;
    var.sqllen = static_cast<short>(data_.size());
    // An empty text has no bytes, but the client refuses a null data pointer even for length 0.
    static char noBytes = 0;
    var.sqldata = data_.empty() ? &noBytes : data_.data();
}

// ---------------------------------------------------------------- fields

bool TFbField::IsNull() const {
    return (var_->sqltype & 1) && nullIndicator_ < 0;
}

int64_t TFbField::AsInt64() const {
    if (IsNull()) return 0;
    const short type = var_->sqltype & ~1;
    const char* p = data_.data();
    auto scaled = [&](int64_t v) {
        const short scale = var_->sqlscale;
        if (scale >= 0) return v * Pow10(scale);
        const int64_t div = Pow10(-scale);
        const int64_t q = v / div, r = v % div;
        return q + (2 * std::llabs(r) >= div ? (v < 0 ? -1 : 1) : 0);
    };
    switch (type) {
        case SQL_SHORT:
            return scaled(Load<int16_t>(p));
        case SQL_LONG:
            return scaled(Load<int32_t>(p));
        case SQL_INT64:
            return scaled(Load<int64_t>(p));
        case SQL_FLOAT:
            return std::llround(Load<float>(p));
        case SQL_DOUBLE:
            return std::llround(Load<double>(p));
        case SQL_BOOLEAN:
            return p[0] ? 1 : 0;
        default: {
            const std::string text = Trim(AsString());
            const auto v = TryStrToInt64(text);
            if (!v) Fail("'" + text + "' is not a valid integer value (" + name_ + ")");
            return *v;
        }
    }
}

int32_t TFbField::AsInteger() const {
    const int64_t v = AsInt64();
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        Fail("Integer overflow reading " + name_);
    return static_cast<int32_t>(v);
}

std::string TFbField::AsString() const {
    if (IsNull()) return {};
    const short type = var_->sqltype & ~1;
    const char* p = data_.data();
    switch (type) {
        case SQL_TEXT:
            return std::string(p, static_cast<size_t>(var_->sqllen));
        case SQL_VARYING: {
            return std::string(p + 2, Load<uint16_t>(p));
        }
        case SQL_SHORT:
        case SQL_LONG:
        case SQL_INT64: {
            const int64_t raw = type == SQL_SHORT  ? Load<int16_t>(p)
                                : type == SQL_LONG ? Load<int32_t>(p)
                                                   : Load<int64_t>(p);
            return ScaledToString(raw, var_->sqlscale);
        }
        case SQL_FLOAT:
        case SQL_DOUBLE: {
            const double v = type == SQL_FLOAT ? Load<float>(p) : Load<double>(p);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.15g", v);
            return buf;
        }
        case SQL_TIMESTAMP:
        case SQL_TYPE_DATE:
        case SQL_TYPE_TIME:
            return FormatDateTime(type == SQL_TYPE_DATE   ? "dd.mm.yyyy"
                                  : type == SQL_TYPE_TIME ? "hh:nn:ss"
                                                          : "dd.mm.yyyy hh:nn:ss",
                                  AsDateTime());
        case SQL_BOOLEAN:
            return p[0] ? "True" : "False";
        case SQL_BLOB:
            return owner_->ReadBlobText(Load<ISC_QUAD>(p));
        default:
            Fail("Unsupported column type of " + name_);
    }
}

TDateTime TFbField::AsDateTime() const {
    if (IsNull()) return 0;
    const short type = var_->sqltype & ~1;
    const char* p = data_.data();
    switch (type) {
        case SQL_TIMESTAMP: {
            const auto ts = Load<ISC_TIMESTAMP>(p);
            return FromTimestamp(ts.timestamp_date, ts.timestamp_time);
        }
        case SQL_TYPE_DATE:
            return FromTimestamp(Load<ISC_DATE>(p), 0);
        case SQL_TYPE_TIME:
            return FromTimestamp(static_cast<ISC_DATE>(kMjdOfDayZero), Load<ISC_TIME>(p));
        default:
            Fail(name_ + " is not a date-time column");
    }
}

// ---------------------------------------------------------------- statement

TFbStatement::TFbStatement(TFbConnection& db, TFbTransaction& tr) : db_(db), tr_(tr) {}

TFbStatement::~TFbStatement() {
    Close();
}

void TFbStatement::Unprepare() {
    Close();
    stmt_.Reset();
    params_.clear();
    fields_.clear();
    inArea_.reset();
    outArea_.reset();
}

void TFbStatement::Prepare() {
    if (Prepared()) return;
    Unprepare();
    const TPositionalSql positional = ToPositionalSql(sql_.Text());
    if (Trim(positional.Text).empty()) Fail("Empty SQL statement");
    isc_db_handle* db = db_.Handle();
    isc_tr_handle* tr = tr_.Handle();

    ib::TStmtHandle stmt;
    ib::Call([&](ISC_STATUS* s) { return isc_dsql_allocate_statement(s, db, stmt.Ptr()); });
    XSQLDA* out = Area(outArea_, 1);
    ib::Call([&](ISC_STATUS* s) {
        return isc_dsql_prepare(s, tr, stmt.Ptr(), 0, positional.Text.c_str(),
                                TFbConnection::SQLDialect, out);
    });
    if (out->sqld > out->sqln) {
        out = Area(outArea_, out->sqld);
        ib::Call([&](ISC_STATUS* s) { return isc_dsql_describe(s, stmt.Ptr(), 1, out); });
    }
    // Sized by the markers found in the text, so that one description usually suffices.
    XSQLDA* in =
        Area(inArea_, static_cast<short>(std::clamp<size_t>(positional.Names.size(), 1, 1024)));
    ib::Call([&](ISC_STATUS* s) { return isc_dsql_describe_bind(s, stmt.Ptr(), 1, in); });
    if (in->sqld > in->sqln) {
        in = Area(inArea_, in->sqld);
        ib::Call([&](ISC_STATUS* s) { return isc_dsql_describe_bind(s, stmt.Ptr(), 1, in); });
    }

    const char items[] = {isc_info_sql_stmt_type};
    char info[16] = {};
    ib::Call([&](ISC_STATUS* s) {
        return isc_dsql_sql_info(s, stmt.Ptr(), sizeof items, items, sizeof info, info);
    });
    if (info[0] != isc_info_sql_stmt_type) Fail("Cannot read the statement type");
    const short len = static_cast<short>(isc_vax_integer(info + 1, 2));
    statementType_ = static_cast<int>(isc_vax_integer(info + 3, len));

    params_.assign(static_cast<size_t>(in->sqld), TFbParam{});
    for (size_t i = 0; i < params_.size(); ++i)
        params_[i].name_ = i < positional.Names.size() ? positional.Names[i] : "?";
    stmt_ = std::move(stmt);
    SetUpOutput();
    preparedVersion_ = sql_.Version();
}

void TFbStatement::SetUpOutput() {
    XSQLDA* out = AreaOf(outArea_);
    fields_.assign(static_cast<size_t>(out->sqld), TFbField{});
    for (short i = 0; i < out->sqld; ++i) {
        XSQLVAR& var = out->sqlvar[i];
        TFbField& f = fields_[static_cast<size_t>(i)];
        f.name_.assign(var.aliasname, static_cast<size_t>(var.aliasname_length));
        f.var_ = &var;
        f.owner_ = this;
        const short type = var.sqltype & ~1;
        // An empty text column ('' selected) has no length; the client still wants a buffer.
        f.data_.assign(
            std::max<size_t>(1, static_cast<size_t>(var.sqllen) + (type == SQL_VARYING ? 2 : 0)),
            0);
        var.sqldata = f.data_.data();
        var.sqlind = &f.nullIndicator_;
    }
}

TFbParam& TFbStatement::Params(int index) {
    Prepare();
    if (index < 0 || static_cast<size_t>(index) >= params_.size())
        Fail("Parameter index out of range: " + std::to_string(index));
    return params_[static_cast<size_t>(index)];
}

int TFbStatement::ParamCount() {
    Prepare();
    return static_cast<int>(params_.size());
}

void TFbStatement::ExecQuery() {
    Prepare();
    Close();
    XSQLDA* in = AreaOf(inArea_);
    for (size_t i = 0; i < params_.size(); ++i) params_[i].Bind(in->sqlvar[i]);
    isc_tr_handle* tr = tr_.Handle();
    if (statementType_ == isc_info_sql_stmt_select ||
        statementType_ == isc_info_sql_stmt_select_for_upd) {
        ib::Call([&](ISC_STATUS* s) { return isc_dsql_execute(s, tr, stmt_.Ptr(), 1, in); });
        cursorOpen_ = true;
        eof_ = false;
        Next();
    } else if (statementType_ == isc_info_sql_stmt_exec_procedure && !fields_.empty()) {
        ib::Call([&](ISC_STATUS* s) {
            return isc_dsql_execute2(s, tr, stmt_.Ptr(), 1, in, AreaOf(outArea_));
        });
        eof_ = false;
    } else {
        ib::Call([&](ISC_STATUS* s) { return isc_dsql_execute(s, tr, stmt_.Ptr(), 1, in); });
        eof_ = true;
    }
}

int64_t TFbStatement::RowsAffected() {
    if (!stmt_) Fail("Statement not prepared");
    const char items[] = {isc_info_sql_records};
    char info[64] = {};
    ib::Call([&](ISC_STATUS* s) {
        return isc_dsql_sql_info(s, stmt_.Ptr(), sizeof items, items, sizeof info, info);
    });
    if (info[0] != isc_info_sql_records) Fail("Cannot read the rows changed");
    int64_t rows = 0;
    // Counts of inserted, updated, deleted and selected rows, each with its length.
    const char* p = info + 3;
    const char* const end = info + sizeof info;
    while (p + 3 <= end && *p != isc_info_end) {
        const char item = *p;
        const short len = static_cast<short>(isc_vax_integer(p + 1, 2));
        if (len < 0 || p + 3 + len > end) break;
        const int64_t count = isc_vax_integer(p + 3, len);
        if (item == isc_info_req_insert_count || item == isc_info_req_update_count ||
            item == isc_info_req_delete_count)
            rows += count;
        p += 3 + len;
    }
    return rows;
}

void TFbStatement::Next() {
    if (!cursorOpen_ || eof_) return;
    const ISC_STATUS rc = ib::Call(
        [&](ISC_STATUS* s) { return isc_dsql_fetch(s, stmt_.Ptr(), 1, AreaOf(outArea_)); });
    if (rc == 100) eof_ = true;
}

void TFbStatement::Close() {
    eof_ = true;
    if (!cursorOpen_) return;
    cursorOpen_ = false;
    // The cursor may already be gone with its transaction; nothing is left to close then.
    ib::TryCall([&](ISC_STATUS* s) { return isc_dsql_free_statement(s, stmt_.Ptr(), DSQL_close); });
}

const TFbField& TFbStatement::Fields(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= fields_.size())
        Fail("Field index out of range: " + std::to_string(index));
    return fields_[static_cast<size_t>(index)];
}

const TFbField& TFbStatement::FieldByName(std::string_view name) const {
    for (const TFbField& f : fields_)
        if (SameText1251(f.name_, name)) return f;
    Fail("Field \"" + std::string(name) + "\" not found");
}

std::string TFbStatement::ReadBlobText(ISC_QUAD id) const {
    isc_db_handle* db = db_.Handle();
    isc_tr_handle* tr = tr_.Handle();
    ib::TBlobHandle blob;
    ib::Call([&](ISC_STATUS* s) { return isc_open_blob2(s, db, tr, blob.Ptr(), &id, 0, nullptr); });
    std::string text;
    char buffer[8192];
    for (;;) {
        unsigned short got = 0;
        ib::TStatus status;
        const ISC_STATUS rc =
            isc_get_segment(status.Vector(), blob.Ptr(), &got, sizeof buffer, buffer);
        if (rc == isc_segstr_eof) break;
        if (rc != 0 && rc != isc_segment) status.Check();
        text.append(buffer, got);
    }
    return text;
}
