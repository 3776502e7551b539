// A C++ program that starts iostreams and exits: beside the minimal
// program, what the C++ runtime alone adds to a start.
#include <iostream>

int main() {
    std::cout << std::flush;
    return 0;
}
