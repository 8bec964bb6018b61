#include "logger.h"

#include "_kern.h"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>

namespace
{
constexpr std::int64_t units_per_second = 100'000'000; // 10-nanosecond units
constexpr std::int64_t units_per_day = 86'400 * units_per_second;
constexpr std::int64_t units_before_1601 = 5'049'112'320'000'000'000; // 0001-01-01 to 1601-01-01
constexpr std::int64_t seconds_before_1970 = 62'135'596'800;          // 0001-01-01 to 1970-01-01
constexpr std::int64_t days_before_1970 = seconds_before_1970 / 86'400;
constexpr std::int64_t last_unix_time = 2'147'483'647;
constexpr std::size_t longest_write = 0x7FFFFF;

const char* const level_names[] = {"FTL", "ERR", "wrn", "ntc", "inf", "tr0", "tr1",
                                   "tr2", "tr3", "db0", "db1", "db2", "db3"};

std::atomic<if_logger_t*> g_global_logger{nullptr};

// Puts errno and the Windows last error back when the scope ends.
class caller_error_state_t
{
public:
    caller_error_state_t() noexcept : m_runtime_error(errno), m_last_error(GetLastError()) {}
    ~caller_error_state_t()
    {
        errno = m_runtime_error;
        SetLastError(m_last_error);
    }
    caller_error_state_t(const caller_error_state_t&) = delete;
    caller_error_state_t& operator=(const caller_error_state_t&) = delete;

private:
    int m_runtime_error;
    DWORD m_last_error;
};

void log_at(if_logger_t* logger, std::int32_t level, const char* format, va_list args) noexcept
{
    if (logger != nullptr)
    {
        logger->log(level, format, args);
    }
}
} // namespace

std::uint64_t log_system_clock() noexcept
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

std::int64_t log_instant_of(std::uint64_t file_time) noexcept
{
    constexpr std::uint64_t latest = (std::numeric_limits<std::int64_t>::max() - units_before_1601) / 10;
    return static_cast<std::int64_t>(std::min(file_time, latest)) * 10 + units_before_1601;
}

std::int64_t log_unix_time_of(std::int64_t instant) noexcept
{
    const std::int64_t unix_time = instant / units_per_second - seconds_before_1970;
    return std::clamp<std::int64_t>(unix_time, 0, last_unix_time);
}

std::int32_t log_local_offset(const std::tm& local, const std::tm& utc) noexcept
{
    int days = 0;
    if (local.tm_year == utc.tm_year)
    {
        days = local.tm_yday - utc.tm_yday;
    }
    else
    {
        days = local.tm_year > utc.tm_year ? 1 : -1;
    }
    return 3600 * (local.tm_hour - utc.tm_hour) + 60 * (local.tm_min - utc.tm_min) + (local.tm_sec - utc.tm_sec) +
           86'400 * days;
}

std::int32_t log_local_offset_at(std::int64_t unix_time) noexcept
{
    const __time64_t moment = unix_time;
    std::tm local{};
    std::tm utc{};
    if (_localtime64_s(&local, &moment) != 0 || _gmtime64_s(&utc, &moment) != 0)
    {
        return 0;
    }
    return log_local_offset(local, utc);
}

log_calendar_t log_calendar_of(std::int64_t instant) noexcept
{
    instant = std::max<std::int64_t>(instant, 0);
    // Civil date of a day count (days since 1970-01-01 shifted to eras of 400 years
    // starting on 0000-03-01, so that the leap day ends each year).
    const std::int64_t days = instant / units_per_day - days_before_1970 + 719'468;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const std::int64_t day_of_era = days - era * 146'097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
    const std::int64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;

    log_calendar_t calendar{};
    calendar.year = static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
    calendar.month = static_cast<int>(month);
    calendar.day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    calendar.hour = static_cast<int>(instant % units_per_day / (3600 * units_per_second));
    calendar.minute = static_cast<int>(instant % (3600 * units_per_second) / (60 * units_per_second));
    calendar.second = static_cast<int>(instant % (60 * units_per_second) / units_per_second);
    const std::int64_t milliseconds = instant % units_per_second / 100'000;
    calendar.hundredths = static_cast<int>(milliseconds / 10);
    return calendar;
}

void if_logger_t::log(std::int32_t level, const char* format, va_list args) noexcept
{
    if (!is_enabled(level))
    {
        return;
    }
    const caller_error_state_t keep_caller_errors;
    try
    {
        std::string output;
        format_line(level, output, format, args);
        if (!output.empty())
        {
            write_line(output);
        }
    }
    catch (...)
    {
        // A line that cannot be built is lost; the caller goes on.
    }
}

void if_logger_t::set_level(std::int32_t level) noexcept
{
    m_level.store(level);
}

