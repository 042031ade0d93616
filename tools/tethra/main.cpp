// tethra: the command for the people who use the server: list, map, watch, configure
// and type into shared serial ports.
//
// A subcommand is one file with its entry and one line in the table below. A subcommand
// that lives in a library of its own (the virtual serial device in tools/pty, whose
// entry is PtyMain) joins the same way: its entry declared, its line, its library linked.
#include "tools/tethra/tethra.h"

#include <cstdio>
#include <cstring>

int GetMain(int argc, char** argv);
int SetMain(int argc, char** argv);
int PortsMain(int argc, char** argv);
int MapMain(int argc, char** argv);
int UnmapMain(int argc, char** argv);
int WatchMain(int argc, char** argv);
int TermMain(int argc, char** argv);
int PtyMain(int argc, char** argv);  // tools/pty

namespace {

struct Subcommand {
    const char* name;
    const char* synopsis;
    int (*run)(int argc, char** argv);
};

const Subcommand kSubcommands[] = {
    {"ports", "ports                          the COM numbers, their devices and who uses them", PortsMain},
    {"map", "map COMn DEVICE                give a device a COM number in the port map", MapMain},
    {"unmap", "unmap COMn                     take a COM number out of the port map", UnmapMain},
    {"get", "get COMn [Property...]         read a port's settings", GetMain},
    {"set", "set COMn Property=Value...     change a port's settings (its other clients are asked)", SetMain},
    {"watch", "watch COMn [--hex] [--timestamps]  print everything the port produces", WatchMain},
    {"term", "term COMn [--baud N] [--hex]   type into a shared port", TermMain},
    {"pty", "pty COMn [--link PATH]         a virtual serial device for any program", PtyMain},
};

void Usage(FILE* out)
{
    std::fputs("Usage: tethra SUBCOMMAND [ARGUMENTS...]\n"
               "       tethra SUBCOMMAND --help\n\n"
               "Shares serial ports through tethra-server: every program that opens a port\n"
               "through the server receives everything the device sends and may send to it.\n\n"
               "Subcommands:\n",
               out);
    for (const Subcommand& s : kSubcommands)
        std::fprintf(out, "  tethra %s\n", s.synopsis);
    std::fputs("\nA port is named COM<n> (or just <n>); tethra ports lists them.\n\n", out);
    std::fputs(tethra::kExitCodesHelp, out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        Usage(stderr);
        return tethra::kExitUsage;
    }
    const char* name = argv[1];
    if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0 ||
        std::strcmp(name, "help") == 0) {
        if (std::strcmp(name, "help") == 0 && argc > 2) {
            for (const Subcommand& s : kSubcommands)
                if (std::strcmp(s.name, argv[2]) == 0) {
                    char help[] = "--help";
                    char* args[] = {argv[2], help, nullptr};
                    return s.run(2, args);
                }
        }
        Usage(stdout);
        return tethra::kExitOk;
    }
    for (const Subcommand& s : kSubcommands)
        if (std::strcmp(s.name, name) == 0) {
            std::fflush(stdout);
            const int code = s.run(argc - 1, argv + 1);
            std::fflush(stdout);
            return code;
        }
    std::fprintf(stderr, "tethra: no subcommand \"%s\"\n\n", name);
    Usage(stderr);
    return tethra::kExitUsage;
}
