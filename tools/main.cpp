// The wirekit program: a demonstration of every capability of the library
// and a small tool for talking to peers that use its protocols.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "commands.h"
#include "wirekit.h"

namespace {

const char* const PROGRAM_HELP =
    "usage: wirekit COMMAND [ARGS...]\n"
    "\n"
    "Commands:\n"
    "  demo                               run every capability on loopback and report\n"
    "  tcp listen PORT                    print TCP messages and connection events\n"
    "  tcp send HOST PORT [TEXT...]       send TEXT (or each line of stdin) as messages\n"
    "  udp listen PORT [--header B1 B2] [--broadcast]\n"
    "                                     print reliable UDP messages\n"
    "  udp send ADDRESS PORT [TEXT...] [--from PORT] [--header B1 B2] [--timeout SECONDS]\n"
    "                                     send and wait for the acknowledgement\n"
    "  file send HOST PORT PATH           offer a file and send it when accepted\n"
    "  file receive PORT DIR [--yes]      receive one offered file into DIR\n"
    "  des encrypt|decrypt --key TEXT|--key-hex HEX   < in > out\n"
    "  compress < in > out                zlib-compress standard input\n"
    "  uncompress < in > out              reverse of compress\n"
    "\n"
    "Options: --help (also after any command), --version.\n"
    "Exit codes: 0 success, 1 failure, 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(PROGRAM_HELP, stderr);
        return cli::EXIT_USAGE;
    }
    std::string command = argv[1];
    if (command == "--version") {
        std::printf("wirekit %s\n", WIREKIT_VERSION_STRING);
        return cli::EXIT_OK;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(PROGRAM_HELP, stdout);
        return cli::EXIT_OK;
    }
    cli::installInterruptHandler();
    try {
        if (command == "demo") return cli::runDemo(argc, argv, 2);
        if (command == "tcp") return cli::runTcp(argc, argv, 2);
        if (command == "udp") return cli::runUdp(argc, argv, 2);
        if (command == "file") return cli::runFile(argc, argv, 2);
        if (command == "des") return cli::runDes(argc, argv, 2);
        if (command == "compress") return cli::runCompress(argc, argv, 2, false);
        if (command == "uncompress") return cli::runCompress(argc, argv, 2, true);
    } catch (const cli::UsageError& error) {
        std::fprintf(stderr, "wirekit %s: %s (see 'wirekit %s --help')\n", command.c_str(),
                     error.message.c_str(), command.c_str());
        return cli::EXIT_USAGE;
    }
    std::fprintf(stderr, "wirekit: unknown command '%s' (see 'wirekit --help')\n",
                 command.c_str());
    return cli::EXIT_USAGE;
}
