// tethra pty: any program shares a port through a virtual serial device of its own.
//
//   tethra pty COM5 [--link PATH]
//
// PtyMain is the subcommand's entry (argv[0] "pty", argv[1] the port), called by the
// tethra command. It returns 0 after an interrupt (SIGINT, SIGTERM, SIGHUP), 1 when the
// port could not be opened or went away, 2 for a wrong command line. The help text
// (PtyUsage) says what the virtual device carries and what it cannot.
#pragma once

int PtyMain(int argc, char** argv);

// The --help text.
const char* PtyUsage();
