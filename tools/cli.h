// Shared pieces of the wirekit program: exit codes, argument parsing, the
// event queues behind the context-free callback, progress display and the
// few console questions the subcommands ask.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "wirekit.h"

namespace cli {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// Thrown by argument parsing; main prints it with the subcommand's hint and
// exits with EXIT_USAGE.
struct UsageError {
    std::string message;
};

// Prints "wirekit: MESSAGE" on standard error and returns EXIT_FAILED.
int fail(const std::string& message);

// Positional arguments and options of one subcommand. Options are either
// flags ("--yes") or take values ("--from 9000", "--header 1 2"). A "--"
// ends the options: every word after it is positional, even one that starts
// with "-".
class Args {
public:
    Args(int argc, char** argv, int first);
    // True when the flag was given (once or more); it is then consumed.
    bool flag(const std::string& name);
    // The values of an option taking `count` values, consumed; empty when
    // absent. Giving the option twice is a usage error.
    std::vector<std::string> option(const std::string& name, int count = 1);
    // Remaining positional arguments; an unknown option is a usage error.
    std::vector<std::string> positionals();
    bool wantsHelp() const { return help_; }

private:
    std::vector<std::string> items_;     // before "--": options and positionals
    std::vector<std::string> literals_;  // after "--": positionals only
    bool help_ = false;
};

// A port number 1..65535 (0 as well when `allowZero`), or a UsageError.
int parsePort(const std::string& text, const char* what, bool allowZero = false);
// A number 0..255, or a UsageError.
unsigned char parseByte(const std::string& text, const char* what);
// A number of seconds from 1 to 86400 (a day), or a UsageError.
int parseSeconds(const std::string& text, const char* what);

// "1 byte", "2 bytes": a count with its noun in the right number.
std::string countOf(long long count, const std::string& noun);

// The library's UDP receive thread writes a line of its own to the C
// runtime's stdout when it starts and when it ends. So that these lines never
// mix with the program's results, main calls this first: the program keeps a
// duplicate of the real standard output for its results and points
// descriptor 1 (and with it the library's lines) at standard error. Windows
// does the same through its C runtime, which the DLL shares.
void separateLibraryOutput();
// The stream the program's results go to: the real standard output.
std::FILE* resultStream();
// printf to the result stream, flushed at once.
#if defined(__MINGW32__)
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void printOut(const char* format, ...);

// Paths are text the way the library takes them, on every system: UTF-8,
// and on Windows text that is not valid UTF-8 is read in the ANSI code page.
// (A path made from a plain std::string reads it otherwise on Windows, which
// garbles every name beyond ASCII.) On Windows the program's arguments
// arrive as UTF-8 too (see main.cpp).
std::filesystem::path pathFromText(const std::string& text);
// The path as UTF-8 text.
std::string textFromPath(const std::filesystem::path& path);
#ifdef _WIN32
// The UTF-8 text of a UTF-16 argument.
std::string utf8FromWide(const wchar_t* text);
#endif

// True when the stream (0 stdin, 1 stdout, 2 stderr) is a terminal; for 1
// that is the result stream.
bool isTerminal(int stream);
// Switches standard input and the result stream to binary mode where that
// matters.
void binaryStdio();
// Reads all of standard input.
std::vector<unsigned char> readAllStdin();
// Writes bytes to the result stream; false when the write failed.
bool writeStdout(const unsigned char* data, size_t length);

// Ctrl-C, Ctrl-Break (where the system has it) and SIGTERM set a flag the
// waiting loops look at.
void installInterruptHandler();
bool interrupted();

// Events of one endpoint, pushed by its callback (any library thread) and
// taken by the host's own thread. Slots let the one callback type serve
// several endpoints.
struct Event {
    int code;
    int param;
    // The accepted TCP connection (the socket number its 3015 carried) whose
    // session thread raised the event; 0 for events from any other thread.
    // The library raises every event of one accepted connection on that
    // connection's own thread, 3015 first, so this names the connection of a
    // 3002, 3004, 3009-3011, 3013 and of its closing 3999, whose param is 0.
    int connection = 0;
};
constexpr int EVENT_SLOTS = 8;
EventCallback callbackFor(int slot);
// The next event of `slot`, or false when `timeout` passed or Ctrl-C came.
bool nextEvent(int slot, Event& out, std::chrono::milliseconds timeout);
// The code of the last event raised on the calling thread, of any slot; an
// export that raises an event on its caller's thread (1005, 1006, 3003 with
// a -1 from GetMessage_*) can be told apart this way.
int lastCodeRaisedHere();
// Every code `slot` has seen, in order (kept for reports).
std::vector<int> seenCodes(int slot);
void resetSlot(int slot);
// A hook run on the raising thread for every event of `slot` (before it is
// queued); used where the reaction must happen on the library's own thread.
using EventHook = void (*)(int code, int param);
void setHook(int slot, EventHook hook);

// "UDP_EV_ACKED x2, TCP_EV_CONNECTED" for a list of codes.
std::string summariseCodes(const std::vector<int>& codes);

// Human-readable byte count in SI units ("3.4 MB" is 3 400 000 bytes).
std::string formatBytes(double bytes);

// The width of the terminal standard error writes to, in columns: the
// console's own, else $COLUMNS, else 80.
int terminalColumns();

// "ETA"-style time: "07:05" (minutes and seconds), "1:07:05" past an hour.
std::string formatDuration(long seconds);

// One progress line for a terminal, at most `columns - 1` wide (so that it
// never wraps): LABEL [BAR] PERCENT  DONE / TOTAL  RATE/s  ETA TIME. Where the
// width is short, the bar narrows, the label is shortened in the middle, and
// then the time left and the rate are left out.
std::string progressLine(const std::string& label, int64_t done, int64_t total,
                         double bytesPerSecond, int columns);

// One transfer's progress: a redrawn bar on a terminal that fits its width,
// plain lines every tenth otherwise, and a final line with the outcome, the
// size, the time and the rate. Writes to stderr so standard output stays
// clean for the program's results.
class Progress {
public:
    Progress(std::string label, int64_t total);
    void update(int64_t done);
    // Ends the bar's line (on a terminal) and prints the final figure.
    void finish(int64_t done, const char* outcome);

private:
    void draw(int64_t done, bool force);
    std::string label_;
    int64_t total_;
    bool terminal_;
    int lastTenth_ = -1;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// The text `tcp send` and `udp send` take from their arguments: the words
// joined by single spaces. An empty message carries nothing, so an empty
// text is a usage error.
std::string joinText(const std::vector<std::string>& words);
// The next non-empty line of standard input, without its line end; empty
// lines are skipped and counted in `skipped` for the report. False at the
// end of the input or on Ctrl-C.
bool nextMessageLine(std::string& line, int& skipped);
// " (2 empty lines skipped)", or "" when none was.
std::string skippedNote(int skipped);

// Asks a yes/no question on stderr and reads the answer from stdin; EOF or
// anything but y/yes is no.
bool askYesNo(const std::string& question);
// Reads one answer word from stdin after the question ("" on EOF).
std::string ask(const std::string& question);

}  // namespace cli
