#include "sim/spi_flash.h"

#include <algorithm>

namespace brigant::sim
{

namespace
{

constexpr std::uint8_t kWriteStatus = 0x01;
constexpr std::uint8_t kPageProgram = 0x02;
constexpr std::uint8_t kRead = 0x03;
constexpr std::uint8_t kWriteDisable = 0x04;
constexpr std::uint8_t kReadStatus = 0x05;
constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kFastRead = 0x0B;
constexpr std::uint8_t kReadId15 = 0x15;
constexpr std::uint8_t kEnableWriteStatus = 0x50;
constexpr std::uint8_t kReadMakerDevice = 0x90;
constexpr std::uint8_t kJedecId = 0x9F;
constexpr std::uint8_t kSignature = 0xAB;
constexpr std::uint8_t kAaiWordProgram = 0xAD;
constexpr std::uint8_t kAaiByteProgram = 0xAF;

constexpr std::uint8_t kFloat = 0xFF; // MISO when the part drives nothing

constexpr std::uint8_t kStatusBusy = 0x01;
constexpr std::uint8_t kStatusWel = 0x02;
constexpr std::uint8_t kStatusAai = 0x40;
constexpr std::uint8_t kStatusBit7 = 0x80;

std::uint8_t BpMax(const FlashPart &part) { return static_cast<std::uint8_t>((1u << part.bpBits) - 1); }

} // namespace

SpiFlash::SpiFlash(const FlashPart &part, const Clock &clock)
    : part_(part), clock_(clock), memory_(part.sizeBytes, 0xFF),
      statusBits_(static_cast<std::uint8_t>(part.powerUpStatus & ~(kStatusBusy | kStatusWel))),
      pageData_(part.pageSize, 0xFF), pageTouched_(part.pageSize, false)
{
}

std::vector<std::uint8_t> &SpiFlash::contents() { return memory_; }
const std::vector<std::uint8_t> &SpiFlash::contents() const { return memory_; }

bool SpiFlash::pendingDone() const
{
    return clock_.nowMs() >= pending_.startMs + pending_.durationMs &&
           pending_.readsSeen >= pending_.readsNeeded;
}

bool SpiFlash::busy() const { return stuck_ || (pending_.active && !pendingDone()); }

// The latch as it reads now: an operation that has run its time has already
// cleared it, even if nothing has touched the part since.
bool SpiFlash::welNow() const
{
    if (pending_.active && pending_.clearsWel && !busy())
        return false;
    return wel_;
}

std::uint8_t SpiFlash::status() const
{
    std::uint8_t s = statusBits_;
    if (busy())
        s |= kStatusBusy;
    if (welNow())
        s |= kStatusWel;
    if (aai_)
        s |= kStatusAai;
    return s;
}

void SpiFlash::settle()
{
    if (!pending_.active || busy())
        return;
    if (pending_.clearsWel)
        wel_ = false;
    pending_ = Pending{};
}

void SpiFlash::startOperation(std::uint32_t typicalMs, bool clearsWel)
{
    pending_.active = true;
    pending_.clearsWel = clearsWel;
    pending_.startMs = clock_.nowMs();
    pending_.durationMs = timed_ ? busyTimeOverride_.value_or(typicalMs) : 0;
    pending_.readsNeeded = busyReads_;
    pending_.readsSeen = 0;
}

std::uint32_t SpiFlash::protectedFrom() const
{
    const std::uint8_t bpMax = BpMax(part_);
    const std::uint8_t bp = (statusBits_ >> 2) & bpMax;
    if (bp == 0)
        return part_.sizeBytes;
    if (bp == bpMax)
        return 0;
    return part_.sizeBytes - (part_.sizeBytes >> (bpMax - bp));
}

bool SpiFlash::rangeProtected(std::uint32_t start, std::uint32_t length) const
{
    return length != 0 && std::uint64_t{start} + length > protectedFrom();
}

void SpiFlash::powerCycle()
{
    selected_ = false;
    count_ = 0;
    wel_ = false;
    ewsrArmed_ = false;
    aai_ = 0;
    pending_ = Pending{};
    // Parts that power up protected reload their protection bits.
    if (part_.powerUpStatus != 0)
        statusBits_ = static_cast<std::uint8_t>(part_.powerUpStatus & ~(kStatusBusy | kStatusWel));
}

bool SpiFlash::acceptedNow(std::uint8_t opcode) const
{
    if (busy())
        return opcode == kReadStatus;
    if (aai_)
        return opcode == kReadStatus || opcode == kWriteDisable ||
               (opcode == kAaiByteProgram && aai_ == kAaiByte) ||
               (opcode == kAaiWordProgram && aai_ == kAaiWord);
    switch (opcode) {
    case kWriteStatus:
    case kPageProgram:
    case kRead:
    case kWriteDisable:
    case kReadStatus:
    case kWriteEnable:
        return true;
    case kFastRead:
        return part_.fastRead;
    case kReadId15:
        return !part_.id15.empty();
    case kEnableWriteStatus:
        return part_.ewsr;
    case kReadMakerDevice:
        return !part_.rems.empty();
    case kJedecId:
        return !part_.jedec.empty();
    case kSignature:
        return part_.ab != AbAnswer::None;
    case kAaiWordProgram:
        return (part_.aai & kAaiWord) != 0;
    case kAaiByteProgram:
        return (part_.aai & kAaiByte) != 0;
    default:
        return part_.erase(opcode) != nullptr;
    }
}

std::uint32_t SpiFlash::wrap(std::uint64_t address) const
{
    return static_cast<std::uint32_t>(address % part_.sizeBytes);
}

std::uint32_t SpiFlash::address() const
{
    return wrap(std::uint32_t{header_[0]} << 16 | std::uint32_t{header_[1]} << 8 | header_[2]);
}

void SpiFlash::select()
{
    if (selected_)
        deselect();
    settle();
    selected_ = true;
    ignored_ = false;
    count_ = 0;
    anyTouched_ = false;
    std::fill(pageTouched_.begin(), pageTouched_.end(), false);
}

std::uint8_t SpiFlash::exchange(std::uint8_t mosi)
{
    if (!selected_)
        return kFloat;
    settle();
    const std::size_t i = count_++;
    if (i == 0) {
        opcode_ = mosi;
        if (aai_ && part_.aaiEndsOnOtherCommand && !busy() && mosi != kReadStatus &&
            mosi != kAaiByteProgram) {
            aai_ = 0;
            wel_ = false;
        }
        ignored_ = !acceptedNow(mosi);
        return kFloat;
    }
    if (i <= sizeof header_)
        header_[i - 1] = mosi;
    if (ignored_)
        return kFloat;

    switch (opcode_) {
    case kReadStatus: {
        const std::uint8_t s = status();
        if (pending_.active)
            ++pending_.readsSeen;
        return s;
    }
    case kRead:
    case kFastRead: {
        const std::size_t first = opcode_ == kRead ? 4 : 5; // fast read has one dummy byte
        if (i < first)
            return kFloat;
        if (i == first)
            streamAddress_ = address();
        const std::uint8_t data = memory_[streamAddress_];
        streamAddress_ = wrap(std::uint64_t{streamAddress_} + 1);
        return data;
    }
    case kJedecId:
        return i - 1 < part_.jedec.size() ? part_.jedec[i - 1] : kFloat;
    case kReadId15:
        return i - 1 < part_.id15.size() ? part_.id15[i - 1] : kFloat;
    case kSignature:
        if (part_.ab == AbAnswer::Signature)
            return i < 4 ? kFloat : part_.res[(i - 4) % part_.res.size()];
        [[fallthrough]]; // AbAnswer::ReadId
    case kReadMakerDevice: {
        if (i < 4 || part_.rems.empty())
            return kFloat;
        const std::size_t startWithDevice = header_[2] & 1;
        return part_.rems[(i - 4 + startWithDevice) % part_.rems.size()];
    }
    case kPageProgram: {
        if (i < 4)
            return kFloat;
        if (i == 4)
            streamAddress_ = address();
        const std::size_t k = i - 4;
        if (part_.pageSize == 1 && k > 0)
            return kFloat; // single-byte program: the first data byte only
        const std::size_t offset = (streamAddress_ % part_.pageSize + k) % part_.pageSize;
        pageData_[offset] = mosi; // past the page end, later bytes replace earlier ones
        pageTouched_[offset] = true;
        anyTouched_ = true;
        return kFloat;
    }
    default:
        return kFloat;
    }
}

void SpiFlash::deselect()
{
    if (!selected_)
        return;
    selected_ = false;
    settle();
    if (count_ == 0)
        return;
    if (opcode_ != kEnableWriteStatus && opcode_ != kReadStatus && opcode_ != kWriteStatus)
        ewsrArmed_ = false;
    if (!ignored_)
        complete();
    count_ = 0;
}

void SpiFlash::program(std::uint32_t address, std::uint8_t data) { memory_[address] &= data; }

void SpiFlash::complete()
{
    switch (opcode_) {
    case kWriteEnable:
        wel_ = true;
        return;
    case kWriteDisable:
        wel_ = false;
        aai_ = 0;
        return;
    case kEnableWriteStatus:
        ewsrArmed_ = true;
        return;
    case kWriteStatus: {
        const bool enabled = (wel_ && !part_.wrsrNeedsEwsr) || ewsrArmed_;
        ewsrArmed_ = false;
        if (count_ < 2 || !enabled)
            return;
        const std::uint8_t writable = static_cast<std::uint8_t>(BpMax(part_) << 2 | kStatusBit7);
        statusBits_ = static_cast<std::uint8_t>((statusBits_ & ~writable) | (header_[0] & writable));
        startOperation(part_.writeStatusMs, true);
        return;
    }
    case kPageProgram: {
        if (!wel_ || !anyTouched_)
            return;
        const std::uint32_t base = streamAddress_ - streamAddress_ % part_.pageSize;
        for (std::uint32_t off = 0; off < part_.pageSize; ++off)
            if (pageTouched_[off] && rangeProtected(base + off, 1))
                return;
        for (std::uint32_t off = 0; off < part_.pageSize; ++off)
            if (pageTouched_[off])
                program(base + off, pageData_[off]);
        startOperation(part_.pageProgramMs, true);
        return;
    }
    case kAaiByteProgram:
        aaiStep(1);
        return;
    case kAaiWordProgram:
        aaiStep(2);
        return;
    default:
        break;
    }

    const EraseOp *op = part_.erase(opcode_);
    if (!op || !wel_)
        return;
    std::uint32_t base = 0;
    std::uint32_t length = part_.sizeBytes;
    if (op->sizeBytes != 0) {
        if (count_ < 4)
            return;
        base = address() - address() % op->sizeBytes;
        length = op->sizeBytes;
        std::uint32_t start = 0;
        for (std::uint32_t sector : part_.bootSectors) {
            if (address() >= start && address() - start < sector) {
                base = start;
                length = sector;
                break;
            }
            start += sector;
        }
    }
    if (rangeProtected(base, length))
        return;
    std::fill_n(memory_.begin() + base, length, 0xFF);
    startOperation(op->typicalMs, true);
}

// One auto-address-increment command: the first carries the address, the
// following ones only data. The latch stays set for the whole sequence.
void SpiFlash::aaiStep(std::size_t width)
{
    const std::uint8_t mode = width == 2 ? kAaiWord : kAaiByte;
    std::uint32_t address = 0;
    const std::uint8_t *data = nullptr;
    if (!aai_) {
        if (!wel_ || count_ < 4 + width)
            return;
        address = this->address();
        if (width == 2)
            address &= ~1u;
        data = header_ + 3;
    } else {
        if (count_ < 1 + width)
            return;
        address = aaiAddress_;
        data = header_;
    }
    if (std::uint64_t{address} + width > part_.sizeBytes ||
        rangeProtected(address, static_cast<std::uint32_t>(width)))
        return;
    for (std::size_t k = 0; k < width; ++k)
        program(address + static_cast<std::uint32_t>(k), data[k]);
    aai_ = mode;
    aaiAddress_ = address + static_cast<std::uint32_t>(width);
    startOperation(part_.aaiStepMs, false);
}

} // namespace brigant::sim
