#include "base/Logger.h"

#include <event2/event.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

const char LevelLetters[] = "UACEWNIDV";

namespace {
unsigned char g_rankTable[256]; // all zero until built
} // namespace

int levelRank(char letter)
{
    return g_rankTable[static_cast<unsigned char>(letter)];
}

void buildLevelRankTable()
{
    for (int i = 0; LevelLetters[i]; ++i)
        g_rankTable[static_cast<unsigned char>(LevelLetters[i])] = static_cast<unsigned char>(i);
    for (int i = 0; i <= 8; ++i)
        g_rankTable[i] = static_cast<unsigned char>(i);
}

// All loggers live in this one translation unit so that the parent links are
// in place before any other static initialiser could log.
Logger rootLogger("", nullptr);
Logger logProxy("NcmProxy", &rootLogger);
Logger logDnsClient("NcmDnsClient", &rootLogger);
Logger logRemote("NcmRemote", &rootLogger);
Logger logContext("NcmProxyContext", &rootLogger);
Logger logDnsResolution("NcmDnsResolution", &rootLogger);
Logger logNat64("Nat64PrefixUtil", &rootLogger);

void Logger::write(char letter, const char* format, va_list args)
{
    const int rank = levelRank(letter);
    if (rank > levelRank(m_level))
        return;
    if (m_output) {
        m_output(letter, m_tag, format, args);
        return;
    }
    for (Logger* g = m_parent; g; g = g->m_parent) {
        if (rank > levelRank(g->m_level))
            return;
        if (g->m_output) {
            g->m_output(letter, m_tag, format, args);
            return;
        }
    }
}

#define NCM_LOGGER_METHOD(name, letter)                                                                      \
    void Logger::name(const char* format, ...)                                                               \
    {                                                                                                        \
        va_list args;                                                                                        \
        va_start(args, format);                                                                              \
        write(letter, format, args);                                                                         \
        va_end(args);                                                                                        \
    }
NCM_LOGGER_METHOD(error, 'E')
NCM_LOGGER_METHOD(warn, 'W')
NCM_LOGGER_METHOD(info, 'I')
NCM_LOGGER_METHOD(debug, 'D')
NCM_LOGGER_METHOD(verbose, 'V')
#undef NCM_LOGGER_METHOD

void Logger::setOutput(LogOutput output)
{
    m_output = output;
    if (this == &rootLogger)
        event_set_log_callback(libeventLogHook);
}

LogLineBuffer::~LogLineBuffer()
{
    if (data != inlineData)
        std::free(data);
}

namespace {

// Moves the buffer to a block of newCapacity bytes, keeping what it holds.
bool growLogLine(LogLineBuffer& buffer, size_t newCapacity)
{
    if (buffer.data == buffer.inlineData) {
        char* block = static_cast<char*>(std::malloc(newCapacity));
        if (!block)
            return false;
        std::memcpy(block, buffer.data, buffer.capacity);
        buffer.data = block;
    } else {
        char* block = static_cast<char*>(std::realloc(buffer.data, newCapacity));
        if (!block)
            return false;
        buffer.data = block;
    }
    buffer.capacity = newCapacity;
    return true;
}

} // namespace

bool formatLogLine(
    LogLineBuffer& buffer, size_t reserve, char level, const char* tag, const char* format, va_list args)
{
    // Asked once per thread: a system call per line showed in busy profiles.
    static thread_local const unsigned threadId = static_cast<unsigned>(syscall(SYS_gettid));
    if (reserve >= buffer.capacity)
        return false;

    // The time text changes once a second; busy threads log many lines in one.
    static thread_local std::time_t shownSecond = -1;
    static thread_local char timeText[80];
    const std::time_t now = std::time(nullptr);
    if (now != shownSecond) {
        std::tm local;
        if (!localtime_r(&now, &local))
            return false;
        const size_t timeLength = std::strftime(timeText, sizeof timeText, "%Y-%m-%d %H:%M:%S", &local);
        if (timeLength < 1 || timeLength > 79)
            return false;
        shownSecond = now;
    }

    // The thread id is shown as eight upper-case hexadecimal digits.
    size_t limit = buffer.capacity - reserve;
    int header = std::snprintf(
        buffer.data, limit, "%s {0x%08X}[%c][%s] ", timeText, threadId, level, tag ? tag : "");
    if (header < 0 || static_cast<size_t>(header) >= limit) {
        static const char insufficient[] = "[logger_insufficient_buffer]";
        size_t n = std::min(sizeof insufficient - 1, limit - 1);
        std::memcpy(buffer.data, insufficient, n);
        buffer.data[n] = '\0';
        buffer.length = n;
        return false;
    }
    buffer.length = static_cast<size_t>(header);

    size_t space = buffer.capacity - buffer.length - reserve;
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(buffer.data + buffer.length, space, format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < space) {
            buffer.length += static_cast<size_t>(n);
            buffer.data[buffer.length] = '\0';
            return true;
        }
        if (buffer.capacity >= LogLineMaxCapacity)
            break;
        space = n < 0 ? space * 2 : static_cast<size_t>(n) + 1;
        size_t newCapacity = buffer.length + space + reserve;
        if (newCapacity >= LogLineMaxCapacity || !growLogLine(buffer, newCapacity))
            break;
    }
    // Too long (or no memory): the line keeps its header only.
    buffer.data[buffer.length] = '\0';
    return false;
}

void libeventLogHook(int severity, const char* message)
{
    switch (severity) {
    case EVENT_LOG_DEBUG: rootLogger.debug("event2: %s", message); break;
    case EVENT_LOG_MSG: rootLogger.info("event2: %s", message); break;
    case EVENT_LOG_WARN: rootLogger.warn("event2: %s", message); break;
    case EVENT_LOG_ERR: rootLogger.error("event2: %s", message); break;
    default: rootLogger.error("event2(unknown): %s", message); break;
    }
}

int stderrLogOutput(char level, const char* tag, const char* format, va_list args)
{
    char inlineStorage[256];
    LogLineBuffer line(inlineStorage, sizeof inlineStorage);
    formatLogLine(line, 0, level, tag, format, args);
    if (line.length > 0) {
        line.data[line.length] = '\0';
        std::fprintf(stderr, "%s\n", line.data);
    }
    return 0;
}
