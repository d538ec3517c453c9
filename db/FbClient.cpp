#include "db/FbClient.h"

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

void TStatus::Check() const {
    if (Failed()) throw EDatabaseError(Message(), vector_[1]);
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
