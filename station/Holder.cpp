#include "station/Controller.h"

std::unique_ptr<TRecorder> LoadHolder() {
    auto recorder = std::make_unique<TRecorder>();
    recorder->LoadConfiguration();
    return recorder;
}
