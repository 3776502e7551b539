// The main() of every host program, around the program's own run().
#pragma once

#include <cstdio>
#include <exception>

namespace tools {

// Whatever run() throws (out of memory, a file system error) ends the
// program with "<program>: <what>" on stderr and status 1 rather than an
// abort.
inline int guardedMain(const char* program, int (*run)(int, char**), int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
        return 1;
    }
}

}  // namespace tools
