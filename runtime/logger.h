// The runtime library's diagnostic log: lines with a fixed header (local date and time
// to the hundredth of a second, level, process id, thread id, thread name) written to a
// C runtime file descriptor, standard error by default, with runs of identical messages
// collapsed into one "[Logger] Last message repeated <n> times" notice.
//
// Callers hold the default logging lock (syncers.h) around each line:
//
//     lock_guard_t guard(default_logging_lock());
//     if_logger_t* logger = global_logger();
//     if (logger != nullptr && logger->is_enabled(log_level_trace))
//         log_trace(logger, "[ApiHook] %s hooked", name);
#pragma once

#include "syncers.h"
#include "utilities.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <string>

// Levels run from 0 (most severe) to 12; the ones the library writes with:
constexpr std::int32_t log_level_error = 1; // "ERR"
constexpr std::int32_t log_level_info = 4;  // "inf", the global logger's level
constexpr std::int32_t log_level_trace = 8; // "tr3"

// Source of the current time for log headers: 100-nanosecond units since 1601-01-01
// UTC, as GetSystemTimeAsFileTime gives it.
using log_clock_t = std::uint64_t (*)();
std::uint64_t log_system_clock() noexcept;

// A logger. Any thread may log; logging never throws and never changes the caller's
// errno or last error. Failures (formatting, writing) lose or alter the line only.
class if_logger_t : public virtual if_root_t
{
public:
    // When level is not above the configured level: formats the line (format_line) and
    // writes it (write_line) unless it came out empty.
    virtual void log(std::int32_t level, const char* format, va_list args) noexcept;
    virtual void set_level(std::int32_t level) noexcept;
    virtual std::int32_t get_level() const noexcept;
    // True when lines of this level are written (the configured level is at least it).
    virtual bool is_enabled(std::int32_t level) const noexcept;
    // "FTL", "ERR", "wrn", "ntc", "inf", "tr0".."tr3", "db0".."db3" for 0..12; "db3" for
    // any other number.
    virtual const char* level_name(std::int32_t level) const noexcept;
    // output becomes the header followed by the formatted body, without line end.
    // Throws only what the allocator throws.
    virtual void format_line(std::int32_t level, std::string& output, const char* format, va_list args);
    virtual void write_line(const std::string& text) noexcept = 0;

    // A test seam: see the end of this header.
    friend log_clock_t set_log_clock_for_testing(if_logger_t& logger, log_clock_t clock) noexcept;

protected:
    explicit if_logger_t(std::int32_t level) noexcept : m_level(level) {}

    // log_header_text for this moment and level, the calling process and thread.
    std::string make_header(std::int32_t level) const;

private:
    std::atomic<std::int32_t> m_level;
    std::atomic<log_clock_t> m_clock{nullptr}; // null: log_system_clock
};

// A logger writing to a C runtime file descriptor through its system handle.
class fd_logger_t : public if_logger_t
{
public:
    // descriptor: 2 for standard error; -1 for no output. Raises sync_exception_shell_t
    // when its lock cannot be created.
    fd_logger_t(int descriptor, std::int32_t level);
    // Writes a pending repeat notice first.
    ~fd_logger_t() override;

    // A body equal to the previous line's body (same bytes; the level does not count) is
    // not written but counted: output is left empty. A different body gives header,
    // body and "\n" (never "\r\n"), after the notice for the run it ends.
    void format_line(std::int32_t level, std::string& output, const char* format, va_list args) override;
    // At most 8,388,607 bytes of text, under the logger's lock so that lines of different
    // threads never mix (their order may still differ from the order of their repeat
    // decisions); write errors are ignored.
    void write_line(const std::string& text) noexcept override;

    int descriptor() const noexcept { return m_descriptor; }

private:
    // Writes "<last header>[Logger] Last message repeated <n> times\n" when the last body
    // occurred more than once, and forgets the last line. Called under m_lock.
    void flush_repeats() noexcept;
    void write_text(const char* text, std::size_t length) noexcept;

    const int m_descriptor;
    std::string m_last_header;
    std::string m_last_body;
    std::uint32_t m_repeat_count = 1; // occurrences of the last body; 1: nothing to report
    critical_section_t m_lock;        // guards the three fields above and every write
    const HANDLE m_handle;
};

// Variadic forms of log: level 8 ("tr3") and level 1 ("ERR"). A null logger is ignored.
void log_trace(if_logger_t* logger, const char* format, ...) noexcept RUNTIME_PRINTF(2, 3);
void log_error(if_logger_t* logger, const char* format, ...) noexcept RUNTIME_PRINTF(2, 3);

// The global logger: an fd_logger_t on standard error at level 4, from
// global_logger_create() to global_logger_destroy(); null outside that time.
if_logger_t* global_logger() noexcept;
bool global_logger_create() noexcept; // false when the logger cannot be built
// Clears the pointer, then deletes the logger (writing any pending notice).
void global_logger_destroy() noexcept;

// The header's time arithmetic, on instants counted in 10-nanosecond units since
// 0001-01-01 00:00 of the proleptic Gregorian calendar.
struct log_calendar_t
{
    int year, month, day, hour, minute, second, hundredths;
};
// The instant of a clock reading (saturating far beyond any real date).
std::int64_t log_instant_of(std::uint64_t file_time) noexcept;
// Unix time of an instant: 0 before 1970, 2,147,483,647 from 2038-01-19 03:14:08 on.
std::int64_t log_unix_time_of(std::int64_t instant) noexcept;
// Local minus UTC in seconds, from the two broken-down forms of one moment.
std::int32_t log_local_offset(const std::tm& local, const std::tm& utc) noexcept;
// The C runtime's local offset at a Unix time (it honours TZ); 0 when it cannot tell.
std::int32_t log_local_offset_at(std::int64_t unix_time) noexcept;
// Date and time of an instant.
log_calendar_t log_calendar_of(std::int64_t instant) noexcept;
// A line's header: "%04d%02d%02d.%02d%02d%02d.%02d %3s [%5lu %03lx] %-6s " of the local
// date and time, the level name, the process id, the thread id and the thread's name.
std::string log_header_text(const log_calendar_t& at, const char* level_name, std::uint32_t process_id,
                            std::uint32_t thread_id, const char* thread_name);

// --- Test seams ---------------------------------------------------------------------
// Replaces the clock one logger's headers read, for tests that need fixed instants;
// nothing else installs one. As every seam of the library: null restores
// log_system_clock, and the call returns the clock installed before (log_system_clock
// when none was), never null.
log_clock_t set_log_clock_for_testing(if_logger_t& logger, log_clock_t clock) noexcept;
