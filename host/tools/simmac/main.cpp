// simmac: the console of the simulated Mac. Creates and inspects the
// machine, power-cycles the cards, puts it to sleep and wakes it, writes a
// checkpoint, shows the driver log and the system log, sets driver faults and
// card limits and sends single driver commands.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

#include "CommandLine.h"
#include "SimmacCommands.h"
#include "ToolMain.h"
#include "host/Log.h"

namespace {

int run(int argc, char** argv) {
    host::setLogProgramName("simmac");
    CLI::App app{"simmac: the console of the simulated Mac"};
    app.require_subcommand(1);
    std::string root;
    app.add_option("--root", root,
                   "the simulated Mac's folder (default: $SIMMAC_ROOT, else "
                   "~/.local/share/tarnwick/simmac); only init creates a machine in a named one")
        ->check(CLI::Validator(
            [](const std::string& text) { return text.empty() ? "empty folder name" : ""; },
            "DIR"));

    std::string names;
    for (const std::string& name : host::presetNames()) names += (names.empty() ? "" : ", ") + name;

    CLI::App* init = app.add_subcommand("init", "create or replace machine.plist");
    std::optional<std::string> preset, fromFile;
    auto* presetOption = init->add_option("--preset", preset, "a built-in machine: " + names);
    init->add_option("--from", fromFile, "a machine file to copy after checking it")
        ->excludes(presetOption);

    CLI::App* show =
        app.add_subcommand("show", "the registry tree, each card's registers and clocks");
    CLI::App* reboot =
        app.add_subcommand("reboot", "power cycle: every card back to its power-on registers");

    CLI::App* sleep =
        app.add_subcommand("sleep", "put the machine to sleep: commands time out until wake");
    CLI::App* wake = app.add_subcommand(
        "wake", "power the cards up again, then run what registered for wake to its end");

    CLI::App* checkpoint =
        app.add_subcommand("checkpoint", "rewrite machine.plist to hold the machine as it is now");

    CLI::App* trace = app.add_subcommand("trace", "the driver log, readable");
    std::optional<std::size_t> last;
    trace->add_option("--last", last, "only the last N commands")->check(tools::kDecimalCount);

    CLI::App* log = app.add_subcommand("log", "the system log: every program's NSLog lines");
    bool follow = false;
    std::optional<std::size_t> lastLines;
    log->add_flag("--follow,-f", follow,
                  "go on printing lines as they are added, until interrupted");
    log->add_option("--last", lastLines, "only the last N lines")->check(tools::kDecimalCount);

    CLI::App* fault = app.add_subcommand("fault", "set or clear a clock driver's simulated faults");
    std::string faultDriver;
    simmac::FaultOptions faults;
    std::vector<std::int64_t> refuse;
    fault->add_option("DRIVER", faultDriver, simmac::kDriverArgumentHelp)->required();
    fault
        ->add_option("--busy", faults.busyMilliseconds,
                     "stay busy this long after every accepted write (ms)")
        ->check(CLI::NonNegativeNumber);
    fault
        ->add_option("--refuse-after", faults.refuseAfter,
                     "refuse every command after N accepted ones")
        ->check(CLI::NonNegativeNumber);
    auto* refuseOption =
        fault->add_option("--refuse", refuse, "command codes always refused, e.g. 2,12")
            ->delimiter(',');
    fault->add_flag("--clear", faults.clear, "remove every fault first");

    CLI::App* limit = app.add_subcommand(
        "limit", "show or set the clocks a card holds; a write above them hangs the machine");
    std::string limitDriver;
    simmac::LimitOptions limits;
    limit->add_option("DRIVER", limitDriver, simmac::kDriverArgumentHelp)->required();
    limit->add_option("--vpu", limits.vpu, "core clock limit (MHz)")->check(tools::kMegahertz);
    limit->add_option("--memory", limits.memory, "memory clock limit (MHz)")
        ->check(tools::kMegahertz);
    limit->add_flag("--clear", limits.clear, "remove both limits first");

    CLI::App* command =
        app.add_subcommand("command", "send one command to a clock driver as the system does");
    std::string commandDriver, code, argument;
    std::optional<std::string> argument2;
    command->add_option("DRIVER", commandDriver, simmac::kDriverArgumentHelp)->required();
    command->add_option("CODE", code, "command code (0, 1, 2, 11, 12)")->required();
    command->add_option("ARG", argument, "argument (decimal or 0x hex)")->required();
    command->add_option("ARG2", argument2, "second argument, for command 12");

    if (const std::optional<int> status = tools::parseCommandLine(app, argc, argv)) return *status;
    if (!root.empty()) ::setenv("SIMMAC_ROOT", root.c_str(), 1);

    if (*init) return simmac::initMachine(preset, fromFile);
    if (std::string error; !simmac::namedMachineExists(&error)) {
        std::fprintf(stderr, "simmac: %s\n", error.c_str());
        return 1;
    }
    if (*show) return simmac::showMachine();
    if (*reboot) return simmac::rebootMachine();
    if (*sleep) return simmac::sleepMachine();
    if (*wake) return simmac::wakeMachine();
    if (*checkpoint) return simmac::checkpointMachine();
    if (*trace) return simmac::showTrace(last);
    if (*log) return simmac::showSystemLog(follow, lastLines);
    if (*fault) {
        if (refuseOption->count() > 0) faults.refuseCommands = refuse;
        return simmac::setFaults(faultDriver, faults);
    }
    if (*limit) return simmac::setLimits(limitDriver, limits);
    if (*command) return simmac::sendCommand(commandDriver, code, argument, argument2);
    return 1;
}

}  // namespace

int main(int argc, char** argv) { return tools::guardedMain("simmac", run, argc, argv); }
