// tethra-pty: the "tethra pty" command on its own.
#include "tools/pty/pty_main.h"

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::string name = "pty";
    std::vector<char*> args(argv, argv + argc);
    args[0] = name.data();
    return PtyMain(argc, args.data());
}