std::int32_t if_logger_t::get_level() const noexcept
{
    return m_level.load();
}

bool if_logger_t::is_enabled(std::int32_t level) const noexcept
{
    return get_level() >= level;
}

const char* if_logger_t::level_name(std::int32_t level) const noexcept
{
    return level >= 0 && level <= 12 ? level_names[level] : "db3";
}

void if_logger_t::format_line(std::int32_t level, std::string& output, const char* format, va_list args)
{
    output = make_header(level);
    output += string_vprintf(format, args);
}

log_clock_t set_log_clock_for_testing(if_logger_t& logger, log_clock_t clock) noexcept
{
    const log_clock_t previous = logger.m_clock.exchange(clock);
    return previous != nullptr ? previous : log_system_clock;
}

std::string if_logger_t::make_header(std::int32_t level) const
{
    const log_clock_t clock = m_clock.load();
    const std::int64_t instant = log_instant_of(clock != nullptr ? clock() : log_system_clock());
    const std::int64_t offset = log_local_offset_at(log_unix_time_of(instant));
    const log_calendar_t at = log_calendar_of(instant + offset * units_per_second);

    return log_header_text(at, level_name(level), GetCurrentProcessId(), GetCurrentThreadId(), current_thread_name());
}

std::string log_header_text(const log_calendar_t& at, const char* level_name, std::uint32_t process_id,
                            std::uint32_t thread_id, const char* thread_name)
{
    std::string header;
    string_printf(header, "%04d%02d%02d.%02d%02d%02d.%02d %3s [%5lu %03lx] %-6s ", at.year, at.month, at.day, at.hour,
                  at.minute, at.second, at.hundredths, level_name, static_cast<unsigned long>(process_id),
                  static_cast<unsigned long>(thread_id), thread_name);
    return header;
}

fd_logger_t::fd_logger_t(int descriptor, std::int32_t level)
    : if_logger_t(level), m_descriptor(descriptor),
      m_handle(descriptor == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)))
{
}

fd_logger_t::~fd_logger_t()
{
    const lock_guard_t guard(&m_lock);
    flush_repeats();
}

void fd_logger_t::format_line(std::int32_t level, std::string& output, const char* format, va_list args)
{
    // Built before the lock: only the comparison and the repeat state need it.
    std::string header = make_header(level);
    std::string body = string_vprintf(format, args);

    const lock_guard_t guard(&m_lock);
    if (body == m_last_body)
    {
        m_last_header.swap(header);
        if (m_repeat_count != std::numeric_limits<std::uint32_t>::max())
        {
            ++m_repeat_count;
        }
        output.clear();
        return;
    }
    output.reserve(header.size() + body.size() + 1);
    output = header;
    output += body;
    output += '\n';
    flush_repeats();
    m_last_header.swap(header);
    m_last_body.swap(body);
}

void fd_logger_t::write_line(const std::string& text) noexcept
{
    // Writes to one handle from several threads are not atomic everywhere (Wine tears
    // them on files); the lock keeps every line and notice whole.
    const lock_guard_t guard(&m_lock);
    write_text(text.data(), text.size());
}

void fd_logger_t::flush_repeats() noexcept
{
    if (m_repeat_count == 1)
    {
        return;
    }
    try
    {
        const std::string notice =
            m_last_header + "[Logger] Last message repeated " + uint_to_string(m_repeat_count) + " times\n";
        write_text(notice.data(), notice.size());
    }
    catch (...)
    {
        // Out of memory: the notice is lost, the run still ends.
    }
    m_repeat_count = 1;
    clear_string(m_last_header);
    clear_string(m_last_body);
}

void fd_logger_t::write_text(const char* text, std::size_t length) noexcept
{
    if (m_descriptor == -1 || length == 0)
    {
        return;
    }
    DWORD written = 0;
    WriteFile(m_handle, text, static_cast<DWORD>(std::min(length, longest_write)), &written, nullptr);
}

void log_trace(if_logger_t* logger, const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    log_at(logger, log_level_trace, format, args);
    va_end(args);
}

void log_error(if_logger_t* logger, const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    log_at(logger, log_level_error, format, args);
    va_end(args);
}

if_logger_t* global_logger() noexcept
{
    return g_global_logger.load();
}

bool global_logger_create() noexcept
{
    if (g_global_logger.load() != nullptr)
    {
        return true;
    }
    try
    {
        g_global_logger.store(new fd_logger_t(2, log_level_info));
        return true;
    }
    catch (...)
    {
        return false;
    }
}

void global_logger_destroy() noexcept
{
    // Deleted through its root; destructors never throw, so unloading always goes on.
    if_root_t* logger = g_global_logger.exchange(nullptr);
    delete logger;
}
