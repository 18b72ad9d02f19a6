// The wirekit program: a demonstration of every capability of the library
// and a small tool for talking to peers that use its protocols.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "wirekit.h"

namespace {

const char* const PROGRAM_HELP =
    "usage: wirekit COMMAND [ARGS...]\n"
    "\n"
    "Commands:\n"
    "  demo                          run every capability on loopback and report\n"
    "  tcp listen PORT               print TCP messages and connection events\n"
    "  tcp send HOST PORT [TEXT...]  send TEXT (or each line of stdin) as messages\n"
    "  udp listen PORT [--header B1 B2] [--broadcast]\n"
    "                                print reliable UDP messages\n"
    "  udp send HOST PORT [TEXT...] [--from PORT] [--header B1 B2]\n"
    "           [--timeout SECONDS]  send and wait for the acknowledgement\n"
    "  file send HOST PORT PATH      offer a file and send it when accepted\n"
    "  file receive PORT DIR [--yes] [--keep]\n"
    "                                receive a file into DIR (--keep: until Ctrl-C)\n"
    "  des encrypt|decrypt --key TEXT|--key-hex HEX   < in > out\n"
    "  compress < in > out           zlib-compress standard input\n"
    "  uncompress < in > out         reverse of compress\n"
    "\n"
    "Options: --help (also after any command), --version; -- ends the options.\n"
    "Results go to standard output; progress, questions, errors to standard error.\n"
    "Exit codes: 0 success, 1 failure, 2 usage error.\n";

const cli::Command COMMANDS[] = {
    {"demo", cli::runDemo, cli::DEMO_HELP},
    {"tcp", cli::runTcp, cli::TCP_HELP},
    {"udp", cli::runUdp, cli::UDP_HELP},
    {"file", cli::runFile, cli::FILE_HELP},
    {"des", cli::runDes, cli::DES_HELP},
    {"compress", cli::runCompress, cli::COMPRESS_HELP},
    {"uncompress", cli::runUncompress, cli::COMPRESS_HELP},
};

const cli::Command* findCommand(const std::string& name) {
    for (const cli::Command& command : COMMANDS) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

int run(int argc, char** argv) {
    cli::separateLibraryOutput();
    if (argc < 2) {
        std::fputs(PROGRAM_HELP, stderr);
        return cli::EXIT_USAGE;
    }
    std::string name = argv[1];
    if (name == "--version") {
        cli::printOut("wirekit %s\n", WIREKIT_VERSION_STRING);
        return cli::EXIT_OK;
    }
    if (name == "--help" || name == "-h" || name == "help") {
        std::fputs(PROGRAM_HELP, cli::resultStream());
        return cli::EXIT_OK;
    }
    cli::installInterruptHandler();
    const cli::Command* command = findCommand(name);
    if (!command) {
        std::fprintf(stderr, "wirekit: unknown command '%s' (see 'wirekit --help')\n",
                     name.c_str());
        return cli::EXIT_USAGE;
    }
    try {
        cli::Args args(argc, argv, 2);
        if (args.wantsHelp()) {
            std::fputs(command->help, cli::resultStream());
            return cli::EXIT_OK;
        }
        return command->run(args);
    } catch (const cli::UsageError& error) {
        std::fprintf(stderr, "wirekit %s: %s (see 'wirekit %s --help')\n", name.c_str(),
                     error.message.c_str(), name.c_str());
        return cli::EXIT_USAGE;
    }
}

}  // namespace

#ifdef _WIN32
// Windows hands the program its arguments as UTF-16; they go on as UTF-8, the
// text the library takes for paths, so that any file name can be given
// whatever the ANSI code page holds. Message text given as arguments is sent
// as UTF-8 too.
extern "C" int wmain(int argc, wchar_t** wideArguments) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(cli::utf8FromWide(wideArguments[i]));
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    return run(argc, pointers.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
