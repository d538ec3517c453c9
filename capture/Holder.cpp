#include "capture/Controller.h"

std::unique_ptr<TMO> LoadHolder() {
    auto mo = std::make_unique<TMO>();
    mo->LoadConfiguration();
    return mo;
}
