#include <dlfcn.h>

#include <filesystem>

#include "host/PreferencePanes.h"

namespace host {

std::unique_ptr<NSPreferencePane> loadPreferencePane(const std::string& bundlePath,
                                                     std::string* error) {
    auto fail = [&](const std::string& message) {
        if (error != nullptr) *error = message;
        return std::unique_ptr<NSPreferencePane>();
    };
    std::shared_ptr<NSBundle> bundle = NSBundle::bundleWithPath(bundlePath);
    if (!bundle) return fail(bundlePath + " is not a bundle (no Contents/Info.plist)");
    const cf::Value* principal = bundle->infoDictionary().get("NSPrincipalClass");
    if (principal == nullptr || principal->string() == nullptr || principal->string()->empty())
        return fail(bundlePath + ": Info.plist names no NSPrincipalClass");
    const std::string executable = bundle->executablePath();
    std::error_code ec;
    if (executable.empty() || !std::filesystem::is_regular_file(executable, ec))
        return fail(bundlePath + ": no executable module at Contents/MacOS/<CFBundleExecutable>");

    // Modules are never unloaded, as bundles stay loaded in a Mac process.
    void* module = dlopen(executable.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return fail(std::string("cannot load ") + executable + ": " + dlerror());
    auto factory =
        reinterpret_cast<PrincipalClassFactory>(dlsym(module, kPrincipalClassFactorySymbol));
    if (factory == nullptr)
        return fail(executable + " does not export " + kPrincipalClassFactorySymbol);

    std::unique_ptr<NSPreferencePane> pane(factory(principal->string()->c_str()));
    if (!pane) return fail(executable + " has no class " + *principal->string());
    if (!pane->initWithBundle(bundle))
        return fail("initWithBundle: of " + *principal->string() + " failed");
    return pane;
}

}  // namespace host
