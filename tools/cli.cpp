// Shared helpers of the wirekit program.
#include "cli.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace cli {

int fail(const std::string& message) {
    std::fprintf(stderr, "wirekit: %s\n", message.c_str());
    return EXIT_FAILED;
}

Args::Args(int argc, char** argv, int first) {
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        std::string item = argv[i];
        if (optionsEnded) {
            literals_.push_back(item);
        } else if (item == "--") {
            optionsEnded = true;
        } else if (item == "--help" || item == "-h") {
            help_ = true;
        } else {
            items_.push_back(item);
        }
    }
}

bool Args::flag(const std::string& name) {
    size_t before = items_.size();
    items_.erase(std::remove(items_.begin(), items_.end(), name), items_.end());
    return items_.size() != before;
}

std::vector<std::string> Args::option(const std::string& name, int count) {
    auto found = std::find(items_.begin(), items_.end(), name);
    if (found == items_.end()) return {};
    if (items_.end() - found <= count) {
        throw UsageError{name + " needs " + countOf(count, "value")};
    }
    std::vector<std::string> values(found + 1, found + 1 + count);
    items_.erase(found, found + 1 + count);
    if (std::find(items_.begin(), items_.end(), name) != items_.end()) {
        throw UsageError{name + " is given twice; give it once"};
    }
    return values;
}

std::vector<std::string> Args::positionals() {
    for (const std::string& item : items_) {
        // A lone "-" or a negative-looking number is a value, not an option.
        if (item.size() > 1 && item[0] == '-' && !(item[1] >= '0' && item[1] <= '9')) {
            throw UsageError{"unknown option " + item + "; put -- before text that starts with -"};
        }
    }
    std::vector<std::string> words = items_;
    words.insert(words.end(), literals_.begin(), literals_.end());
    return words;
}

namespace {
bool parseNumber(const std::string& text, long& out) {
    if (text.empty() || text.size() > 9) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}
}  // namespace

int parsePort(const std::string& text, const char* what, bool allowZero) {
    long value = 0;
    if (!parseNumber(text, value) || value > 65535 || (value == 0 && !allowZero)) {
        throw UsageError{std::string(what) + " must be a port number from " +
                         (allowZero ? "0" : "1") + " to 65535, not '" + text + "'"};
    }
    return static_cast<int>(value);
}

int parseSeconds(const std::string& text, const char* what) {
    long value = 0;
    if (!parseNumber(text, value) || value < 1 || value > 86400) {
        throw UsageError{std::string(what) + " must be a number of seconds from 1 to 86400, not '" +
                         text + "'"};
    }
    return static_cast<int>(value);
}

std::string countOf(long long count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

unsigned char parseByte(const std::string& text, const char* what) {
    long value = 0;
    if (!parseNumber(text, value) || value > 255) {
        throw UsageError{std::string(what) + " must be a number from 0 to 255, not '" + text + "'"};
    }
    return static_cast<unsigned char>(value);
}

namespace {
std::FILE* results = nullptr;

#ifdef _WIN32
int duplicateDescriptor(int descriptor) { return _dup(descriptor); }
int replaceDescriptor(int from, int to) { return _dup2(from, to); }
void closeDescriptor(int descriptor) { _close(descriptor); }
std::FILE* openDescriptor(int descriptor) { return _fdopen(descriptor, "w"); }
#else
int duplicateDescriptor(int descriptor) { return dup(descriptor); }
int replaceDescriptor(int from, int to) { return dup2(from, to); }
void closeDescriptor(int descriptor) { close(descriptor); }
std::FILE* openDescriptor(int descriptor) { return fdopen(descriptor, "w"); }
#endif
}  // namespace

void separateLibraryOutput() {
    std::fflush(stdout);
    int real = duplicateDescriptor(1);
    if (real < 0) return;  // no standard output to keep apart
    std::FILE* stream = openDescriptor(real);
    if (!stream) {
        closeDescriptor(real);
        return;
    }
    if (replaceDescriptor(2, 1) < 0) {
        std::fclose(stream);
        return;
    }
    results = stream;
}

std::FILE* resultStream() { return results ? results : stdout; }

void printOut(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(resultStream(), format, arguments);
    va_end(arguments);
    std::fflush(resultStream());
}

#ifdef _WIN32
std::filesystem::path pathFromText(const std::string& text) {
    const int length = static_cast<int>(text.size());
    for (UINT codePage : {CP_UTF8, CP_ACP}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int n = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
        if (n <= 0) continue;
        std::wstring wide(static_cast<size_t>(n), L'\0');
        if (MultiByteToWideChar(codePage, flags, text.data(), length, &wide[0], n) == n) {
            return std::filesystem::path(wide);
        }
    }
    return {};
}

std::string utf8FromWide(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return "";
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], n, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(n) - 1);
    return utf8;
}
#else
std::filesystem::path pathFromText(const std::string& text) { return text; }
#endif

