// The exception objects, the thrown shells and the raise sequence.
#include "runtime/exceptions.h"
#include "support/RaisedException.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <typeinfo>

namespace
{
// Counts destructions, to see who owns what.
int g_destroyed = 0;
class counted_exception : public d_exception_t
{
public:
    using d_exception_t::d_exception_t;
    ~counted_exception() override { ++g_destroyed; }
};

// Restores the C runtime's formatter when a test ends.
struct formatter_scope
{
    explicit formatter_scope(string_formatter_t formatter) { set_string_formatter_for_testing(formatter); }
    ~formatter_scope() { set_string_formatter_for_testing(nullptr); }
};

int throwing_int_formatter(char*, std::size_t, const char*, va_list)
{
    throw 42;
}

int throwing_std_formatter(char*, std::size_t, const char*, va_list)
{
    throw std::runtime_error("boom");
}

TEST(ExceptionTest, WhatPrefersOwnReasonThenCause)
{
    EXPECT_STREQ(d_exception_t("a", 1).what(), "NO REASON");
    EXPECT_STREQ(d_exception_t("a", 1, "own").what(), "own");

    d_exception_t without_reason("outer", 2, std::make_unique<d_exception_t>("inner", 1, "inner reason"), nullptr);
    EXPECT_STREQ(without_reason.what(), "inner reason");
    d_exception_t with_reason("outer", 2, std::make_unique<d_exception_t>("inner", 1, "inner reason"), "outer");
    EXPECT_STREQ(with_reason.what(), "outer");
    d_exception_t neither("outer", 2, std::make_unique<d_exception_t>("inner", 1), nullptr);
    EXPECT_STREQ(neither.what(), "NO REASON");
}

TEST(ExceptionTest, FileIsCutAfterLastBackslashOnly)
{
    EXPECT_STREQ(d_exception_t("C:\\src\\runtime\\utilities.cpp", 1).file(), "utilities.cpp");
    const char* plain = "utilities";
    EXPECT_EQ(d_exception_t(plain, 1).file(), plain) << "kept, not copied";
    EXPECT_STREQ(d_exception_t("src/runtime/syncers.cpp", 1).file(), "src/runtime/syncers.cpp");
    EXPECT_STREQ(d_exception_t("mixed/dir\\name.cpp", 1).file(), "name.cpp");
    EXPECT_STREQ(d_exception_t("dir\\", 1).file(), "");
    EXPECT_STREQ(d_exception_t(nullptr, 1).file(), "");

    scope_trace_t scope("D:\\build\\types", 18, "void f(void)");
    EXPECT_STREQ(scope.file(), "types");
    EXPECT_EQ(scope.line(), 18);
    EXPECT_STREQ(scope.function(), "void f(void)");
}

TEST(ExceptionTest, CauseIsDestroyedWithItsOwner)
{
    g_destroyed = 0;
    {
        counted_exception outer("o", 1, std::make_unique<counted_exception>("i", 2, "why"), nullptr);
        EXPECT_STREQ(outer.cause()->what(), "why");
    }
    EXPECT_EQ(g_destroyed, 2);
}

TEST(ExceptionTest, SetReasonFormatsAndReplaces)
{
    d_exception_t e("x", 1, "first");
    e.set_reason("%s=%d", "count", 5);
    EXPECT_STREQ(e.what(), "count=5");
    e.set_reason("%s", "");
    EXPECT_STREQ(e.what(), "") << "an empty reason is still a reason";
}

TEST(ExceptionTest, SetReasonFallsBackWhenAnExceptionEscapesFormatting)
{
    d_exception_t e("x", 1, "old");
    {
        formatter_scope scope(throwing_int_formatter);
        e.set_reason("%d", 1);
    }
    EXPECT_STREQ(e.what(), "d_exception_t::set_reason failed because of exception");
    EXPECT_EQ(std::string(e.what()).size() + 1, 54u);

    // A standard exception is turned into text by the formatting step itself.
    formatter_scope scope(throwing_std_formatter);
    e.set_reason("%d", 1);
    EXPECT_STREQ(e.what(), "vsnprintf failed because of boom");
}

TEST(ShellTest, CopyMovesTheExceptionAndCopiesTheMessage)
{
    d_exception_t_shell_t source;
    source.message() = "pending text";
    source.attach(std::make_unique<d_exception_t>("s", 7, "reason"));
    const d_exception_t* held = source.exception();

    d_exception_t_shell_t copy(source);
    EXPECT_EQ(copy.exception(), held);
    EXPECT_STREQ(copy.what(), "reason");
    EXPECT_EQ(copy.message(), "pending text");
    EXPECT_EQ(source.exception(), nullptr);
    EXPECT_STREQ(source.what(), "NOTHING: I am cloned shell.");
    EXPECT_EQ(source.message(), "pending text");
    EXPECT_STREQ(d_exception_t_shell_t().what(), "NOTHING: I am cloned shell.");
}

TEST(ShellTest, CommitMakesTheMessageTheReasonAndReleasesTheBuffer)
{
    d_exception_t_shell_t shell;
    shell.message() = std::string(200, 'm') + " 100% sure";
    shell.commit();
    EXPECT_EQ(shell.message().size(), 210u) << "with nothing held the message is kept";

    shell.attach(std::make_unique<d_exception_t>("s", 1));
    shell.commit();
    EXPECT_EQ(shell.what(), std::string(200, 'm') + " 100% sure") << "the message is text, not a format";
    EXPECT_TRUE(shell.message().empty());
    EXPECT_EQ(shell.message().capacity(), std::string().capacity());
}

TEST(ShellTest, AttachReplacesAndDestroysTheFormerException)
{
    g_destroyed = 0;
    d_exception_t_shell_t shell;
    shell.attach(std::make_unique<counted_exception>("a", 1, "first"));
    shell.attach(std::make_unique<counted_exception>("b", 2, "second"));
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_STREQ(shell.what(), "second");

    // Attaching the held object again keeps one owner.
    shell.attach(std::unique_ptr<d_exception_t>(const_cast<d_exception_t*>(shell.exception())));
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_STREQ(shell.what(), "second");
}

TEST(ShellTest, RaiseThrowsACopyCatchableAsShellAndStdException)
{
    BUG_exception_shell_t shell("UNICODE to cp%d conversion failed because of %s", 1251, "nothing");
    try
    {
        raise_exception<BUG_exception>(shell, "utilities", 1656);
    }
    catch (const BUG_exception_shell_t& thrown)
    {
        ExpectRaised<BUG_exception>(thrown, "utilities", 1656,
                                    "UNICODE to cp1251 conversion failed because of nothing");
        EXPECT_TRUE(thrown.message().empty());
    }
    EXPECT_EQ(shell.exception(), nullptr) << "the raising shell keeps nothing";

    sync_exception_shell_t sync;
    sync.message() = "cannot initialize critical section";
    EXPECT_THROW(raise_exception<sync_exception>(sync, "syncers", 782), d_exception_t_shell_t);
    sync.message() = "again";
    try
    {
        raise_exception<sync_exception>(sync, "syncers", 782);
    }
    catch (const std::exception& thrown)
    {
        EXPECT_STREQ(thrown.what(), "again");
    }
}

TEST(ShellTest, PlainRaiseWithCauseCommitsTheMessage)
{
    d_exception_t_shell_t shell;
    shell.message() = "cannot initialize thread engine";
    try
    {
        raise_exception(shell, "_kern", 318, std::make_unique<BUG_exception>("inner", 5, "root cause"));
    }
    catch (const d_exception_t_shell_t& thrown)
    {
        ExpectRaised<d_exception_t>(thrown, "_kern", 318, "cannot initialize thread engine");
        ASSERT_NE(thrown.exception()->cause(), nullptr);
        EXPECT_STREQ(thrown.exception()->cause()->what(), "root cause");
    }
}
} // namespace
