#pragma once
// The one base of every typed error. Messages are Windows-1251 bytes, mostly English.
#include <stdexcept>
#include <string>

class EError : public std::runtime_error {
public:
    explicit EError(const std::string& message) : std::runtime_error(message) {}
};
