// simmac command: one driver command sent the way the system sends it: wait
// at most 1 second for the driver to be quiet, set the command properties,
// then read back "RegValue".
#include <iostream>

#include "SimmacCommands.h"
#include "host/DriverLog.h"

namespace simmac {

int sendCommand(const std::string& driver, const std::string& codeText,
                const std::string& argumentText, const std::optional<std::string>& argument2Text) {
    std::optional<std::int64_t> code = parseNumber(codeText);
    std::optional<std::int64_t> argument = parseNumber(argumentText);
    std::optional<std::int64_t> parsed2 =
        argument2Text ? parseNumber(*argument2Text) : std::nullopt;
    const bool hasArgument2 = parsed2.has_value();
    const std::int64_t argument2 = parsed2.value_or(0);
    auto fits32 = [](std::int64_t v) { return v >= -0x80000000LL && v <= 0xFFFFFFFFLL; };
    if (!code || *code < 0 || *code > 255) {
        std::cerr << "simmac: CODE must be a number from 0 to 255\n";
        return 1;
    }
    if (!argument || !fits32(*argument) ||
        (argument2Text && (!hasArgument2 || !fits32(argument2)))) {
        std::cerr << "simmac: arguments must be 32-bit numbers (decimal or 0x hex)\n";
        return 1;
    }

    std::string error;
    std::shared_ptr<const host::Machine> machine = host::currentMachine(&error);
    if (!machine) {
        std::cerr << "simmac: " << error << "\n";
        return 1;
    }
    std::optional<std::string> path = resolveDriver(*machine, driver, &error);
    if (!path) {
        std::cerr << "simmac: " << error << "\n";
        return 1;
    }
    io_registry_entry_t service = IORegistryEntryFromPath(kIOMasterPortDefault, *path);
    if (service == IO_OBJECT_NULL) {
        std::cerr << "simmac: " << *path << ": no such entry\n";
        return 1;
    }

    cf::Dictionary properties;
    properties.set("Command", cf::CFNumberCreate(cf::kCFNumberCharType, *code));
    properties.set("Argument", cf::CFNumberCreate(cf::kCFNumberIntType, *argument));
    if (hasArgument2)
        properties.set("Argument2", cf::CFNumberCreate(cf::kCFNumberIntType, argument2));

    int status = 0;
    const mach_timespec_t waitTime{1, 0};
    IOReturn result = IOServiceWaitQuiet(service, &waitTime);
    if (result != kIOReturnSuccess) {
        std::cout << *path << ": waiting for the driver failed: " << ioReturnText(result) << "\n";
        // No driver answers a machine that sleeps or hangs: say which.
        if (machine->hung)
            std::cerr << "simmac: the machine hangs; simmac reboot restarts it\n";
        else if (machine->asleep)
            std::cerr << "simmac: the machine is asleep; simmac wake wakes it\n";
        status = 2;
    } else {
        result = IORegistryEntrySetCFProperties(service, properties);
        std::cout << *path << ": command " << *code << " (" << host::driverCommandName(*code)
                  << "): result " << ioReturnText(result) << "\n";
        if (result != kIOReturnSuccess) status = 2;
    }
    std::optional<cf::Value> regValue =
        IORegistryEntryCreateCFProperty(service, "RegValue", kCFAllocatorDefault, 0);
    if (!regValue) {
        std::cout << "RegValue: absent\n";
    } else if (const cf::Data* data = regValue->data(); data && data->size() >= 4) {
        std::uint32_t value = static_cast<std::uint32_t>((*data)[0]) |
                              static_cast<std::uint32_t>((*data)[1]) << 8 |
                              static_cast<std::uint32_t>((*data)[2]) << 16 |
                              static_cast<std::uint32_t>((*data)[3]) << 24;
        std::cout << "RegValue: " << hex32(value) << " (" << value << ")\n";
    } else {
        std::cout << "RegValue: " << propertyText(*regValue) << "\n";
    }
    IOObjectRelease(service);
    return status;
}

}  // namespace simmac
