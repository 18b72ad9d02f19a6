// Runs the wirekit program as a child process for end-to-end tests: standard
// input from a file, standard output and error captured to files, every wait
// bounded, and the child always killed and reaped when the object goes.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace wirekit::test {

// How the program ends a line of text on its standard output.
#ifdef _WIN32
inline const std::string TEXT_NEWLINE = "\r\n";
#else
inline const std::string TEXT_NEWLINE = "\n";
#endif

class ChildProcess {
public:
    // Starts WIREKIT_CLI with `args`; `input` is fed on standard input
    // (empty: standard input is at end of file at once). Only a `stoppable`
    // child can be asked to stop(); on Windows it gets a console of its own
    // for that, which makes its start slower.
    explicit ChildProcess(const std::vector<std::string>& args, const std::string& input = "",
                          bool stoppable = true);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const;
    // The exit code, or -1 when the child did not end within `timeout` (it is
    // then killed) or was ended by a signal.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Asks the child to stop the way a user would (SIGTERM; Ctrl-C on
    // Windows) and waits for its exit code.
    int stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string out() const;
    std::string err() const;
    // Waits until standard output contains `text`, or the child ended.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    // Collects the exit code if the child has ended; true when it has.
    bool poll();
    // Ends the child at once and collects it.
    void kill();

#ifdef _WIN32
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    bool ownConsole_ = false;
#else
    pid_t pid_ = -1;
#endif
    int exitCode_ = -1;
    bool reaped_ = false;
    std::string dir_;
};

inline std::string readWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Creates a new, empty directory under the system's temporary directory;
// an empty path when none could be made.
inline std::filesystem::path makeTempDir(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error) return {};
    std::random_device seed;
    std::mt19937_64 rng((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / (prefix + std::to_string(rng() % 1000000000000ull));
        // create_directory reports false when the name already existed, so two
        // tests never share a directory.
        if (fs::create_directory(candidate, error)) return candidate;
    }
    return {};
}

// One pass over a tree, deepest entries first; whatever cannot be removed
// yet stays. An entry that vanishes meanwhile is simply gone: each removal is
// one call, and the listing of a directory is read once.
inline void removeTreeOnce(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(path, error))) {
        std::vector<fs::path> entries;
        for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
            entries.push_back(it->path());
        for (const fs::path& entry : entries) removeTreeOnce(entry);
    }
    fs::remove(path, error);
}

