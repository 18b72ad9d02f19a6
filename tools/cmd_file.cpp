// wirekit file send / receive: one file over TCP with an offer the receiver
// answers. The receiver never writes outside its directory, never replaces
// an existing file unasked, and writes NAME.part until the last byte arrived.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace fs = std::filesystem;

namespace cli {

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

namespace {

constexpr int EVENT_SLOT = 0;
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

// One file on its way out: the job the library queued and what became of it.
struct Sending {
    std::string host;
    int port = 0;
    std::string path;
    std::string name;  // the file name the receiver is offered
    int64_t size = 0;
    long job = 0;
    int64_t sent = 0;
    bool accepted = false;
    bool done = false;
    std::string problem;
};

// Connects to the receiver and queues the file; "" or the failure message.
std::string offerFile(void* endpoint, const Sending& sending) {
    if (!Connect_Tcp(endpoint, sending.host.c_str(), sending.port)) {
        return "cannot connect to " + sending.host + ":" + std::to_string(sending.port) +
               "; is 'wirekit file receive " + std::to_string(sending.port) +
               " DIR' running there?";
    }
    if (!SendFile_Tcp(endpoint, sending.path.c_str())) {
        return "cannot send '" + sending.path +
               "': it could not be opened, or this build has no file transfer";
    }
    return "";
}

// Applies one event of the sending endpoint to the transfer's state.
void onSendEvent(void* endpoint, const Event& event, Sending& sending, Progress& progress) {
    switch (event.code) {
        case TCP_EV_SEND_QUEUED:
            sending.job = event.param;
            std::fprintf(stderr, "offered %s (%lld bytes) to %s:%d, waiting for an answer\n",
                         sending.name.c_str(), static_cast<long long>(sending.size),
                         sending.host.c_str(), sending.port);
            break;
        case TCP_EV_SEND_PROGRESS: {
            FileSendJob snapshot;
            if (!GetSendJob_Tcp(endpoint, event.param, &snapshot)) break;
            if (snapshot.state == JOB_REFUSED) sending.problem = "the receiver refused the file";
            if (snapshot.state == JOB_SENDING) {
                sending.accepted = true;
                sending.sent = snapshot.bytesSent;
                progress.update(sending.sent);
            }
            break;
        }
        case TCP_EV_SEND_DONE:
            sending.sent = sending.size;
            sending.done = true;
            break;
        case TCP_EV_SEND_STOPPED:
            sending.problem = "the transfer was stopped";
            break;
        case TCP_EV_SEND_OPEN_FAILED:
            sending.problem = "the file could not be opened for sending";
            break;
        case TCP_EV_SEND_FAILED:
            sending.problem = "the connection failed while sending";
            break;
        case TCP_EV_DISCONNECTED:
            sending.problem = "the receiver did not answer the offer";
            break;
        default:
            break;
    }
}

// Follows the job until it is sent or fails, showing progress once accepted.
void followSend(void* endpoint, Sending& sending) {
    Progress progress("send " + sending.name, sending.size);
    while (!sending.done && sending.problem.empty()) {
        Event event;
        if (!nextEvent(EVENT_SLOT, event, IDLE_LIMIT)) {
            sending.problem = interrupted() ? "stopped" : "no progress for a long time";
            break;
        }
        onSendEvent(endpoint, event, sending, progress);
    }
    if (!sending.done && sending.job != 0) StopSendFile_Tcp(endpoint, sending.job);
    if (sending.accepted || sending.done) {
        progress.finish(sending.sent, sending.done ? "sent" : "not sent");
    }
}

int sendFile(const std::string& host, int port, const std::string& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return fail("'" + path + "' is not a readable file");
    Sending sending;
    sending.host = host;
    sending.port = port;
    sending.path = path;
    sending.name = fs::path(path).filename().string();
    void* endpoint = Init_Tcp(callbackFor(EVENT_SLOT));
    if (endpoint == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    std::string problem = offerFile(endpoint, sending);
    if (!problem.empty()) {
        Close_Tcp(endpoint);
        return fail(problem);
    }
    sending.size = static_cast<int64_t>(fs::file_size(path, error));
    followSend(endpoint, sending);
    Close_Tcp(endpoint);
    if (!sending.done) return fail(sending.problem + " (" + path + ")");
    printOut("sent %s (%lld bytes)\n", path.c_str(), static_cast<long long>(sending.size));
    return EXIT_OK;
}

// Picks where an offered file is saved; empty when it is refused.
fs::path chooseTarget(const fs::path& dir, const FileRecvOffer& offer, bool acceptAll) {
    std::string name = safeName(offer.fileName);
    std::string what = "'" + name + "' (" + formatBytes(static_cast<double>(offer.fileSize)) +
                       ") from " + offer.peerAddress;
    if (!acceptAll && !askYesNo("accept " + what + "?")) return {};
    fs::path target = dir / name;
    if (pathExists(target) || pathExists(target.string() + ".part")) {
        fs::path other = freeName(dir, name);
        if (acceptAll) return other;
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

// One offered file on its way in: where it goes and how far it got.
struct Receiving {
    fs::path dir;
    bool acceptAll = false;  // --yes
    long offer = 0;          // the accepted offer; 0 before one is accepted
    fs::path target, part;
    int64_t total = 0, received = 0;
    std::unique_ptr<Progress> progress;
    bool done = false;
    std::string problem;
    std::chrono::steady_clock::time_point lastEvent = std::chrono::steady_clock::now();
};

// Nothing follows an accepted empty file: the .part file is created here.
void createEmptyFile(Receiving& receiving) {
    std::FILE* file = std::fopen(receiving.part.string().c_str(), "wb");
    if (file) std::fclose(file);
    receiving.done = file != nullptr;
    if (!receiving.done) receiving.problem = "could not create " + receiving.part.string();
}

// Answers an offer: refused when one is already being received, when the
// user says no, or when its save path is unusable; otherwise accepted into
// its .part file.
void onOffer(void* endpoint, long offer, Receiving& receiving) {
    FileRecvOffer snapshot;
    if (receiving.offer != 0 || !GetRecvOffer_Tcp(endpoint, offer, &snapshot)) {
        RecvFile_Tcp(endpoint, offer, false);
        return;
    }
    receiving.target = chooseTarget(receiving.dir, snapshot, receiving.acceptAll);
    receiving.part =
        receiving.target.empty() ? fs::path() : fs::path(receiving.target.string() + ".part");
    if (receiving.target.empty() || receiving.target.parent_path() != receiving.dir ||
        !SetSavePath_Tcp(endpoint, offer, receiving.part.string().c_str())) {
        RecvFile_Tcp(endpoint, offer, false);
        receiving.problem = receiving.target.empty()
                                ? "offer refused"
                                : "the save path is too long; use a shorter DIR";
        return;
    }
    receiving.offer = offer;
    receiving.total = snapshot.fileSize;
    RecvFile_Tcp(endpoint, offer, true);
    std::fprintf(stderr, "accepted, saving to %s\n", receiving.target.string().c_str());
    receiving.progress.reset(
        new Progress("receive " + receiving.target.filename().string(), receiving.total));
    if (receiving.total == 0) createEmptyFile(receiving);
}

// Applies one event of the receiving endpoint to the transfer's state.
void onReceiveEvent(void* endpoint, const Event& event, Receiving& receiving) {
    switch (event.code) {
        case TCP_EV_FILE_OFFER:
            onOffer(endpoint, event.param, receiving);
            break;
        case TCP_EV_RECV_STARTED:
        case TCP_EV_RECV_PROGRESS: {
            FileRecvOffer snapshot;
            if (event.param == receiving.offer &&
                GetRecvOffer_Tcp(endpoint, receiving.offer, &snapshot)) {
                receiving.received = snapshot.bytesReceived;
                if (receiving.progress) receiving.progress->update(receiving.received);
            }
            break;
        }
        case TCP_EV_RECV_DONE:
            if (event.param == receiving.offer) {
                receiving.received = receiving.total;
                receiving.done = true;
            }
            break;
        case TCP_EV_RECV_FAILED:
            if (event.param == receiving.offer) {
                receiving.problem = "the connection ended before the file was complete";
            }
            break;
        case TCP_EV_DISCONNECTED:
            // 3999 (param 0) also ends the sender's message connection, which
            // carries no file. The offer's own session ending without 3011
            // or 3013 (its answer failed) is caught by checkQuiet: its record
            // is gone.
            break;
        default:
            break;
    }
}

// Called when no event came for a while: notices Ctrl-C, a stalled transfer
// and an accepted offer whose connection went away unannounced.
void checkQuiet(void* endpoint, Receiving& receiving) {
    FileRecvOffer snapshot;
    if (interrupted()) {
        receiving.problem = "stopped";
    } else if (receiving.offer == 0) {
        // Before an offer arrives the program waits as long as asked.
    } else if (std::chrono::steady_clock::now() - receiving.lastEvent > IDLE_LIMIT) {
        receiving.problem = "the transfer stalled";
    } else if (!GetRecvOffer_Tcp(endpoint, receiving.offer, &snapshot)) {
        receiving.problem = "the connection failed";
    }
}

// Waits for an offer and follows it until the file is complete or fails.
void followReceive(void* endpoint, Receiving& receiving) {
    while (!receiving.done && receiving.problem.empty()) {
        Event event;
        if (!nextEvent(EVENT_SLOT, event, std::chrono::milliseconds(500))) {
            checkQuiet(endpoint, receiving);
            continue;
        }
        receiving.lastEvent = std::chrono::steady_clock::now();
        onReceiveEvent(endpoint, event, receiving);
    }
    if (!receiving.done && receiving.offer != 0) StopRecvFile_Tcp(endpoint, receiving.offer);
}

// Gives a complete file its final name, or removes what a failed transfer
// left behind; returns the exit code.
int settleReceivedFile(Receiving& receiving) {
    if (!receiving.done) {
        if (!receiving.part.empty() && !removePartial(receiving.part)) {
            return fail(receiving.problem + "; could not remove " + receiving.part.string());
        }
        return fail(receiving.problem);
    }
    // Someone may have created the name meanwhile; never replace it unasked.
    fs::path target = receiving.target;
    if (pathExists(target) && receiving.acceptAll) {
        target = freeName(receiving.dir, target.filename().string());
    }
    if (target.empty() || !renameWhenClosed(receiving.part, target)) {
        return fail("could not rename " + receiving.part.string() +
                    " to its final name; the data is in the .part file");
    }
    printOut("saved %s (%lld bytes)\n", target.string().c_str(),
             static_cast<long long>(receiving.total));
    return EXIT_OK;
}

int receiveFile(int port, const std::string& dirText, bool acceptAll) {
    Receiving receiving;
    receiving.acceptAll = acceptAll;
    std::error_code error;
    receiving.dir = fs::absolute(dirText, error);
    if (error || !fs::is_directory(receiving.dir, error)) {
        return fail("'" + dirText + "' is not a directory; create it first");
    }
    void* endpoint = Init_Tcp(callbackFor(EVENT_SLOT));
    if (endpoint == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    if (!ListenMessage_Tcp(endpoint, port)) {
        Close_Tcp(endpoint);
        return fail("cannot listen on TCP port " + std::to_string(port) +
                    "; is it in use? Choose another port");
    }
    printOut("waiting for a file on TCP port %d, saving into %s\n", port,
             receiving.dir.string().c_str());
    followReceive(endpoint, receiving);
    Close_Tcp(endpoint);
    if (receiving.progress) {
        receiving.progress->finish(receiving.received, receiving.done ? "received" : "incomplete");
    }
    return settleReceivedFile(receiving);
}

}  // namespace

int runFile(Args& args) {
    bool acceptAll = args.flag("--yes") || args.flag("-y");
    std::vector<std::string> words = args.positionals();
    if (words.empty()) throw UsageError{"say 'send HOST PORT PATH' or 'receive PORT DIR'"};
    const std::string& action = words[0];
    if (action == "send") {
        if (words.size() != 4) throw UsageError{"send takes HOST PORT PATH"};
        if (acceptAll) throw UsageError{"--yes belongs to 'receive'"};
        return sendFile(words[1], parsePort(words[2], "PORT"), words[3]);
    }
    if (action == "receive") {
        if (words.size() != 3) throw UsageError{"receive takes PORT DIR"};
        return receiveFile(parsePort(words[1], "PORT"), words[2], acceptAll);
    }
    throw UsageError{"unknown action '" + action + "'; say 'send' or 'receive'"};
}

}  // namespace cli