std::string textFromPath(const std::filesystem::path& path) { return path.u8string(); }

bool isTerminal(int stream) {
#ifdef _WIN32
    if (stream == 1) stream = _fileno(resultStream());
    return _isatty(stream) != 0;
#else
    if (stream == 1) stream = fileno(resultStream());
    return isatty(stream) != 0;
#endif
}

void binaryStdio() {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(resultStream()), _O_BINARY);
#endif
}

std::vector<unsigned char> readAllStdin() {
    std::vector<unsigned char> data;
    unsigned char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
        data.insert(data.end(), buffer, buffer + n);
    }
    return data;
}

bool writeStdout(const unsigned char* data, size_t length) {
    if (length > 0 && std::fwrite(data, 1, length, resultStream()) != length) return false;
    return std::fflush(resultStream()) == 0;
}

namespace {
std::atomic<bool> interruptFlag{false};

extern "C" void onInterrupt(int) { interruptFlag.store(true); }

struct Slot {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Event> pending;
    std::vector<int> seen;
    std::atomic<EventHook> hook{nullptr};
};

Slot slots[EVENT_SLOTS];

// The connection whose session runs on this thread, from its 3015 to its
// last event.
thread_local int threadConnection = 0;
thread_local int threadLastCode = 0;

void deliver(int slot, int code, int param) {
    Slot& s = slots[slot];
    threadLastCode = code;
    if (code == TCP_EV_CONNECTED) threadConnection = param;
    Event event{code, param, threadConnection};
    // A session's last event is 3999, or 3013 for a file connection.
    if (code == TCP_EV_DISCONNECTED || code == TCP_EV_RECV_FAILED) threadConnection = 0;
    if (EventHook hook = s.hook.load()) hook(code, param);
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.pending.push_back(event);
        s.seen.push_back(code);
    }
    s.changed.notify_all();
}

template <int N>
void WIREKIT_CALLBACK slotCallback(int code, int param) {
    deliver(N, code, param);
}

const EventCallback callbacks[EVENT_SLOTS] = {slotCallback<0>, slotCallback<1>, slotCallback<2>,
                                              slotCallback<3>, slotCallback<4>, slotCallback<5>,
                                              slotCallback<6>, slotCallback<7>};
}  // namespace

void installInterruptHandler() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#ifdef SIGBREAK
    // Ctrl-Break, which is also how a console process group is asked to stop.
    std::signal(SIGBREAK, onInterrupt);
#endif
}

bool interrupted() { return interruptFlag.load(); }

EventCallback callbackFor(int slot) { return callbacks[slot]; }

int lastCodeRaisedHere() { return threadLastCode; }

