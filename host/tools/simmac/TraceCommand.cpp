// simmac trace: the driver log, one readable line per command.
#include <cstdio>
#include <iostream>

#include "SimmacCommands.h"
#include "host/DriverLog.h"
#include "host/SimMac.h"

namespace simmac {

namespace {

std::string arguments(const host::DriverLogRecord& r) {
    auto hex = [](const std::optional<std::int64_t>& v) {
        if (!v) return std::string("-");
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(*v));
        return std::string(buffer);
    };
    if (r.command == 12) return hex(r.argument) + " = " + hex(r.argument2);
    if (r.argument2) return hex(r.argument) + ", " + hex(r.argument2);
    return hex(r.argument);
}

}  // namespace

int showTrace(std::optional<std::size_t> last) {
    std::string path = host::driverLogPath().string();
    std::string error;
    bool unreadable = false;
    std::vector<host::DriverLogRecord> records = host::readDriverLog(path, &error, &unreadable);
    if (!error.empty()) std::cerr << "simmac: " << error << "\n";
    if (unreadable) return 1;
    std::size_t first = last && *last < records.size() ? records.size() - *last : 0;
    if (records.empty()) std::cout << "no command has reached a clock driver yet\n";
    for (std::size_t i = first; i < records.size(); ++i) {
        const host::DriverLogRecord& r = records[i];
        char head[128];
        std::snprintf(
            head, sizeof head, "%6llu  %-23s %-22s ", static_cast<unsigned long long>(r.seq),
            (r.name + "(" + std::to_string(r.command) + ")").c_str(), arguments(r).c_str());
        std::cout << head;
        if (r.result == 0)
            std::cout << "accepted";
        else
            std::cout << "refused " << ioReturnText(static_cast<IOReturn>(r.result));
        if (r.regValue) std::cout << ", RegValue " << hex32(*r.regValue);
        std::cout << "  [" << r.driver << "]\n";
    }
    return 0;
}

}  // namespace simmac
