// Shared helpers of the wirekit program.
#include "cli.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
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
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
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
        const int width = 24;
        int filled = percent * width / 100;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(width - filled), '-');
        std::string eta = "--:--";
        if (rate > 0 && total_ >= done) {
            long left = static_cast<long>(static_cast<double>(total_ - done) / rate + 0.5);
            char text[40];
            std::snprintf(text, sizeof text, "%02ld:%02ld", left / 60, left % 60);
            eta = text;
        }
        std::fprintf(stderr, "\r%s [%s] %3d%%  %s / %s  %s/s  ETA %s \x1b[K", label_.c_str(),
                     bar.c_str(), percent, formatBytes(static_cast<double>(done)).c_str(),
                     formatBytes(static_cast<double>(total_)).c_str(), formatBytes(rate).c_str(),
                     eta.c_str());
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
    std::fprintf(stderr, "%s: %s, %lld bytes in %.2f s\n", label_.c_str(), outcome,
                 static_cast<long long>(done), seconds);
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
