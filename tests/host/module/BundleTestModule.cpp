// Loaded by the bundle tests from inside a bundle folder.
#include "host/Foundation.h"

extern "C" {

// Lies in this module, so its address leads to the module's bundle.
__attribute__((visibility("default"))) int bundleTestModuleMarker() { return 42; }

// Whether a bundle opened by the program is visible from inside the module.
__attribute__((visibility("default"))) bool bundleTestModuleFindsIdentifier(
    const char* identifier) {
    return NSBundle::bundleWithIdentifier(identifier) != nullptr;
}
}