bool nextEvent(int slot, Event& out, std::chrono::milliseconds timeout) {
    Slot& s = slots[slot];
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> guard(s.lock);
    while (s.pending.empty()) {
        if (interrupted()) return false;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        // Short slices so that Ctrl-C is noticed promptly.
        s.changed.wait_for(guard, std::min<std::chrono::steady_clock::duration>(
                                      deadline - now, std::chrono::milliseconds(100)));
    }
    out = s.pending.front();
    s.pending.pop_front();
    return true;
}

std::vector<int> seenCodes(int slot) {
    std::lock_guard<std::mutex> guard(slots[slot].lock);
    return slots[slot].seen;
}

void resetSlot(int slot) {
    std::lock_guard<std::mutex> guard(slots[slot].lock);
    slots[slot].pending.clear();
    slots[slot].seen.clear();
    slots[slot].hook.store(nullptr);
}

void setHook(int slot, EventHook hook) { slots[slot].hook.store(hook); }

std::string summariseCodes(const std::vector<int>& codes) {
    std::vector<std::pair<int, int>> counts;  // first-seen order
    for (int code : codes) {
        bool found = false;
        for (auto& entry : counts) {
            if (entry.first == code) {
                ++entry.second;
                found = true;
            }
        }
        if (!found) counts.push_back({code, 1});
    }
    std::string text;
    for (const auto& entry : counts) {
        if (!text.empty()) text += ", ";
        text += wirekit_event_name(entry.first);
        if (entry.second > 1) text += " x" + std::to_string(entry.second);
    }
    return text.empty() ? "none" : text;
}

std::string formatBytes(double bytes) {
    const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000.0 && unit < 4) {
        bytes /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

int terminalColumns() {
    int columns = 0;
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        columns = info.srWindow.Right - info.srWindow.Left + 1;
    }
#else
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0) columns = size.ws_col;
#endif
    if (columns <= 0) {
        const char* text = std::getenv("COLUMNS");
        columns = text ? std::atoi(text) : 0;
    }
    return columns > 0 ? columns : 80;
}

std::string formatDuration(long seconds) {
    char text[40];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    } else {
        std::snprintf(text, sizeof text, "%02ld:%02ld", seconds / 60, seconds % 60);
    }
    return text;
}

