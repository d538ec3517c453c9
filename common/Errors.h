#pragma once
// The one base of every typed error. Messages are Windows-1251 bytes, mostly English.
#include <stdexcept>
#include <string>

class EError : public std::runtime_error {
public:
    explicit EError(const std::string& message) : std::runtime_error(message) {}
};

// The table engine's errors (settings table file and its memo file).
class EDbfError : public EError {
public:
    explicit EDbfError(const std::string& message) : EError(message) {}
};
