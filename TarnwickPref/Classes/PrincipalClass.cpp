// The module's factory, through which the host creates the principal class
// named in Info.plist.
#include <cstring>

#include "NameHalvornOddnyTarnwickPref.h"

extern "C" __attribute__((visibility("default"))) NSPreferencePane* TarnwickCreatePrincipalClass(
    const char* className) {
    if (className != nullptr && std::strcmp(className, "NameHalvornOddnyTarnwickPref") == 0)
        return new NameHalvornOddnyTarnwickPref();
    return nullptr;
}
