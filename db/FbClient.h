#pragma once
// The thinnest layer over the Firebird client's C API: move-only handles and the one place where
// a status vector becomes an error.
#include <ibase.h>

#include <string>
#include <utility>
#include <vector>

#include "common/Errors.h"

class EDatabaseError : public EError {
public:
    EDatabaseError(const std::string& message, ISC_STATUS code = 0)
        : EError(message),
          codes_(code ? std::vector<ISC_STATUS>{code} : std::vector<ISC_STATUS>{}) {}
    EDatabaseError(const std::string& message, std::vector<ISC_STATUS> codes)
        : EError(message), codes_(std::move(codes)) {}
    // The first error code of the status vector (isc_network_error, isc_att_shutdown, ...).
    ISC_STATUS Code() const { return codes_.empty() ? 0 : codes_.front(); }
    // Every error code of the status vector, outermost first: the first is often only
    // isc_dsql_error, the cause comes after it.
    const std::vector<ISC_STATUS>& Codes() const { return codes_; }
    bool Has(ISC_STATUS code) const;
    // Whether the server refused what one statement carried (a value too long or out of range,
    // a conversion, a constraint, a trigger's exception) while the database itself is well.
    // Anything else, an unknown error included, is the database's.
    bool RefusesData() const;

private:
    std::vector<ISC_STATUS> codes_;
};

namespace ib {

// One status vector per call. Check() throws the client's own messages when the call failed.
class TStatus {
public:
    ISC_STATUS* Vector() { return vector_; }
    bool Failed() const { return vector_[0] == 1 && vector_[1] != 0; }
    std::string Message() const;
    std::vector<ISC_STATUS> Codes() const;
    void Check() const;

private:
    ISC_STATUS_ARRAY vector_{};
};

// Runs one client call, given as a function of the status vector; throws when it failed.
template <class F>
ISC_STATUS Call(F&& call) {
    TStatus status;
    const ISC_STATUS rc = call(status.Vector());
    status.Check();
    return rc;
}

// Same, for paths that must not throw (destructors, clean-up after a failure): false on failure.
template <class F>
bool TryCall(F&& call) noexcept {
    TStatus status;
    call(status.Vector());
    return !status.Failed();
}

// A client handle with its release call; move-only, released on destruction without throwing.
template <class H, void (*Release)(H&)>
class THandle {
public:
    THandle() = default;
    ~THandle() { Reset(); }
    THandle(THandle&& other) noexcept : h_(std::exchange(other.h_, 0)) {}
    THandle& operator=(THandle&& other) noexcept {
        if (this != &other) {
            Reset();
            h_ = std::exchange(other.h_, 0);
        }
        return *this;
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;

    H* Ptr() { return &h_; }
    H Get() const { return h_; }
    explicit operator bool() const { return h_ != 0; }
    void Reset() {
        if (h_) Release(h_);
        h_ = 0;
    }
    // Forgets the handle without a release call (the client already ended it).
    void Forget() { h_ = 0; }

private:
    H h_ = 0;
};

void DetachQuietly(isc_db_handle& h);
void RollbackQuietly(isc_tr_handle& h);
void DropQuietly(isc_stmt_handle& h);
void CloseBlobQuietly(isc_blob_handle& h);

using TDbHandle = THandle<isc_db_handle, DetachQuietly>;
using TTrHandle = THandle<isc_tr_handle, RollbackQuietly>;
using TStmtHandle = THandle<isc_stmt_handle, DropQuietly>;
using TBlobHandle = THandle<isc_blob_handle, CloseBlobQuietly>;

}  // namespace ib
