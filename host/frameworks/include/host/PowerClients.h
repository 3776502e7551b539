// The simulated Mac's side of system power notifications: the programs
// registered for them in this login session, kept in
// <root>/private/var/run/PowerClients.plist, and their launch with a
// message, which `simmac wake` uses (docs/power.md).
#pragma once

#include <chrono>
#include <cstdint>
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

// The registered programs in the order they registered; empty when there is
// no registration. Nothing, with a message, when the file cannot be read.
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

// How a client's launch ended.
struct PowerClientLaunch {
    PowerClient client;
    bool finished = false;  // exited by itself (any status) within the time
    std::string outcome;    // "exited with status 0", "killed by signal 9", ...
};
// Launches every registered client in turn with `message` pending and waits
// for each to end; one still running after `limit` is ended with SIGKILL, so
// nothing is left running: what a client started in its process group ends
// and is reaped with it (the calling process becomes the subreaper of its
// descendants for that). Nothing, with a message, when the registrations
// cannot be read.
std::optional<std::vector<PowerClientLaunch>> launchPowerClients(std::uint32_t message,
                                                                 std::chrono::milliseconds limit,
                                                                 std::string* error);

}  // namespace host
