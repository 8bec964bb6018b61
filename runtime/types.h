// The runtime library's basic vocabulary: the root of every runtime interface, the
// marker for classes that must not be copied, and releasing a string's storage.
#pragma once

#include <string>

// Root of every runtime interface. Interfaces inherit it virtually, so an object that
// implements several of them has one root and can be deleted through it.
class if_root_t
{
public:
    virtual ~if_root_t() = default;

protected:
    if_root_t() = default;
    if_root_t(const if_root_t&) = default;
    if_root_t& operator=(const if_root_t&) = default;
};

// Inherited (virtually) by classes that own something that cannot be duplicated, such
// as a kernel object: they get neither a copy constructor nor a copy assignment.
class noncopyable_t
{
protected:
    noncopyable_t() = default;
    ~noncopyable_t() = default;

public:
    noncopyable_t(const noncopyable_t&) = delete;
    noncopyable_t& operator=(const noncopyable_t&) = delete;
};

// Empties s and gives back its heap storage, leaving the allocation-free capacity of a
// new string. Never throws.
void clear_string(std::string& s) noexcept;
