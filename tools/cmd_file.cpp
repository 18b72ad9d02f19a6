// wirekit file send / receive: one file over TCP with an offer the receiver
// answers. The receiver never writes outside its directory, never replaces
// an existing file unasked, and writes NAME.part until the last byte arrived.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "netcheck.h"

namespace fs = std::filesystem;

namespace cli {

const char* const FILE_HELP =
    "usage: wirekit file send HOST PORT PATH\n"
    "       wirekit file receive PORT DIR [--yes] [--keep]\n"
    "\n"
    "send     connects to HOST:PORT, offers the file PATH and sends it once the\n"
    "         receiver accepts. The file travels on a connection of its own,\n"
    "         opened after the first one. A name with a comma cannot be offered.\n"
    "receive  listens on PORT for a file offer and saves the file into DIR under\n"
    "         the offered name made safe on every system (its last path component,\n"
    "         characters such as : ? * turned into '_', device names such as NUL\n"
    "         prefixed with '_'); DIR must exist and be writable. It asks before\n"
    "         accepting and before replacing an existing file; with --yes it\n"
    "         accepts and saves beside existing files as 'name (1).ext'. Data goes\n"
    "         to NAME.part, renamed when complete and removed when the transfer\n"
    "         fails or is stopped (Ctrl-C). It ends after one file; with --keep it\n"
    "         goes on receiving files until Ctrl-C. When the sender closes the\n"
    "         file's connection it says 'connection N closed after the file'.\n"
    "Both show a progress bar on a terminal (sizes in SI units: 1 MB = 1 000 000\n"
    "bytes) and progress lines otherwise, on standard error.\n";

namespace {

constexpr int EVENT_SLOT = 0;
// Without any event for this long a transfer counts as stalled; the library
// itself ends a silent connection after 60 seconds.
constexpr auto IDLE_LIMIT = std::chrono::seconds(75);

// The file a transfer writes until its last byte has arrived.
fs::path partOf(fs::path target) { return target += ".part"; }

bool pathExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// A name is taken by a file, or by the part file of a transfer to it.
bool nameTaken(const fs::path& target) { return pathExists(target) || pathExists(partOf(target)); }

// The name to save under: the library has already made the offered name
// safe on every system (FileRecvOffer.fileName); only a name that was
// nothing but dots or spaces comes out empty.
std::string saveName(const std::string& cleaned) {
    return cleaned.empty() ? "received-file" : cleaned;
}

// "name (N).ext" for the first N that clashes neither with a file nor with
// its .part companion.
fs::path freeName(const fs::path& dir, const std::string& name) {
    fs::path plain = pathFromText(name);
    std::string stem = textFromPath(plain.stem()), ext = textFromPath(plain.extension());
    for (int n = 1; n < 10000; ++n) {
        fs::path candidate = dir / pathFromText(stem + " (" + std::to_string(n) + ")" + ext);
        if (!nameTaken(candidate)) return candidate;
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
    std::string problem;
    std::string address = resolveIPv4(sending.host, problem);
    if (address.empty()) return problem;
    if (!Connect_Tcp(endpoint, address.c_str(), sending.port)) {
        return "cannot connect to " + sending.host + ":" + std::to_string(sending.port) +
               "; is 'wirekit file receive " + std::to_string(sending.port) +
               " DIR' running there?";
    }
    if (!SendFile_Tcp(endpoint, sending.path.c_str())) {
        // The offer text ends the name at a comma and cannot hold the byte
        // 0x05, so the library refuses such a name.
        const std::pair<char, const char*> unsendable[] = {{',', "a comma"},
                                                           {'\x05', "the byte 0x05"}};
        for (const auto& [byte, what] : unsendable) {
            if (sending.name.find(byte) == std::string::npos) continue;
            return "cannot offer '" + sending.name + "': a file name with " + what +
                   " cannot be offered; send a copy named without it";
        }
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
    const fs::path file = pathFromText(path);
    if (!fs::is_regular_file(file, error)) {
        return fail("'" + path + "' is not a readable file");
    }
    Sending sending;
    sending.host = host;
    sending.port = port;
    sending.path = path;
    sending.name = textFromPath(file.filename());
    void* endpoint = Init_Tcp(callbackFor(EVENT_SLOT));
    if (endpoint == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    std::string problem = offerFile(endpoint, sending);
    if (!problem.empty()) {
        Close_Tcp(endpoint);
        return fail(problem);
    }
    sending.size = static_cast<int64_t>(fs::file_size(file, error));
    followSend(endpoint, sending);
    Close_Tcp(endpoint);
    if (!sending.done) return fail(sending.problem + " (" + path + ")");
    printOut("sent %s (%lld bytes)\n", path.c_str(), static_cast<long long>(sending.size));
    return EXIT_OK;
}

// Picks where an offered file is saved; empty when it is refused.
fs::path chooseTarget(const fs::path& dir, const FileRecvOffer& offer, bool acceptAll) {
    std::string name = saveName(offer.fileName);
    std::string what = "'" + name + "' (" + formatBytes(static_cast<double>(offer.fileSize)) +
                       ") from " + offer.peerAddress;
    if (!acceptAll && !askYesNo("accept " + what + "?")) return {};
    fs::path target = dir / pathFromText(name);
    if (nameTaken(target)) {
        fs::path other = freeName(dir, name);
        if (acceptAll) return other;
        std::string answer =
            ask("'" + textFromPath(target) + "' exists: [o]verwrite, [r]ename to '" +
                textFromPath(other.filename()) + "', or [N]o?");
        if (answer == "o" || answer == "overwrite") return target;
        if (answer == "r" || answer == "rename") return other;
        return {};
    }
    return target;
}

// A stopped transfer's session may still hold the file for a moment, and
// some systems refuse to remove an open file: retry for a short while.
bool removePartial(const fs::path& part) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::error_code error;
        fs::remove(part, error);
        if (!error) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
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

// Whether a new file can be created at `path` now: one is created and
// removed at once.
bool canCreateFile(const fs::path& path) {
    bool created = static_cast<bool>(std::ofstream(path, std::ios::binary));
    std::error_code error;
    if (created) fs::remove(path, error);
    return created;
}

// Checks DIR before anything listens: it must exist, be a directory and
// take a new file. "" or a one-line error.
std::string checkSaveDirectory(const std::string& dirText, fs::path& dir) {
    std::error_code error;
    dir = fs::absolute(pathFromText(dirText), error);
    if (error || !pathExists(dir)) {
        return "'" + dirText + "' does not exist; create it first or give another DIR";
    }
    if (!fs::is_directory(dir, error)) {
        return "'" + dirText + "' is not a directory; give the directory to save into";
    }
    std::mt19937 random{std::random_device{}()};
    fs::path probe =
        dir / pathFromText(".wirekit-write-test-" + std::to_string(random() % 1000000));
    if (!canCreateFile(probe)) {
        return "cannot create files in '" + dirText +
               "'; give a directory you may write to, or change its permissions";
    }
    return "";
}

// What became of one offer.
enum class Outcome { Saved, Refused, Failed };

// One offered file on its way in: where it goes and how far it got.
struct Receiving {
    long offer = 0;  // the accepted offer; 0 before one is accepted
    fs::path target, part;
    int64_t total = 0, received = 0;
    std::unique_ptr<Progress> progress;
    bool done = false;
    bool refused = false;
    std::string problem;
    std::chrono::steady_clock::time_point lastEvent = std::chrono::steady_clock::now();
};

// The receiving side: its endpoint, where files go, and the offers whose
// file is complete or refused; the library ends such an offer's connection
// with 3013 when the sender closes it, which is then no failure.
struct Receiver {
    void* endpoint = nullptr;
    fs::path dir;
    bool acceptAll = false;  // --yes
    std::set<long> finishedOffers;
};

void noteConnectionClosed(Receiver& receiver, const Event& event) {
    if (receiver.finishedOffers.erase(event.param) == 0) return;
    std::fprintf(stderr, "connection %d closed after the file\n", event.connection);
}

void refuse(Receiver& receiver, long offer) {
    RecvFile_Tcp(receiver.endpoint, offer, false);
    receiver.finishedOffers.insert(offer);
}

// Answers an offer: refused when one is already being received, when the
// user says no, or when its save path is unusable; otherwise accepted into
// its .part file.
void onOffer(Receiver& receiver, const Event& event, Receiving& receiving) {
    long offer = event.param;
    FileRecvOffer snapshot;
    if (!GetRecvOffer_Tcp(receiver.endpoint, offer, &snapshot)) return;  // already gone
    if (receiving.offer != 0) {
        refuse(receiver, offer);
        std::fprintf(stderr, "refused '%s' from %s: busy with another file\n", snapshot.fileName,
                     snapshot.peerAddress);
        return;
    }
    receiving.target = chooseTarget(receiver.dir, snapshot, receiver.acceptAll);
    receiving.part = receiving.target.empty() ? fs::path() : partOf(receiving.target);
    if (receiving.target.empty() || receiving.target.parent_path() != receiver.dir ||
        !SetSavePath_Tcp(receiver.endpoint, offer, textFromPath(receiving.part).c_str())) {
        refuse(receiver, offer);
        receiving.refused = receiving.target.empty();
        receiving.problem =
            receiving.refused ? "offer refused" : "the save path is too long; use a shorter DIR";
        receiving.part.clear();
        return;
    }
    receiving.offer = offer;
    receiving.total = snapshot.fileSize;
    RecvFile_Tcp(receiver.endpoint, offer, true);
    std::fprintf(stderr, "accepted, saving to %s\n", textFromPath(receiving.target).c_str());
    // The library creates the .part file, an empty one included, and reports
    // it complete with 3011.
    receiving.progress.reset(
        new Progress("receive " + textFromPath(receiving.target.filename()), receiving.total));
}

// 3013 for the offer being received: the connection ended early, or the
// library could not create or write the file. The library creates the file
// with its first data (an empty one at once), so a failure before any of it
// is told apart by trying to create the file here.
void onReceiveFailed(Receiver& receiver, Receiving& receiving) {
    if (receiving.received == 0 && !pathExists(receiving.part) && !canCreateFile(receiving.part)) {
        receiving.problem = "could not create " + textFromPath(receiving.part) + "; is " +
                            textFromPath(receiver.dir) + " writable, with room to spare?";
    } else {
        receiving.problem = "the connection ended before the file was complete";
    }
}

// Applies one event of the receiving endpoint to the transfer's state.
void onReceiveEvent(Receiver& receiver, const Event& event, Receiving& receiving) {
    switch (event.code) {
        case TCP_EV_FILE_OFFER:
            // A new offer may reuse the number of one that is gone.
            receiver.finishedOffers.erase(event.param);
            onOffer(receiver, event, receiving);
            break;
        case TCP_EV_RECV_STARTED:
        case TCP_EV_RECV_PROGRESS: {
            FileRecvOffer snapshot;
            if (event.param == receiving.offer &&
                GetRecvOffer_Tcp(receiver.endpoint, receiving.offer, &snapshot)) {
                receiving.received = snapshot.bytesReceived;
                if (receiving.progress) receiving.progress->update(receiving.received);
            }
            break;
        }
        case TCP_EV_RECV_DONE:
            if (event.param == receiving.offer) {
                receiving.received = receiving.total;
                receiving.done = true;
                receiver.finishedOffers.insert(receiving.offer);
            }
            break;
        case TCP_EV_RECV_FAILED:
            if (event.param == receiving.offer && !receiving.done) {
                onReceiveFailed(receiver, receiving);
            } else {
                noteConnectionClosed(receiver, event);
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
void checkQuiet(Receiver& receiver, Receiving& receiving) {
    FileRecvOffer snapshot;
    if (interrupted()) {
        receiving.problem = "stopped";
    } else if (receiving.offer == 0) {
        // Before an offer arrives the program waits as long as asked.
    } else if (std::chrono::steady_clock::now() - receiving.lastEvent > IDLE_LIMIT) {
        receiving.problem = "the transfer stalled";
    } else if (!GetRecvOffer_Tcp(receiver.endpoint, receiving.offer, &snapshot)) {
        receiving.problem = "the connection failed";
    }
}

// Waits for an offer and follows it until the file is complete, refused or
// failed.
void followReceive(Receiver& receiver, Receiving& receiving) {
    while (!receiving.done && receiving.problem.empty()) {
        Event event;
        if (!nextEvent(EVENT_SLOT, event, std::chrono::milliseconds(500))) {
            checkQuiet(receiver, receiving);
            continue;
        }
        receiving.lastEvent = std::chrono::steady_clock::now();
        onReceiveEvent(receiver, event, receiving);
    }
    if (!receiving.done && receiving.offer != 0) {
        StopRecvFile_Tcp(receiver.endpoint, receiving.offer);
    }
}

// Gives a complete file its final name, or removes what a failed transfer
// left behind, and says which.
Outcome settleReceivedFile(const Receiver& receiver, Receiving& receiving) {
    if (receiving.progress) {
        receiving.progress->finish(receiving.received, receiving.done ? "received" : "incomplete");
    }
    if (!receiving.done) {
        if (!receiving.part.empty() && !removePartial(receiving.part)) {
            fail(receiving.problem + "; could not remove " + textFromPath(receiving.part));
        } else {
            fail(receiving.problem);
        }
        return receiving.refused ? Outcome::Refused : Outcome::Failed;
    }
    // Someone may have created the name meanwhile; never replace it unasked.
    fs::path target = receiving.target;
    if (pathExists(target) && receiver.acceptAll) {
        target = freeName(receiver.dir, textFromPath(target.filename()));
    }
    if (target.empty() || !renameWhenClosed(receiving.part, target)) {
        fail("could not rename " + textFromPath(receiving.part) +
             " to its final name; the data is in the .part file");
        return Outcome::Failed;
    }
    printOut("saved %s (%lld bytes)\n", textFromPath(target).c_str(),
             static_cast<long long>(receiving.total));
    return Outcome::Saved;
}

int receiveFiles(int port, const std::string& dirText, bool acceptAll, bool keep) {
    Receiver receiver;
    receiver.acceptAll = acceptAll;
    std::string problem = checkSaveDirectory(dirText, receiver.dir);
    if (!problem.empty()) return fail(problem);
    receiver.endpoint = Init_Tcp(callbackFor(EVENT_SLOT));
    if (receiver.endpoint == reinterpret_cast<void*>(-1)) {
        return fail("could not create a TCP endpoint");
    }
    if (!ListenMessage_Tcp(receiver.endpoint, port)) {
        Close_Tcp(receiver.endpoint);
        return fail("cannot listen on TCP port " + std::to_string(port) +
                    "; is it in use? Choose another port");
    }
    printOut(keep ? "waiting for files on TCP port %d, saving into %s (Ctrl-C ends)\n"
                  : "waiting for a file on TCP port %d, saving into %s\n",
             port, textFromPath(receiver.dir).c_str());
    // Without --keep the first offer decides the exit code; with it, the
    // program goes on after every file and fails only for files it accepted
    // and could not save.
    int exitCode = EXIT_OK;
    for (;;) {
        Receiving receiving;
        followReceive(receiver, receiving);
        bool stoppedIdle = receiving.problem == "stopped" && receiving.offer == 0;
        if (keep && stoppedIdle) break;
        if (!keep) {
            // Closing first lets go of the library's hold on the file.
            Close_Tcp(receiver.endpoint);
            return settleReceivedFile(receiver, receiving) == Outcome::Saved ? EXIT_OK
                                                                             : EXIT_FAILED;
        }
        Outcome outcome = settleReceivedFile(receiver, receiving);
        if (outcome == Outcome::Failed) exitCode = EXIT_FAILED;
        if (interrupted()) break;
    }
    Close_Tcp(receiver.endpoint);
    return exitCode;
}

}  // namespace

int runFile(Args& args) {
    bool acceptAll = args.flag("--yes") || args.flag("-y");
    bool keep = args.flag("--keep");
    std::vector<std::string> words = args.positionals();
    if (words.empty()) throw UsageError{"say 'send HOST PORT PATH' or 'receive PORT DIR'"};
    const std::string& action = words[0];
    if (action == "send") {
        if (words.size() != 4) throw UsageError{"send takes HOST PORT PATH"};
        if (acceptAll || keep) throw UsageError{"--yes and --keep belong to 'receive'"};
        return sendFile(words[1], parsePort(words[2], "PORT"), words[3]);
    }
    if (action == "receive") {
        if (words.size() != 3) throw UsageError{"receive takes PORT DIR"};
        return receiveFiles(parsePort(words[1], "PORT"), words[2], acceptAll, keep);
    }
    throw UsageError{"unknown action '" + action + "'; say 'send' or 'receive'"};
}

}  // namespace cli
