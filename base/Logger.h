#pragma once
#include <cstdarg>
#include <cstddef>

// A tree of tagged loggers. Module loggers forward to rootLogger, whose
// level is the effective threshold and whose output function (installed by
// the program that hosts the proxy) writes the line somewhere.

#define NCM_PRINTF(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))

// Output function: (level letter, tag, printf format, arguments).
using LogOutput = int (*)(char level, const char* tag, const char* format, va_list args);

// "UACEWNIDV": a letter's rank is its position; anything else ranks 0.
extern const char LevelLetters[];

// Rank of a level byte. Before buildLevelRankTable() has run every byte ranks 0.
int levelRank(char letter);

// Builds the rank table once; called by proxyGlobalInit().
void buildLevelRankTable();

class Logger {
public:
    constexpr Logger(const char* tag, Logger* parent)
        : m_parent(parent)
        , m_tag(tag)
    {
    }
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void error(const char* format, ...) NCM_PRINTF(2, 3);
    void warn(const char* format, ...) NCM_PRINTF(2, 3);
    void info(const char* format, ...) NCM_PRINTF(2, 3);
    void debug(const char* format, ...) NCM_PRINTF(2, 3);
    void verbose(const char* format, ...) NCM_PRINTF(2, 3);

    // Installing an output on rootLogger also routes libevent's messages here.
    void setOutput(LogOutput output);
    void setLevel(char level) { m_level = level; }
    char level() const { return m_level; }
    const char* tag() const { return m_tag; }

    // Cheap test for callers that build expensive arguments.
    bool enabled(char letter) const { return levelRank(letter) <= levelRank(m_level); }

    void write(char letter, const char* format, va_list args);

private:
    char m_level = 'V';
    LogOutput m_output = nullptr;
    Logger* m_parent;
    const char* m_tag;
};

extern Logger rootLogger;
extern Logger logProxy; // "NcmProxy"
extern Logger logDnsClient; // "NcmDnsClient"
extern Logger logRemote; // "NcmRemote"
extern Logger logContext; // "NcmProxyContext"
extern Logger logDnsResolution; // "NcmDnsResolution"
extern Logger logNat64; // "Nat64PrefixUtil"

// A line under construction: starts on caller-owned inline storage and moves
// to a heap block only for long messages.
struct LogLineBuffer {
    LogLineBuffer(char* inlineStorage, size_t inlineCapacity)
        : inlineData(inlineStorage)
        , capacity(inlineCapacity)
        , data(inlineStorage)
    {
        if (capacity > 0)
            data[0] = '\0';
    }
    ~LogLineBuffer();
    LogLineBuffer(const LogLineBuffer&) = delete;
    LogLineBuffer& operator=(const LogLineBuffer&) = delete;

    char* inlineData;
    size_t capacity;
    char* data;
    size_t length = 0;
};

// Lines stop growing at this size; a longer message leaves only the header.
constexpr size_t LogLineMaxCapacity = 1024 * 1024;

// Renders "<time> {0x<thread>}[<L>][<tag>] <message>" into the buffer.
// Returns true when the whole line was written.
bool formatLogLine(
    LogLineBuffer& buffer, size_t reserve, char level, const char* tag, const char* format, va_list args);

// libevent's log callback.
void libeventLogHook(int severity, const char* message);

// An output for programs without a GUI: one formatted line on standard error.
int stderrLogOutput(char level, const char* tag, const char* format, va_list args);

// An object's address for a "%p" in a log line.
inline void* ptr(const void* p)
{
    return const_cast<void*>(p);
}
