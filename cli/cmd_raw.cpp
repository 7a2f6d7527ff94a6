// brigant-fw raw: one SCSI command, sent once with the transport's other rules.
#include "bridge/chip_commands.h"
#include "cli/cli_context.h"
#include "cli/say.h"
#include "common/hex.h"
#include "device/linux/sg_backend.h"
#include "device/transport.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <scsi/sg_lib.h>
#include <vector>

namespace brigant::cli
{

namespace
{

struct RawArgs {
    std::string direction;
    std::string length;
    std::vector<std::string> cdb;
    std::string dataFile;
    bool sense = false;
};

constexpr std::uint64_t kMaxRawLength = 16u * 1024 * 1024;

// "sense key 5, ASC 20, ASCQ 00: Illegal Request, Invalid command operation
// code", the words from sg3_utils' tables.
std::string SenseText(const std::uint8_t *sense, std::uint32_t length)
{
    const SenseCode s = DecodeSense(sense, length);
    char line[64];
    std::snprintf(line, sizeof line, "sense key %X, ASC %02X, ASCQ %02X", s.key, s.asc, s.ascq);
    if (s.key == 0 && s.asc == 0 && s.ascq == 0 && sense[0] == 0)
        return std::string(line) + ": no sense data";
    char key[80] = {};
    char code[160] = {};
    sg_get_sense_key_str(s.key, sizeof key, key);
    sg_get_asc_ascq_str(s.asc, s.ascq, sizeof code, code);
    std::string text = code;
    const std::string prefix = "Additional sense: ";
    if (text.rfind(prefix, 0) == 0)
        text.erase(0, prefix.size());
    return std::string(line) + ": " + key + ", " + text;
}

// The bytes a data-out command sends: the first `len` of --data FILE.
// kExitOk with `data` filled, or the usage error after saying why (a
// data-in command takes no --data).
int ReadDataOut(const RawArgs &a, bool in, std::uint32_t len, std::vector<std::uint8_t> &data)
{
    if (!in && len > 0) {
        if (a.dataFile.empty()) {
            SayError().as(MessageCode::Usage)
                << "a data-out command of " << len << " bytes needs --data FILE";
            return kExitUsage;
        }
        std::ifstream file(a.dataFile, std::ios::binary);
        std::vector<std::uint8_t> bytes;
        if (file)
            bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (!file && !file.eof()) {
            SayError().as(MessageCode::Usage) << "cannot read " << a.dataFile;
            return kExitUsage;
        }
        if (bytes.size() < len) {
            SayError().as(MessageCode::Usage)
                << a.dataFile << " has " << bytes.size() << " bytes, LEN asks for " << len;
            return kExitUsage;
        }
        std::copy_n(bytes.begin(), len, data.begin());
    } else if (in && !a.dataFile.empty()) {
        SayError().as(MessageCode::Usage) << "--data is for data-out commands";
        return kExitUsage;
    }
    return kExitOk;
}

int RunRaw(CliContext &ctx, const RawArgs &a)
{
    const bool in = a.direction == "in";
    if (!in && a.direction != "out") {
        SayError().as(MessageCode::Usage) << "direction must be 'in' or 'out'";
        return kExitUsage;
    }
    const auto length = ParseNumber(a.length);
    if (!length || *length > kMaxRawLength) {
        SayError().as(MessageCode::Usage) << "LEN must be a number from 0 to " << kMaxRawLength;
        return kExitUsage;
    }
    const auto cdb = ParseHexBytes(a.cdb);
    if (!cdb || cdb->size() < 6 || cdb->size() > 16) {
        SayError().as(MessageCode::Usage) << "the CDB must be 6 to 16 hexadecimal bytes";
        return kExitUsage;
    }
    const auto len = static_cast<std::uint32_t>(*length);
    std::vector<std::uint8_t> data(len, 0);
    if (const int rc = ReadDataOut(a, in, len, data); rc != kExitOk)
        return rc;

    std::string path;
    if (!ctx.attachDevice(path))
        return kExitNoDevice;

    std::uint8_t sense[18] = {};
    std::uint32_t transferred = 0;
    const int cdbLength = static_cast<int>(cdb->size());
    int ok;
    // Exactly the command given, once: what the device answered is the point.
    const ScopedSensePolicy once(SensePolicy::SendOnce);
    if (a.sense)
        ok = in ? SendScsiInSense(path, cdb->data(), cdbLength, data.data(), len, transferred, sense,
                                  sizeof sense)
                : SendScsiOutSense(path, cdb->data(), cdbLength, data.data(), len, transferred, sense,
                                   sizeof sense);
    else
        ok = in ? SendScsiIn(path, cdb->data(), cdbLength, data.data(), len, transferred)
                : SendScsiOut(path, cdb->data(), cdbLength, data.data(), len, transferred);

    std::cout << path << " " << a.direction << " " << HexBytes(cdb->data(), cdb->size()) << ": "
              << (ok ? "ok" : "failed") << ", transferred " << transferred << " of " << len << " bytes\n";
    // Only what arrived: a failed command's count means nothing, and the
    // buffer beyond a short reply is not the device's.
    if (in && ok && transferred > 0)
        std::cout << HexDump(data.data(), transferred);
    if (a.sense && !ok)
        std::cout << "sense:\n" << HexDump(sense, sizeof sense) << SenseText(sense, sizeof sense) << "\n";
    if (!ok) {
        const TransportFailure &f = LastTransportFailure();
        // Also names a transfer larger than the host adapter takes (the SG_IO errnos for it).
        SayError().as(MessageCode::NoDevice) << DescribeSgTransportFailure();
        if (f.openFailed && f.openError == OpenError::NotFound)
            return kExitNoDevice;
        return kExitFailed;
    }
    return kExitOk;
}

} // namespace

void RegisterRawCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<RawArgs>();
    auto *raw = app.add_subcommand("raw", "Send one SCSI command, exactly once (no resend after UNIT "
                                          "ATTENTION or NOT READY), and dump the reply");
    raw->add_option("direction", args->direction, "in (data to the host) or out (data to the device)")
        ->type_name("in|out")
        ->required();
    raw->add_option("length", args->length, "Bytes in the data phase (0 for none)")
        ->type_name("N")
        ->required();
    raw->add_option("cdb", args->cdb, "CDB bytes in hexadecimal, e.g. E0 F4 E7 00 00 00 00 00 00 00 00 00")
        ->type_name("HEX")
        ->required();
    raw->add_option("--data", args->dataFile, "File with the data-out bytes")->type_name("FILE");
    raw->add_flag("--sense", args->sense, "Use the sense-returning operation and show the sense data");
    raw->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunRaw(ctx, *args); }; });
}

} // namespace brigant::cli
