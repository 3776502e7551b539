// The simulated Mac's side of system power notifications: the programs
// registered for them in this login session, kept in
// <root>/private/var/run/PowerClients.plist, which `simmac wake` launches
// with the message pending (docs/power.md).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace host {

// A registered program: how to launch it again.
struct PowerClient {
    std::string program;  // absolute path of the executable
    std::vector<std::string> arguments;

    bool operator==(const PowerClient&) const = default;
};

// The environment variable that carries the pending message to a launched
// client: the message number in hex ("0xE0000300").
inline constexpr const char* kPowerMessageVariable = "SIMMAC_POWER_MESSAGE";

std::filesystem::path powerClientsPath();
// The most the registrations file may hold (a few hundred bytes a client).
inline constexpr std::size_t kPowerClientsFileBytes = std::size_t{1} << 20;

// The registered programs in the order they registered; empty when there is
// no registration. Nothing, with a message, when the file cannot be read;
// a link (dangling or not) or anything else but a regular file in its place
// is refused like that.
std::optional<std::vector<PowerClient>> readPowerClients(std::string* error);
// Adds `client` unless it is registered already; removes it. Under a lock,
// written atomically. False with a message when the file cannot be read or
// written; then it is unchanged.
bool addPowerClient(const PowerClient& client, std::string* error);
bool removePowerClient(const PowerClient& client, std::string* error);
// Ends the login session's registrations (a reboot).
bool clearPowerClients(std::string* error);

// This program as a client: its executable and the arguments it was
// started with.
std::optional<PowerClient> thisPowerClient(std::string* error);

}  // namespace host