// Removes a directory tree, retrying for a moment: on Windows a file a child
// had open can stay in its directory briefly after the child has ended (the
// console a stoppable child gets holds the child's inherited handles until
// it closes, a few hundred milliseconds later), and a file deleted while
// open stays listed until then. std::filesystem::remove_all is not used for
// this: mingw-w64's libstdc++ loops for ever when an entry it has listed
// disappears before it removes it, which is what such a file does.
inline void removeTree(const std::filesystem::path& path) {
    if (path.empty()) return;
    std::error_code error;
    for (int attempt = 0; attempt < 100; ++attempt) {
        removeTreeOnce(path);
        if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

inline std::string ChildProcess::out() const { return readWhole(dir_ + "/out"); }
inline std::string ChildProcess::err() const { return readWhole(dir_ + "/err"); }

inline int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (!started()) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!poll()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitCode_;
}

inline bool ChildProcess::waitForOutput(const std::string& text,
                                        std::chrono::milliseconds timeout) {
    if (!started()) return false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out().find(text) == std::string::npos) {
        if (reaped_ || std::chrono::steady_clock::now() >= deadline) return false;
        // The output may have been completed just before the child ended.
        if (poll()) return out().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

#ifdef _WIN32

// Quotes one argument so that the C runtime's command-line parser gives it
// back unchanged: backslashes are literal except before a quote, where they
// and the quote are escaped.
inline std::string quoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

inline ChildProcess::ChildProcess(const std::vector<std::string>& args, const std::string& input,
                                  bool stoppable) {
    namespace fs = std::filesystem;
    dir_ = makeTempDir("wirekit-cli-test-").string();
    if (dir_.empty()) return;
    std::ofstream(dir_ + "/in", std::ios::binary) << input;

    // The child inherits exactly these three handles by their inheritable
    // flag; the captured files stay readable while the child writes them.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE in = CreateFileA((dir_ + "\\in").c_str(), GENERIC_READ, share, &inherit, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE out = CreateFileA((dir_ + "\\out").c_str(), GENERIC_WRITE, share, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = CreateFileA((dir_ + "\\err").c_str(), GENERIC_WRITE, share, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE) {
        // The build gives the program's path with forward slashes; the
        // loader wants it whole and in the system's own form.
        std::error_code error;
        std::string program = fs::absolute(fs::path(WIREKIT_CLI), error).make_preferred().string();
        std::string commandLine = "\"" + program + "\"";
        for (const std::string& a : args) commandLine += " " + quoteArgument(a);

        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
        PROCESS_INFORMATION info{};
        // A console of its own (hidden), so that stop() can press Ctrl-C
        // there for this child alone.
        if (CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                           stoppable ? CREATE_NEW_CONSOLE : 0, nullptr, nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            process_ = info.hProcess;
            processId_ = info.dwProcessId;
            ownConsole_ = stoppable;
        }
    }
    // The child holds its own copies; ours would keep the files open.
    for (HANDLE h : {in, out, err}) {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
}

inline bool ChildProcess::started() const { return process_ != nullptr; }

inline bool ChildProcess::poll() {
    if (reaped_) return true;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    exitCode_ = GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
    reaped_ = true;
    return true;
}

inline void ChildProcess::kill() {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
    reaped_ = true;
    exitCode_ = -1;
}

inline ChildProcess::~ChildProcess() {
    if (process_) {
        if (!reaped_) kill();
        CloseHandle(process_);
    }
    removeTree(dir_);
}

// Until this moment (steady clock, milliseconds) the test program ignores
// the Ctrl-C it sends to a child's console, which reaches every process
// attached to that console, itself included.
inline std::atomic<long long> ignoreCtrlCUntil{0};

inline long long steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline BOOL WINAPI ignoreOwnCtrlC(DWORD event) {
    return event == CTRL_C_EVENT && steadyMilliseconds() < ignoreCtrlCUntil.load();
}

// Ctrl-C on the child's console, which its C runtime turns into SIGINT.
// Ctrl-Break sent to a process group would spare the detour through the
// child's console, but Wine does not deliver it. The test program leaves
// its own console for the moment and goes back to its parent's afterwards.
inline int ChildProcess::stop(std::chrono::milliseconds timeout) {
    if (started() && !reaped_ && ownConsole_) {
        static const bool handlerInstalled = SetConsoleCtrlHandler(ignoreOwnCtrlC, TRUE) != 0;
        (void)handlerInstalled;
        ignoreCtrlCUntil.store(steadyMilliseconds() + 5000);
        FreeConsole();
        if (AttachConsole(processId_)) {
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            FreeConsole();
        }
        AttachConsole(ATTACH_PARENT_PROCESS);
    }
    return wait(timeout);
}

#else  // POSIX

inline ChildProcess::ChildProcess(const std::vector<std::string>& args, const std::string& input,
                                  bool /*stoppable*/) {
    dir_ = makeTempDir("wirekit-cli-test-").string();
    if (dir_.empty()) return;
    std::ofstream(dir_ + "/in", std::ios::binary) << input;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (dir_ + "/in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> all{WIREKIT_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, WIREKIT_CLI, &actions, nullptr, argv.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
}

inline bool ChildProcess::started() const { return pid_ > 0; }

inline bool ChildProcess::poll() {
    if (reaped_) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    reaped_ = true;
    return true;
}

inline void ChildProcess::kill() {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
    exitCode_ = -1;
}

inline ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) kill();
    removeTree(dir_);
}

inline int ChildProcess::stop(std::chrono::milliseconds timeout) {
    if (started() && !reaped_) ::kill(pid_, SIGTERM);
    return wait(timeout);
}

#endif

// Runs the program to completion; returns the exit code, output in `out`.
inline int runCli(const std::vector<std::string>& args, std::string* out = nullptr,
                  std::string* err = nullptr, const std::string& input = "",
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    ChildProcess child(args, input, false);
    int code = child.wait(timeout);
    if (out) *out = child.out();
    if (err) *err = child.err();
    return code;
}

// A port no local socket of the kind is bound to at the moment of asking.
inline int freePort(bool tcp) {
    namespace p = wirekit::platform;
    p::netStartup();
    p::Socket s = tcp ? p::tcpSocket() : p::udpSocket();
    int port = (s != p::INVALID_SOCKET_VALUE && p::bindAny(s, 0) == 0) ? p::localPort(s) : 0;
    if (s != p::INVALID_SOCKET_VALUE) p::closeSocket(s);
    p::netCleanup();
    return port;
}
inline int freeTcpPort() { return freePort(true); }
inline int freeUdpPort() { return freePort(false); }

}  // namespace wirekit::test
