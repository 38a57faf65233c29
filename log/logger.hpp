// Leveled, time-stamped log lines and the ANSI colour strings of the status screen.
#pragma once

#include <cstdio>
#include <string>

// The process log stream: standard output until the gateway opens the log file.
extern FILE* flog;

namespace logger {

namespace msg_type {
constexpr int info = 0;
constexpr int warn = 1;
constexpr int err = 2;
constexpr int evt = 3;
constexpr int dbg = 4; // never written
constexpr int no_type = 5;
} // namespace msg_type

// Escape strings for other parts' screens; the logger writes its own literals.
namespace color {
extern const char* const reset;
extern const char* const black;
extern const char* const red;
extern const char* const green;
extern const char* const yellow;
extern const char* const blue;
extern const char* const magenta;
extern const char* const cyan;
extern const char* const white;
extern const char* const boldblack;
extern const char* const boldred;
extern const char* const boldgreen;
extern const char* const boldyellow;
extern const char* const boldblue;
extern const char* const boldmagenta;
extern const char* const boldcyan;
extern const char* const boldwhite;
} // namespace color

// Switched on by the status-screen option alone, whatever the log stream is (terminal, pipe or
// file).
void set_colorization(bool on);
bool is_colorized();

// Writes one entry "[MM-DD hh:mm:ss.uuuuuu] <7-char tag> <message>" to `stream`. The message
// carries its own "\n". Returns the number of characters the caller's message produced; 0 for
// `dbg`, which writes nothing. Never flushes. Safe to call from any thread (not from a signal
// handler: the signal handler leaves its lines to the main loop).
int print(FILE* stream, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

} // namespace logger

// Reports a failure code to flog (level err) and to syslog (LOG_ERR). A positive code is taken as
// an errno value; -1 and other codes get a plain sentence.
void print_error(int code);

// An errno value for a log line: its text and its name, "No space left on device (ENOSPC)";
// "error 4242" for a number the C library does not know. Any thread.
std::string errno_text(int error);

// The cause text print_error uses for `code`.
const char* failure_cause(int code);

// Hex dump of `count` elements of `width` bits (8, 16, 32 or 64) at `addr`, `per_line` a line,
// through logger::print at level info. Any other width writes nothing. The caller guarantees a
// readable range and per_line > 0.
void print_mem(const char* title, unsigned long addr, int width, unsigned long count, int per_line);
