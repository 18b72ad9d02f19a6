// wirekit file send / receive: one file over TCP with an offer the receiver
// answers. The receiver never writes outside its directory, never replaces
// an existing file unasked, and writes NAME.part until the last byte arrived.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace fs = std::filesystem;

namespace cli {
namespace {

const char* const FILE_HELP =
    "usage: wirekit file send HOST PORT PATH\n"
    "       wirekit file receive PORT DIR [--yes]\n"
    "\n"
    "send     connects to HOST:PORT, offers the file PATH and sends it once the\n"
    "         receiver accepts.\n"
    "receive  listens on PORT for one file offer and saves the file into DIR under\n"
    "         the offered name (its last path component only). It asks before\n"
    "         accepting and before replacing an existing file; with --yes it accepts\n"
    "         and saves beside existing files as 'name (1).ext'. Data goes to\n"
    "         NAME.part, renamed when complete and removed when the transfer fails\n"
    "         or is stopped (Ctrl-C).\n"
    "Both show a progress bar on a terminal and progress lines otherwise.\n";

constexpr int SLOT = 0;
// Without any event for this long a transfer counts as stalled; the library
// itself ends a silent connection after 60 seconds.
constexpr auto IDLE_LIMIT = std::chrono::seconds(75);

bool pathExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// The offered name reduced to a plain file name: last component of either
// separator style, no control characters, never empty, "." or "..".
std::string safeName(const std::string& offered) {
    std::string name = offered;
    size_t cut = name.find_last_of("/\\");
    if (cut != std::string::npos) name = name.substr(cut + 1);
    std::string clean;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        clean += (u < 32 || u == 127 || c == ':') ? '_' : c;
    }
    while (!clean.empty() && (clean.back() == ' ' || clean.back() == '.')) clean.pop_back();
    if (clean.empty() || clean == "." || clean == "..") clean = "received-file";
    return clean;
}

// "name (N).ext" for the first N that clashes neither with a file nor with
// its .part companion.
fs::path freeName(const fs::path& dir, const std::string& name) {
    fs::path plain(name);
    std::string stem = plain.stem().string(), ext = plain.extension().string();
    for (int n = 1; n < 10000; ++n) {
        fs::path candidate = dir / (stem + " (" + std::to_string(n) + ")" + ext);
        if (!pathExists(candidate) && !pathExists(candidate.string() + ".part")) return candidate;
    }
    return {};
}

int send(const std::string& host, int port, const std::string& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return fail("'" + path + "' is not a readable file");
    void* h = Init_Tcp(callbackFor(SLOT));
    if (h == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    if (!Connect_Tcp(h, host.c_str(), port)) {
        Close_Tcp(h);
        return fail("cannot connect to " + host + ":" + std::to_string(port) +
                    "; is 'wirekit file receive " + std::to_string(port) + " DIR' running there?");
    }
    if (!SendFile_Tcp(h, path.c_str())) {
        Close_Tcp(h);
        return fail("cannot send '" + path + "': it could not be opened, or this build has no file transfer");
    }
    long job = 0;
    int64_t size = static_cast<int64_t>(fs::file_size(path, error));
    Progress progress("send " + fs::path(path).filename().string(), size);
    int64_t sent = 0;
    std::string problem;
    bool accepted = false, done = false;
    while (!done && problem.empty()) {
        Event event;
        if (!nextEvent(SLOT, event, IDLE_LIMIT)) {
            problem = interrupted() ? "stopped" : "no progress for a long time";
            break;
        }
        switch (event.code) {
        case TCP_EV_SEND_QUEUED:
            job = event.param;
            std::fprintf(stderr, "offered %s (%lld bytes) to %s:%d, waiting for an answer\n",
                         fs::path(path).filename().string().c_str(), static_cast<long long>(size),
                         host.c_str(), port);
            break;
        case TCP_EV_SEND_PROGRESS: {
            FileSendJob snapshot;
            if (GetSendJob_Tcp(h, event.param, &snapshot)) {
                if (snapshot.state == JOB_REFUSED) problem = "the receiver refused the file";
                if (snapshot.state == JOB_SENDING) {
                    accepted = true;
                    sent = snapshot.bytesSent;
                    progress.update(sent);
                }
            }
            break;
        }
        case TCP_EV_SEND_DONE:
            sent = size;
            done = true;
            break;
        case TCP_EV_SEND_STOPPED: problem = "the transfer was stopped"; break;
        case TCP_EV_SEND_OPEN_FAILED: problem = "the file could not be opened for sending"; break;
        case TCP_EV_SEND_FAILED: problem = "the connection failed while sending"; break;
        case TCP_EV_DISCONNECTED: problem = "the receiver did not answer the offer"; break;
        default: break;
        }
    }
    if (!done && job != 0) StopSendFile_Tcp(h, job);
    if (accepted || done) progress.finish(sent, done ? "sent" : "not sent");
    Close_Tcp(h);
    if (!done) return fail(problem + " (" + path + ")");
    std::printf("sent %s (%lld bytes)\n", path.c_str(), static_cast<long long>(size));
    return EXIT_OK;
}

// Picks where an offered file is saved; empty when it is refused.
fs::path chooseTarget(const fs::path& dir, const FileRecvOffer& offer, bool yes) {
    std::string name = safeName(offer.fileName);
    std::string what = "'" + name + "' (" + formatBytes(static_cast<double>(offer.fileSize)) +
                       ") from " + offer.peerAddress;
    if (!yes && !askYesNo("accept " + what + "?")) return {};
    fs::path target = dir / name;
    if (pathExists(target) || pathExists(target.string() + ".part")) {
        fs::path other = freeName(dir, name);
        if (yes) return other;
        std::string answer = ask("'" + target.string() + "' exists: [o]verwrite, [r]ename to '" +
                                 other.filename().string() + "', or [N]o?");
        if (answer == "o" || answer == "overwrite") return target;
        if (answer == "r" || answer == "rename") return other;
        return {};
    }
    return target;
}

bool removePartial(const fs::path& part) {
    std::error_code error;
    fs::remove(part, error);
    return !error;
}

// The file is still open on the library's side while 3011 is handled, and
// some systems refuse to rename an open file: retry for a short while.
bool renameWhenClosed(const fs::path& from, const fs::path& to) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::error_code error;
        fs::rename(from, to, error);
        if (!error) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

int receive(int port, const std::string& dirText, bool yes) {
    std::error_code error;
    fs::path dir = fs::absolute(dirText, error);
    if (error || !fs::is_directory(dir, error)) {
        return fail("'" + dirText + "' is not a directory; create it first");
    }
    void* h = Init_Tcp(callbackFor(SLOT));
    if (h == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    if (!ListenMessage_Tcp(h, port)) {
        Close_Tcp(h);
        return fail("cannot listen on TCP port " + std::to_string(port) + "; is it in use? Choose another port");
    }
    std::printf("waiting for a file on TCP port %d, saving into %s\n", port, dir.string().c_str());
    std::fflush(stdout);

    long offer = 0;
    fs::path target, part;
    Progress* progress = nullptr;
    std::string problem;
    bool done = false;
    int64_t total = 0, received = 0;
    auto lastEvent = std::chrono::steady_clock::now();
    while (!done && problem.empty()) {
        Event event;
        if (!nextEvent(SLOT, event, std::chrono::milliseconds(500))) {
            if (interrupted()) problem = "stopped";
            // Before an offer arrives the program waits as long as asked.
            else if (offer != 0 && std::chrono::steady_clock::now() - lastEvent > IDLE_LIMIT)
                problem = "the transfer stalled";
            else if (FileRecvOffer snapshot; offer != 0 && !GetRecvOffer_Tcp(h, offer, &snapshot))
                problem = "the connection failed";
            continue;
        }
        lastEvent = std::chrono::steady_clock::now();
        switch (event.code) {
        case TCP_EV_FILE_OFFER: {
            FileRecvOffer snapshot;
            if (offer != 0 || !GetRecvOffer_Tcp(h, event.param, &snapshot)) {
                RecvFile_Tcp(h, event.param, false);
                break;
            }
            target = chooseTarget(dir, snapshot, yes);
            part = target.empty() ? fs::path() : fs::path(target.string() + ".part");
            if (target.empty() || target.parent_path() != dir ||
                !SetSavePath_Tcp(h, event.param, part.string().c_str())) {
                RecvFile_Tcp(h, event.param, false);
                problem = target.empty() ? "offer refused" : "the save path is too long; use a shorter DIR";
                break;
            }
            offer = event.param;
            total = snapshot.fileSize;
            RecvFile_Tcp(h, offer, true);
            std::fprintf(stderr, "accepted, saving to %s\n", target.string().c_str());
            progress = new Progress("receive " + target.filename().string(), total);
            if (total == 0) {
                // Nothing follows an accepted empty file: create it here.
                std::FILE* f = std::fopen(part.string().c_str(), "wb");
                if (f) std::fclose(f);
                done = f != nullptr;
                if (!done) problem = "could not create " + part.string();
            }
            break;
        }
        case TCP_EV_RECV_STARTED:
        case TCP_EV_RECV_PROGRESS: {
            FileRecvOffer snapshot;
            if (event.param == offer && GetRecvOffer_Tcp(h, offer, &snapshot)) {
                received = snapshot.bytesReceived;
                if (progress) progress->update(received);
            }
            break;
        }
        case TCP_EV_RECV_DONE:
            if (event.param == offer) {
                received = total;
                done = true;
            }
            break;
        case TCP_EV_RECV_FAILED:
            if (event.param == offer) problem = "the connection ended before the file was complete";
            break;
        case TCP_EV_DISCONNECTED:
            // 3999 (param 0) also ends the sender's message connection, which
            // carries no file. The offer's own session ending without 3011
            // or 3013 (its answer failed) is caught below: its record is gone.
            break;
        default: break;
        }
    }
    if (!done && offer != 0) StopRecvFile_Tcp(h, offer);
    Close_Tcp(h);
    if (progress) {
        progress->finish(received, done ? "received" : "incomplete");
        delete progress;
    }
    if (!done) {
        if (!part.empty() && !removePartial(part)) {
            return fail(problem + "; could not remove " + part.string());
        }
        return fail(problem);
    }
    // Someone may have created the name meanwhile; never replace it unasked.
    if (pathExists(target) && yes) target = freeName(dir, target.filename().string());
    if (target.empty() || !renameWhenClosed(part, target)) {
        return fail("could not rename " + part.string() + " to its final name; the data is in the .part file");
    }
    std::printf("saved %s (%lld bytes)\n", target.string().c_str(), static_cast<long long>(total));
    return EXIT_OK;
}

}  // namespace

int runFile(int argc, char** argv, int first) {
    Args args(argc, argv, first);
    if (args.wantsHelp()) {
        std::fputs(FILE_HELP, stdout);
        return EXIT_OK;
    }
    bool yes = args.flag("--yes") || args.flag("-y");
    std::vector<std::string> rest = args.positionals();
    if (rest.empty()) throw UsageError{"say 'send HOST PORT PATH' or 'receive PORT DIR'"};
    if (rest[0] == "send") {
        if (rest.size() != 4) throw UsageError{"send takes HOST PORT PATH"};
        if (yes) throw UsageError{"--yes belongs to 'receive'"};
        return send(rest[1], parsePort(rest[2], "PORT"), rest[3]);
    }
    if (rest[0] == "receive") {
        if (rest.size() != 3) throw UsageError{"receive takes PORT DIR"};
        return receive(parsePort(rest[1], "PORT"), rest[2], yes);
    }
    throw UsageError{"unknown action '" + rest[0] + "'; say 'send' or 'receive'"};
}

}  // namespace cli
