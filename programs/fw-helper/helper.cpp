// brigant-fw-helper: sends SCSI commands of brigant-fw and brigant-fwtool to
// the sg node of a bridge disk, for a user who has been authorised through
// polkit (the program is started with pkexec). It reads requests on standard
// input and answers on standard output (src/device/linux/helper_protocol.h,
// docs/helper-protocol.md), one command per request.
//
// It refuses, with the reason in the reply and on standard error (which the
// journal keeps when the caller runs under systemd):
//   - a malformed request, a data length above the largest transfer the tool
//     makes, a time-out out of range;
//   - any opcode this tool does not send (the allow-list in serve.cpp);
//   - a node that disk discovery would not list: anything but the sg node of
//     a disk behind a USB mass-storage, UAS or FireWire SBP-2 bridge, checked
//     again for every request (device_sg.cpp);
//   - a bridge another program of ours holds: its bridge lock must be free
//     (the helper then holds it for the command) or held by the caller.
// Refused requests are never opened.
#include "device.h"
#include "serve.h"

#include <cstdio>
#include <unistd.h>

using namespace brigant::helper;

int main()
{
    ServeIo io;
    io.read = [](void *buffer, std::size_t size) { return ::read(0, buffer, size); };
    io.write = [](const void *buffer, std::size_t size) { return ::write(1, buffer, size); };
    io.log = stderr;
    const ServeCounts counts = Serve(io, {CheckDevice, RunOnDevice});
    std::fprintf(stderr, "brigant-fw-helper: %lu commands sent, %lu refused\n", counts.served,
                 counts.refused);
    return 0;
}
