// Runs the wirekit program as a child process for end-to-end tests: standard
// input from a file, standard output and error captured to files, every wait
// bounded, and the child always killed and reaped when the object goes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame/platform.h"

extern char** environ;

namespace wirekit::test {

class ChildProcess {
public:
    // Starts WIREKIT_CLI with `args`; `input` is fed on standard input
    // (empty: standard input is at end of file at once).
    explicit ChildProcess(const std::vector<std::string>& args, const std::string& input = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // The exit code, or -1 when the child did not end within `timeout` (it is
    // then killed) or was ended by a signal.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Asks the child to stop (SIGTERM) and waits for its exit code.
    int stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string out() const;
    std::string err() const;
    // Waits until standard output contains `text`, or the child ended.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int pid_ = -1;
    int exitCode_ = -1;
    bool reaped_ = false;
    std::string dir_;
};

inline std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline ChildProcess::ChildProcess(const std::vector<std::string>& args, const std::string& input) {
    char pattern[] = "/tmp/wirekit-cli-test-XXXXXX";
    if (!mkdtemp(pattern)) return;
    dir_ = pattern;
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

inline ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
        std::error_code error;
        std::filesystem::remove_all(dir_, error);
    }
}

inline int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    if (reaped_) return exitCode_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return exitCode_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
            exitCode_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

inline int ChildProcess::stop(std::chrono::milliseconds timeout) {
    if (pid_ > 0 && !reaped_) kill(pid_, SIGTERM);
    return wait(timeout);
}

inline std::string ChildProcess::out() const { return readWhole(dir_ + "/out"); }
inline std::string ChildProcess::err() const { return readWhole(dir_ + "/err"); }

inline bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out().find(text) == std::string::npos) {
        if (reaped_ || std::chrono::steady_clock::now() >= deadline) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return out().find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Runs the program to completion; returns the exit code, output in `out`.
inline int runCli(const std::vector<std::string>& args, std::string* out = nullptr,
                  std::string* err = nullptr, const std::string& input = "",
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    ChildProcess child(args, input);
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
