#pragma once
// One SG_IO call: the header that asks for it and the reading of what the
// kernel answered. Header only, so that the privileged helper, a standalone
// program of libc and libudev, sends exactly what the direct back end sends.
#include "device/scsi_backend.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <scsi/sg.h>

namespace brigant::sgio
{

// The character-device major of the kernel's SCSI generic nodes.
inline constexpr unsigned kScsiGenericMajor = 21;

// driver_status bits and host_status values of the SCSI mid-layer.
inline constexpr unsigned kDriverSense = 0x08;   // only says that sense data came back
inline constexpr unsigned kDriverTimeout = 0x06; // low nibble
inline constexpr unsigned kDidNoConnect = 0x01;
inline constexpr unsigned kDidTimeOut = 0x03;
inline constexpr unsigned kDidBadTarget = 0x04;

enum class Phase : std::uint8_t { None, In, Out };

// The header of one command. `sense` must hold senseSize bytes; the CDB is
// only read by the kernel. A time-out too long for the kernel's milliseconds
// is cut to the longest it takes.
inline sg_io_hdr_t Header(const std::uint8_t *cdb, std::uint8_t cdbLength, Phase phase, std::uint8_t *data,
                          std::uint32_t length, std::uint8_t *sense, std::uint8_t senseSize,
                          std::uint32_t timeoutSec)
{
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.dxfer_direction = length == 0 || phase == Phase::None ? SG_DXFER_NONE
                          : phase == Phase::In                ? SG_DXFER_FROM_DEV
                                                              : SG_DXFER_TO_DEV;
    hdr.cmd_len = cdbLength;
    hdr.cmdp = const_cast<unsigned char *>(cdb);
    hdr.dxfer_len = length;
    hdr.dxferp = length ? data : nullptr;
    hdr.mx_sb_len = senseSize;
    hdr.sbp = sense;
    hdr.timeout = timeoutSec > UINT_MAX / 1000 ? UINT_MAX : timeoutSec * 1000;
    return hdr;
}

// What a completed SG_IO call (the ioctl returned 0) says about the command.
struct Result {
    // Neither the host adapter nor the driver reported an error.
    bool transportOk = false;
    // When not transportOk, the nearest errno: ENODEV for a vanished target,
    // ETIMEDOUT for a time-out, EIO otherwise.
    int sysErrno = 0;
    std::uint8_t scsiStatus = 0;
    // The requested length minus the residual, within 0..length. Only a
    // successful command's count means anything: adapters disagree about the
    // residual of a failed one.
    std::uint32_t transferred = 0;
    std::uint8_t senseLength = 0; // at most the header's mx_sb_len
};

inline Result Decode(const sg_io_hdr_t &hdr)
{
    Result r;
    r.scsiStatus = hdr.status;
    r.transportOk = hdr.host_status == 0 && (hdr.driver_status & ~kDriverSense) == 0;
    if (!r.transportOk) {
        if (hdr.host_status == kDidNoConnect || hdr.host_status == kDidBadTarget)
            r.sysErrno = ENODEV;
        else if (hdr.host_status == kDidTimeOut || (hdr.driver_status & 0x0F) == kDriverTimeout)
            r.sysErrno = ETIMEDOUT;
        else
            r.sysErrno = EIO;
    }
    const std::uint32_t length = hdr.dxfer_len;
    const std::uint32_t resid = hdr.resid < 0 ? 0 : static_cast<std::uint32_t>(hdr.resid);
    r.transferred = resid > length ? 0 : length - resid;
    r.senseLength = hdr.sb_len_wr > hdr.mx_sb_len ? hdr.mx_sb_len : hdr.sb_len_wr;
    return r;
}

// The transport's open error for the errno of a failed open.
inline OpenError OpenErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return OpenError::NotFound;
    case EACCES:
    case EPERM:
        return OpenError::PermissionDenied;
    case EBUSY:
        return OpenError::Busy;
    default:
        return OpenError::Other;
    }
}

} // namespace brigant::sgio
