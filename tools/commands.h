// The subcommands of the wirekit program. main.cpp looks the first argument up
// in one table of these, answers --help with the command's help text and
// otherwise hands the remaining arguments to the command's handler, which
// returns the exit code.
#pragma once

#include "cli.h"

namespace cli {

using CommandHandler = int (*)(Args& args);

struct Command {
    const char* name;
    CommandHandler run;
    const char* help;
};

int runDemo(Args& args);
int runTcp(Args& args);
int runUdp(Args& args);
int runFile(Args& args);
int runDes(Args& args);
int runCompress(Args& args);
int runUncompress(Args& args);

extern const char* const DEMO_HELP;
extern const char* const TCP_HELP;
extern const char* const UDP_HELP;
extern const char* const FILE_HELP;
extern const char* const DES_HELP;
extern const char* const COMPRESS_HELP;  // compress and uncompress share it

}  // namespace cli
