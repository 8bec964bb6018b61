// Failure reporting of the runtime library. The facts about a failure (reason, raise
// site, cause) live in a heap object of the d_exception_t family that is never thrown
// itself; what is thrown is a shell that owns it, so that the facts survive the copies a
// throw makes. Handlers catch the shell, or std::exception, and call what().
//
// Raising, at every raise site of the library:
//
//     BUG_exception_shell_t shell("cannot open %s", name); // or shell.message() = ...
//     raise_exception<BUG_exception>(shell, "utilities", 1656);
//
// The source name and line are data the raise site passes, so they stay stable when the
// code around them moves.
#pragma once

#include "utilities.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

// Base of the family; its own std::exception text is not used.
class _d_exception_t : public std::exception
{
public:
    ~_d_exception_t() override = default;
};

// What went wrong and where. Owns its reason text and its cause.
class d_exception_t : public _d_exception_t
{
public:
    // file: source name of the raise site, kept from after its last backslash; the text
    // is not copied, so pass a string literal (null is taken as ""). reason: copied when
    // given. Throws std::bad_alloc when the copy cannot be made.
    d_exception_t(const char* file, std::int32_t line, const char* reason = nullptr);
    // As above, adopting cause (null: none). The cause is destroyed with this object,
    // also when this constructor throws.
    d_exception_t(const char* file, std::int32_t line, std::unique_ptr<d_exception_t> cause, const char* reason);
    ~d_exception_t() override;

    d_exception_t(const d_exception_t&) = delete;
    d_exception_t& operator=(const d_exception_t&) = delete;

    // Replaces the reason by the printf-style text (formatted by string_vprintf). When
    // anything goes wrong on the way the reason becomes
    // "d_exception_t::set_reason failed because of exception"; never throws.
    void set_reason(const char* format, ...) noexcept RUNTIME_PRINTF(2, 3);

    // The reason; without one, the cause's what(); without either, "NO REASON". Valid
    // while this object lives and its reason is not replaced.
    const char* what() const noexcept override;

    const char* file() const noexcept { return m_file; }
    std::int32_t line() const noexcept { return m_line; }
    const d_exception_t* cause() const noexcept { return m_cause.get(); }

private:
    const char* m_file;
    std::int32_t m_line;
    std::unique_ptr<d_exception_t> m_cause;
    std::unique_ptr<char[]> m_reason; // NUL-terminated, or null
};

// Faults of the library itself (a failed conversion, a failed hook).
class BUG_exception : public d_exception_t
{
public:
    using d_exception_t::d_exception_t;
};

// Failures of the synchronization primitives.
class sync_exception : public d_exception_t
{
public:
    using d_exception_t::d_exception_t;
};

// The thrown object: collects the message of a raise site and owns the exception it
// describes. Copying moves the exception to the copy (the source keeps nothing), which
// is what lets a thrown copy carry it while the raise site's shell unwinds.
class d_exception_t_shell_t : public std::exception
{
public:
    d_exception_t_shell_t() noexcept = default;
    // Copies the message, then takes other's exception. Throws std::bad_alloc when the
    // message cannot be copied; other then keeps its exception.
    d_exception_t_shell_t(d_exception_t_shell_t& other);
    d_exception_t_shell_t(d_exception_t_shell_t&& other); // NOLINT(performance-noexcept-move-constructor): as above
    d_exception_t_shell_t& operator=(const d_exception_t_shell_t&) = delete;
    ~d_exception_t_shell_t() override;

    // The message buffer a raise site fills before commit().
    std::string& message() noexcept { return m_message; }
    const std::string& message() const noexcept { return m_message; }

    // Adopts exception; a different one held before is destroyed.
    void attach(std::unique_ptr<d_exception_t> exception) noexcept;
    // Adopts a new plain d_exception_t for the raise site (with cause, no reason), then
    // commits. Throws std::bad_alloc when the exception cannot be created.
    void attach(const char* file, std::int32_t line, std::unique_ptr<d_exception_t> cause);

    // Makes the message the held exception's reason, then empties the message and gives
    // back its storage. With no exception held the message is kept for a later commit.
    void commit() noexcept;

