#pragma once
// What a runtime exception shell caught in a test must carry: the concrete exception it
// wraps, where that was raised, and its message.

#include <typeinfo>

#include <gtest/gtest.h>

template <class Exception, class Shell>
void ExpectRaised(const Shell& thrown, const char* file, int line, const char* what)
{
    ASSERT_NE(thrown.exception(), nullptr);
    EXPECT_EQ(typeid(*thrown.exception()), typeid(Exception));
    EXPECT_STREQ(thrown.exception()->file(), file);
    EXPECT_EQ(thrown.exception()->line(), line);
    EXPECT_STREQ(thrown.what(), what);
}
