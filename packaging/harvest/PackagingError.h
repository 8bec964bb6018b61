// The one failure type of the packaging tools: a message for the person building the
// package, in UTF-8.
#pragma once

#include <stdexcept>
#include <string>

class PackagingError : public std::runtime_error
{
public:
    explicit PackagingError(const std::string& message) : std::runtime_error(message) {}
};
