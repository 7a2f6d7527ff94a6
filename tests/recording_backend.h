#pragma once
// A transport back end for tests: records every command exactly as the
// transport handed it over and answers with a scripted outcome.
#include "device/scsi_backend.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace brigant::test
{

struct RecordedCommand {
    std::string path;
    std::vector<std::uint8_t> cdb;
    DataDirection direction = DataDirection::In;
    bool hadBuffer = false;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> dataOut; // what a data-out command carried
    std::uint32_t timeoutSec = 0;
    bool exclusive = false;
    std::uint8_t senseCapacity = 0;

    // The command exactly as the transport handed it to the back end.
    static RecordedCommand Of(const std::string &path, const ScsiCommand &cmd)
    {
        RecordedCommand rec;
        rec.path = path;
        rec.cdb.assign(cmd.cdb, cmd.cdb + cmd.cdbLength);
        rec.direction = cmd.direction;
        rec.hadBuffer = cmd.data != nullptr;
        rec.length = cmd.length;
        if (cmd.direction == DataDirection::Out && cmd.data)
            rec.dataOut.assign(cmd.data, cmd.data + cmd.length);
        rec.timeoutSec = cmd.timeoutSec;
        rec.exclusive = cmd.exclusive;
        rec.senseCapacity = cmd.senseCapacity;
        return rec;
    }
};

struct ScriptedReply {
    bool openFails = false;
    OpenError openError = OpenError::NotFound;
    bool transportOk = true;
    int sysErrno = 0;
    std::uint8_t status = 0;
    std::vector<std::uint8_t> dataIn; // delivered into the data buffer (up to its length)
    std::int64_t transferred = -1;    // -1: the bytes of dataIn that fit (or the length for out)
    std::vector<std::uint8_t> sense;
};

// Reply().status(2).sense({...}) and so on: builds a ScriptedReply field by field.
struct Reply : ScriptedReply {
    Reply &openFails(OpenError e)
    {
        ScriptedReply::openFails = true;
        openError = e;
        return *this;
    }
    Reply &transportFails(int err)
    {
        transportOk = false;
        sysErrno = err;
        return *this;
    }
    Reply &errnoValue(int err)
    {
        sysErrno = err;
        return *this;
    }
    Reply &status(std::uint8_t s)
    {
        ScriptedReply::status = s;
        return *this;
    }
    Reply &data(std::vector<std::uint8_t> d)
    {
        dataIn = std::move(d);
        return *this;
    }
    Reply &count(std::int64_t n)
    {
        transferred = n;
        return *this;
    }
    Reply &withSense(std::vector<std::uint8_t> s)
    {
        sense = std::move(s);
        return *this;
    }
};

class RecordingBackend : public ScsiBackend
{
  public:
    std::vector<RecordedCommand> commands;
    // Decides the reply of each command; by default every command succeeds without data.
    std::function<ScriptedReply(const RecordedCommand &)> script = [](const RecordedCommand &) {
        return ScriptedReply{};
    };

    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override
    {
        RecordedCommand rec = RecordedCommand::Of(path, cmd);
        commands.push_back(rec);

        const ScriptedReply r = script(rec);
        ScsiOutcome o;
        if (r.openFails) {
            o.openError = r.openError;
            return o;
        }
        o.opened = true;
        o.transportOk = r.transportOk;
        o.sysErrno = r.sysErrno;
        o.scsiStatus = r.status;
        std::uint32_t n = 0;
        if (cmd.direction == DataDirection::In && cmd.data) {
            n = static_cast<std::uint32_t>(std::min<std::size_t>(r.dataIn.size(), cmd.length));
            if (n)
                std::memcpy(cmd.data, r.dataIn.data(), n);
        } else if (cmd.direction == DataDirection::Out) {
            n = cmd.length;
        }
        o.transferred = r.transferred >= 0 ? static_cast<std::uint32_t>(r.transferred) : n;
        if (cmd.sense && !r.sense.empty()) {
            const std::size_t k = std::min<std::size_t>(r.sense.size(), cmd.senseCapacity);
            std::memcpy(cmd.sense, r.sense.data(), k);
            o.senseLength = static_cast<std::uint8_t>(k);
        }
        return o;
    }
};

} // namespace brigant::test
