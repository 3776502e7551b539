// simmac trace: the driver log, one readable line per command, across its
// rotation (driver.jsonl.old, then driver.jsonl), read a block at a time.
#include <cstdio>
#include <deque>
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

void printRecord(const host::DriverLogRecord& r) {
    char head[128];
    std::snprintf(head, sizeof head, "%6llu  %-23s %-22s ", static_cast<unsigned long long>(r.seq),
                  (r.name + "(" + std::to_string(r.command) + ")").c_str(), arguments(r).c_str());
    std::cout << head;
    if (r.result == 0)
        std::cout << "accepted";
    else
        std::cout << "refused " << ioReturnText(static_cast<IOReturn>(r.result));
    if (r.regValue) std::cout << ", RegValue " << hex32(*r.regValue);
    std::cout << "  [" << r.driver << "]\n";
}

int showTrace(std::optional<std::size_t> last) {
    const std::string path = host::driverLogPath().string();
    std::size_t shown = 0;
    std::deque<host::DriverLogRecord> lastOnes;  // with --last: the newest so far
    const auto visit = [&](const host::DriverLogRecord& record) {
        ++shown;
        if (!last) {
            printRecord(record);
        } else if (*last > 0) {
            lastOnes.push_back(record);
            if (lastOnes.size() > *last) lastOnes.pop_front();
        }
    };
    // The journal before its last rotation first, as a system log's.
    for (const std::string& file : {path + ".old", path}) {
        std::string error;
        const bool read = host::visitDriverLog(file, visit, &error);
        if (!error.empty()) std::cerr << "simmac: " << error << "\n";
        if (!read) return 1;
    }
    if (shown == 0) std::cout << "no command has reached a clock driver yet\n";
    for (const host::DriverLogRecord& record : lastOnes) printRecord(record);
    return 0;
}

}  // namespace simmac
