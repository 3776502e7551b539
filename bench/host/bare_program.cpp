// The bare C++ program the startup tool is measured against: it starts with
// the C++ runtime loaded, as every C++ program does, writes nothing and
// exits.
#include <iostream>

int main() {
    std::cout << std::flush;
    return 0;
}
