#pragma once
// What a runtime exception shell caught in a test must carry: the concrete exception it
// wraps, where that was raised, and its message.

#include <typeinfo>

#include <gtest/gtest.h>

template <class Exception, class Shell>
void ExpectRaised(const Shell& thrown, const char* file, int line, const char* what)
{
    const auto* exception = thrown.exception();
    ASSERT_NE(exception, nullptr);
    EXPECT_EQ(typeid(*exception), typeid(Exception));
    EXPECT_STREQ(exception->file(), file);
    EXPECT_EQ(exception->line(), line);
    EXPECT_STREQ(thrown.what(), what);
}
