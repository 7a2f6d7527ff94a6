// brigant-fw doctor: what stands between the tool and each disk behind a
// bridge bus, finding by finding, each OK, WARN or FAIL with what to do.
// Only read commands go to the disks.
#include "app/device_list.h"
#include "app/doctor.h"
#include "cli/cli_context.h"
#include "cli/json_report.h"
#include "cli/message_boxes.h"
#include "cli/say.h"
#include "cli/user_text.h"
#include "device/linux/host_facts.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

namespace brigant::cli
{

namespace
{

struct DoctorArgs {
    bool json = false;
};

nlohmann::json OrNull(const std::string &s) { return s.empty() ? nlohmann::json() : nlohmann::json(s); }

nlohmann::json FindingsJson(const std::vector<Finding> &list)
{
    nlohmann::json findings = nlohmann::json::array();
    for (const Finding &f : list)
        findings.push_back({{"topic", f.topic},
                            {"verdict", VerdictName(f.verdict)},
                            {"text", f.text},
                            {"advice", OrNull(f.advice)}});
    return findings;
}

void PrintFindings(const std::vector<Finding> &findings)
{
    for (const Finding &f : findings) {
        std::cout << "  " << VerdictName(f.verdict)
                  << std::string(5 - std::string(VerdictName(f.verdict)).size(), ' ') << f.topic << ": "
                  << f.text << "\n";
        if (!f.advice.empty())
            std::cout << "        -> " << f.advice << "\n";
    }
}

nlohmann::json DiagnosisJson(const DiskDiagnosis &d)
{
    const nlohmann::json findings = FindingsJson(d.findings);
    nlohmann::json commands = nlohmann::json::array();
    for (const ProbeCommand &c : d.commands)
        commands.push_back({{"name", c.name},
                            {"cdb", OrNull(c.cdb)},
                            {"ok", c.ok},
                            {"result", c.result},
                            {"sense", OrNull(c.sense)}});
    const auto kb = [](std::uint32_t v) { return v ? nlohmann::json(v) : nlohmann::json(); };
    return {{"path", d.disk.path},
            {"bus", BusName(d.disk.bus)},
            {"driver", d.driver},
            {"port", OrNull(d.disk.location)},
            {"usbId", OrNull(d.disk.usbId)},
            {"maxHwSectorsKb", kb(d.disk.maxHwSectorsKb)},
            {"maxSectorsKb", kb(d.disk.maxSectorsKb)},
            {"listed", d.listed},
            {"verdict", VerdictName(d.worst())},
            {"findings", findings},
            {"commands", commands}};
}

int RunDoctor(CliContext &ctx, const DoctorArgs &args)
{
    // What discovery would show in boxes is said on standard error.
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);
    const HostFacts host = ReadHostFacts();
    const std::vector<Finding> hostFindings = DiagnoseHost(host);
    const std::vector<DiskDiagnosis> disks = DiagnoseDisks(ctx.device, host);
    bool failed = false;
    for (const DiskDiagnosis &d : disks)
        failed = failed || d.worst() == Verdict::Fail;
    const int code = disks.empty() ? kExitNoDevice : failed ? kExitFailed : kExitOk;
    if (args.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const DiskDiagnosis &d : disks)
            list.push_back(DiagnosisJson(d));
        std::cout << JsonText({{"verb", "doctor"},
                               {"host", FindingsJson(hostFindings)},
                               {"disks", list},
                               {"result", ResultName(code)},
                               {"exit_status", code}})
                  << std::flush;
        return code;
    }
    std::cout << "this computer:\n";
    PrintFindings(hostFindings);
    if (disks.empty()) {
        std::cout << (ctx.device.empty() ? "no disk behind a USB, UAS or 1394 bridge was found"
                                         : ctx.device + ": no such disk behind a USB, UAS or 1394 bridge")
                  << "\n";
        return code;
    }
    for (const DiskDiagnosis &d : disks) {
        std::cout << d.disk.path << " (" << BusName(d.disk.bus) << ", " << d.driver
                  << (d.disk.location.empty() ? "" : ", port " + d.disk.location)
                  << "): " << VerdictName(d.worst()) << "\n";
        PrintFindings(d.findings);
        for (const ProbeCommand &c : d.commands)
            std::cout << "  sent " << c.name << (c.cdb.empty() ? "" : " (" + c.cdb + ")") << ": " << c.result
                      << "\n";
    }
    return code;
}

} // namespace

void RegisterDoctorCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<DoctorArgs>();
    CLI::App *cmd = app.add_subcommand(
        "doctor",
        "Tell what stands between the tool and each disk behind a bridge (driver, transfer size, "
        "access, other programs, mounts, the first commands), each OK, WARN or FAIL; sends only reads");
    cmd->add_flag("--json", args->json, "Print the findings as JSON (UTF-8)");
    cmd->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunDoctor(ctx, *args); }; });
}

} // namespace brigant::cli
