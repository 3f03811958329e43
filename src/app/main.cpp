#include "cli.h"

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cli") == 0) {
            Cli cli(argc, argv);
            return cli.run();
        }
    }
    std::fprintf(stderr, "-OR- q5-orl-imager --cli [--disable-verify] [--sha256 <expected hash>] "
                         "[--debug] [--quiet] <image file to write> <destination drive device>\n");
    return 1;
}