namespace {

// Columns a UTF-8 text takes, counting each character as one.
size_t columnsOf(const std::string& text) {
    size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// The first `count` characters of a UTF-8 text (`fromEnd`: the last ones).
std::string characters(const std::string& text, size_t count, bool fromEnd) {
    size_t total = columnsOf(text);
    if (count >= total) return text;
    size_t skip = fromEnd ? total - count : 0, seen = 0, begin = 0, end = text.size();
    for (size_t i = 0; i <= text.size(); ++i) {
        bool boundary = i == text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (!boundary) continue;
        if (seen == skip) begin = i;
        if (seen == skip + count) {
            end = i;
            break;
        }
        ++seen;
    }
    return text.substr(begin, end - begin);
}

// The text cut to `width` characters by replacing its middle with "...",
// which keeps the start and the extension of a file name.
std::string shortenMiddle(const std::string& text, size_t width) {
    if (columnsOf(text) <= width) return text;
    if (width <= 3) return characters(text, width, false);
    size_t tail = (width - 3) / 2, head = width - 3 - tail;
    return characters(text, head, false) + "..." + characters(text, tail, true);
}

}  // namespace

std::string progressLine(const std::string& label, int64_t done, int64_t total,
                         double bytesPerSecond, int columns) {
    const size_t room = static_cast<size_t>(std::max(columns - 1, 10));
    const size_t widestBar = 24, narrowestBar = 10;
    int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    std::string eta = "--:--";
    if (bytesPerSecond > 0 && total >= done) {
        eta = formatDuration(
            static_cast<long>(static_cast<double>(total - done) / bytesPerSecond + 0.5));
    }
    char text[160];
    std::snprintf(text, sizeof text, " %3d%%", percent);
    std::string percentText = text;
    // Figures keep their width from one redraw to the next, so the bar and
    // the name stand still.
    std::snprintf(text, sizeof text, "  %8s / %s", formatBytes(static_cast<double>(done)).c_str(),
                  formatBytes(static_cast<double>(total)).c_str());
    std::string sizes = text;
    std::snprintf(text, sizeof text, "  %10s", (formatBytes(bytesPerSecond) + "/s").c_str());
    std::string rate = text;
    std::string left = "  ETA " + eta;
    // From the fullest figures to the barest, the first that fits with a
    // readable name (20 characters, or all of a shorter one); failing that,
    // the first that fits with any name of at least 8.
    const std::string variants[] = {percentText + sizes + rate + left, percentText + sizes + rate,
                                    percentText + sizes, percentText};
    const size_t labelColumns = columnsOf(label);
    for (size_t shortestLabel : {size_t{20}, size_t{8}}) {
        for (const std::string& figures : variants) {
            size_t fixed = figures.size() + 3;  // " [" and "]" around the bar
            size_t labelWidth = std::min(labelColumns, shortestLabel);
            if (fixed + narrowestBar + labelWidth > room) continue;
            // The bar takes what the whole name leaves, within its limits.
            size_t spare = room - fixed;
            size_t bar = spare > labelColumns ? spare - labelColumns : 0;
            bar = std::max(narrowestBar, std::min(widestBar, bar));
            std::string name = shortenMiddle(label, room - fixed - bar);
            size_t filled = static_cast<size_t>(percent) * bar / 100;
            std::string drawn(filled, '#');
            drawn.append(bar - filled, '-');
            return name + " [" + drawn + "]" + figures;
        }
    }
    return shortenMiddle(label, room > 6 ? room - 6 : room) +
           characters(percentText, room > 6 ? 5 : 0, false);
}

Progress::Progress(std::string label, int64_t total)
    : label_(std::move(label)),
      total_(total),
      terminal_(isTerminal(2)),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_ - std::chrono::seconds(1)) {}

void Progress::update(int64_t done) { draw(done, false); }

void Progress::draw(int64_t done, bool force) {
    auto now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - start_).count();
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    int percent = total_ > 0 ? static_cast<int>(done * 100 / total_) : 100;
    if (terminal_) {
        if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = now;
        std::string line = progressLine(label_, done, total_, rate, terminalColumns());
        std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    } else {
        int tenth = percent / 10;
        if (!force && tenth == lastTenth_) return;
        lastTenth_ = tenth;
        std::fprintf(stderr, "%s: %lld of %lld bytes (%d%%)\n", label_.c_str(),
                     static_cast<long long>(done), static_cast<long long>(total_), percent);
    }
    std::fflush(stderr);
}

void Progress::finish(int64_t done, const char* outcome) {
    if (terminal_) {
        draw(done, true);
        std::fprintf(stderr, "\n");
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string rate =
        seconds > 0 ? ", " + formatBytes(static_cast<double>(done) / seconds) + "/s" : "";
    std::fprintf(stderr, "%s: %s %s (%lld bytes) in %.2f s%s\n", label_.c_str(), outcome,
                 formatBytes(static_cast<double>(done)).c_str(), static_cast<long long>(done),
                 seconds, rate.c_str());
}

std::string joinText(const std::vector<std::string>& words) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) text += (i == 0 ? "" : " ") + words[i];
    if (text.empty()) throw UsageError{"TEXT is empty; an empty message carries nothing"};
    return text;
}

bool nextMessageLine(std::string& line, int& skipped) {
    while (!interrupted() && std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) return true;
        ++skipped;
    }
    return false;
}

std::string skippedNote(int skipped) {
    return skipped == 0 ? "" : " (" + countOf(skipped, "empty line") + " skipped)";
}

std::string ask(const std::string& question) {
    std::fprintf(stderr, "%s ", question.c_str());
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) return "";
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

bool askYesNo(const std::string& question) {
    std::string answer = ask(question + " [y/N]");
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

}  // namespace cli
