#include "db/FbClient.h"

#include <algorithm>

bool EDatabaseError::Has(ISC_STATUS code) const {
    return std::find(codes_.begin(), codes_.end(), code) != codes_.end();
}

bool EDatabaseError::RefusesData() const {
    // The database's own failures win: a conversion error reported on a connection that is
    // going down is still the connection's.
    static const ISC_STATUS databaseCodes[] = {
        isc_network_error, isc_net_read_err,  isc_net_write_err, isc_lost_db_connection,
        isc_conn_lost,     isc_shutdown,      isc_att_shutdown,  isc_shutinprog,
        isc_io_error,      isc_lock_conflict, isc_deadlock,      isc_update_conflict,
        isc_lock_timeout,  isc_bad_db_handle, isc_login,         isc_no_priv,
        isc_badblk};
    static const ISC_STATUS dataCodes[] = {isc_arith_except,
                                           isc_string_truncation,
                                           isc_trunc_limits,
                                           isc_convert_error,
                                           isc_numeric_out_of_range,
                                           isc_exception_integer_overflow,
                                           isc_exception_float_overflow,
                                           isc_date_range_exceeded,
                                           isc_invalid_date_val,
                                           isc_transliteration_failed,
                                           isc_malformed_string,
                                           isc_except,
                                           isc_except2,
                                           isc_unique_key_violation,
                                           isc_no_dup,
                                           isc_foreign_key,
                                           isc_not_valid,
                                           isc_check_constraint};
    for (ISC_STATUS c : databaseCodes)
        if (Has(c)) return false;
    for (ISC_STATUS c : dataCodes)
        if (Has(c)) return true;
    return false;
}

namespace ib {

std::string TStatus::Message() const {
    std::string message;
    const ISC_STATUS* cursor = vector_;
    char buffer[1024];
    while (fb_interpret(buffer, sizeof buffer, &cursor) > 0) {
        if (!message.empty()) message += '\n';
        message += buffer;
    }
    return message.empty() ? std::string("Unknown database error") : message;
}

std::vector<ISC_STATUS> TStatus::Codes() const {
    // Clusters of (argument kind, value...), ended by isc_arg_end; warnings after the errors
    // are not the failure.
    std::vector<ISC_STATUS> codes;
    for (size_t i = 0; i + 1 < ISC_STATUS_LENGTH && vector_[i] != isc_arg_end;) {
        const ISC_STATUS kind = vector_[i];
        if (kind == isc_arg_warning) break;
        if (kind == isc_arg_gds) codes.push_back(vector_[i + 1]);
        i += kind == isc_arg_cstring ? 3 : 2;
    }
    return codes;
}

void TStatus::Check() const {
    if (Failed()) throw EDatabaseError(Message(), Codes());
}

void DetachQuietly(isc_db_handle& h) {
    TryCall([&](ISC_STATUS* s) { return isc_detach_database(s, &h); });
}

void RollbackQuietly(isc_tr_handle& h) {
    TryCall([&](ISC_STATUS* s) { return isc_rollback_transaction(s, &h); });
}

void DropQuietly(isc_stmt_handle& h) {
    TryCall([&](ISC_STATUS* s) { return isc_dsql_free_statement(s, &h, DSQL_drop); });
}

void CloseBlobQuietly(isc_blob_handle& h) {
    TryCall([&](ISC_STATUS* s) { return isc_close_blob(s, &h); });
}

}  // namespace ib
