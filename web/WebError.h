#pragma once
#include "common/Errors.h"

namespace web {

// The web program's own failures: its settings, its certificate, its listening address.
class EWebError : public EError {
public:
    using EError::EError;
};

}  // namespace web
