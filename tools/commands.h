// The subcommands of the wirekit program. Each takes the whole command line
// and the index of its first own argument, and returns the exit code.
#pragma once

namespace cli {
int runDemo(int argc, char** argv, int first);
int runTcp(int argc, char** argv, int first);
int runUdp(int argc, char** argv, int first);
int runFile(int argc, char** argv, int first);
int runDes(int argc, char** argv, int first);
int runCompress(int argc, char** argv, int first, bool uncompress);
}  // namespace cli