    // The held exception, null once it has moved to a copy.
    const d_exception_t* exception() const noexcept { return m_held.get(); }

    // The held exception's what(), or "NOTHING: I am cloned shell." when it has moved.
    const char* what() const noexcept override;

private:
    std::string m_message;
    std::unique_ptr<d_exception_t> m_held;
};

class BUG_exception_shell_t : public d_exception_t_shell_t
{
public:
    BUG_exception_shell_t() noexcept = default;
    // The message becomes the printf-style text (string_printf).
    explicit BUG_exception_shell_t(const char* format, ...) RUNTIME_PRINTF(2, 3);
    BUG_exception_shell_t(BUG_exception_shell_t& other) : d_exception_t_shell_t(other) {}
    // NOLINTNEXTLINE(performance-noexcept-move-constructor): copies the message, which can throw
    BUG_exception_shell_t(BUG_exception_shell_t&& other) : d_exception_t_shell_t(std::move(other)) {}
};

class sync_exception_shell_t : public d_exception_t_shell_t
{
public:
    sync_exception_shell_t() noexcept = default;
    sync_exception_shell_t(sync_exception_shell_t& other) : d_exception_t_shell_t(other) {}
    // NOLINTNEXTLINE(performance-noexcept-move-constructor): copies the message, which can throw
    sync_exception_shell_t(sync_exception_shell_t&& other) : d_exception_t_shell_t(std::move(other)) {}
};

// The raise sequence: a new exception_type for the raise site (file, line) is attached
// to shell, its message committed as the reason, and a copy of shell thrown; shell is
// left holding nothing. Throws std::bad_alloc instead when memory runs out.
template <class exception_type, class shell_type>
[[noreturn]] void raise_exception(shell_type& shell, const char* file, std::int32_t line)
{
    shell.attach(std::make_unique<exception_type>(file, line));
    shell.commit();
    throw shell; // NOLINT(cert-err60-cpp): the copy takes the exception over; see the shell
}

// The same with a plain d_exception_t that adopts cause (null: none).
template <class shell_type>
[[noreturn]] void raise_exception(shell_type& shell, const char* file, std::int32_t line,
                                  std::unique_ptr<d_exception_t> cause)
{
    shell.attach(file, line, std::move(cause));
    throw shell; // NOLINT(cert-err60-cpp): the copy takes the exception over; see the shell
}

// Record of one call of a traced function, a local object of that function. Scope
// tracking is never switched on, so records are not chained and nothing is logged.
class scope_trace_t
{
public:
    // function: the traced function's full signature text. file as for d_exception_t.
    scope_trace_t(const char* file, std::int32_t line, const char* function) noexcept { enter(file, line, function); }
    ~scope_trace_t() { leave(); }

    scope_trace_t(const scope_trace_t&) = delete;
    scope_trace_t& operator=(const scope_trace_t&) = delete;

    void enter(const char* file, std::int32_t line, const char* function) noexcept;
    void leave() noexcept {}

    const char* file() const noexcept { return m_file; }
    std::int32_t line() const noexcept { return m_line; }
    const char* function() const noexcept { return m_function; }

private:
    const char* m_file = "";
    std::int32_t m_line = 0;
    const char* m_function = "";
};

// The source name after its last backslash (forward slashes are not separators); ""
// for null.
const char* source_name_after_backslash(const char* file) noexcept;

// Reserves the per-thread slot of the scope chain (a TLS index) and the slot that holds
// each thread's exception state for the C++ runtime (a fiber-local index). When either
// cannot be had, writes "Cannot initialize exception engine" to standard output and
// returns false; the caller refuses to start. Must not be called while an exception is
// being handled. Harmless when the engine runs already.
bool exception_engine_start() noexcept;
// Gives both slots back, with the exception state of every thread; harmless when none
// is held. Must not be called while an exception is being handled.
void exception_engine_stop() noexcept;
// The slot's TLS index, or TLS_OUT_OF_INDEXES when none is held.
std::uint32_t exception_engine_slot() noexcept;
