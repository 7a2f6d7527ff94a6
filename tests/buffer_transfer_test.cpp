// Programming through READ BUFFER / WRITE BUFFER, against a simulated bridge
// whose firmware runs from ROM until a manufacturing firmware is downloaded.
#include "app/window_run.h"
#include "bridge/chip_commands.h"
#include "common/clock.h"
#include "device/transport.h"
#include "model/fwupdate.h"
#include "sim/buffer_firmware.h"
#include "sim/firmware_builder.h"
#include "sim/flash_parts.h"
#include "sim/simulation.h"
#include "sim_world.h"
#include "update/assisted/buffer_transfer.h"
#include "update/assisted/embedded_images.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

using namespace brigant;
using namespace brigant::sim;

namespace
{

using Bytes = std::vector<std::uint8_t>;

class BufferTransferTest : public ::testing::Test, public test::SimWorld
{
  protected:
    void SetUp() override
    {
        form.chip.ChipTypeCode = 16;
        form.chip.FlashSizeKb = 512;
        form.settings.VID = 0x1234;
        form.settings.PID = 0xABCD;
    }

    // A code-16 bridge with a 512 KiB flash holding `flash` (blank when empty).
    std::string addBridge(std::uint8_t romByte, const Bytes &flash = {}, const std::string &tag = "S6Q")
    {
        BridgeIdentity id;
        id.chipInfo = {0xF4, 0xE7, 0x3A, 0x9B, 0x01, 0x00, 0x01, 0x00};
        bridge = std::make_shared<SimBridge>(id, *FindFlashPart("MX25L4006E"), clock);
        if (!flash.empty())
            std::copy(flash.begin(), flash.end(), bridge->flash().contents().begin());
        firmware = BufferFirmware::Attach(*bridge, tag, romByte, false);
        bridge->setResetListener([this] {
            simulation.backend().detachFor(simulation.backend().pathOf(bridge.get()),
                                           Simulation::kReattachDelayMs);
        });
        return simulation.backend().attach(bridge);
    }
    Bytes flashImage() const
    {
        Bytes image(512 * 1024, 0);
        LoadUpdateImage(image.data(), 0, 0);
        return image;
    }
    std::vector<std::string> traceOf(const std::function<void()> &run)
    {
        std::FILE *sink = std::tmpfile();
        {
            InstalledServices tracing;
            tracing.commandTrace(sink);
            run();
        }
        std::rewind(sink);
        std::vector<std::string> lines;
        char line[512];
        while (std::fgets(line, sizeof line, sink))
            lines.emplace_back(line);
        std::fclose(sink);
        return lines;
    }

    test::WiredWindow &form = window;
    std::shared_ptr<SimBridge> bridge;
    std::shared_ptr<BufferFirmware> firmware;
};

} // namespace

TEST_F(BufferTransferTest, BufferCommandsRepeatOnlyWhileBecomingReady)
{
    const std::string path = addBridge(0);
    std::uint8_t descriptor[4] = {};
    // The bridge answers "becoming ready" to its first three buffer commands.
    ASSERT_EQ(ReadBufferCmd(path, 3, 0, 0, descriptor, 4, PumpMessages), 1);
    EXPECT_EQ(simulation.backend().commandCount(path), 4u);
    EXPECT_EQ(descriptor[0], 0xFF);

    simulation.backend().addFault(path, NotReadyFault(31, {0x3C}));
    const std::uint64_t before = simulation.backend().commandCount(path);
    EXPECT_EQ(ReadBufferCmd(path, 3, 0, 0, descriptor, 4, PumpMessages), 0);
    EXPECT_EQ(simulation.backend().commandCount(path) - before, 31u);

    // Any other failure is reported after one send: mode 1 is refused in ROM.
    const std::uint64_t again = simulation.backend().commandCount(path);
    std::uint8_t data[16];
    EXPECT_EQ(ReadBufferCmd(path, 1, 0, 0, data, 16, PumpMessages), 0);
    EXPECT_EQ(simulation.backend().commandCount(path) - again, 1u);
}

TEST_F(BufferTransferTest, RomBridgeGetsTheManufacturingFirmwareThenTheFlash)
{
    const std::string path = addBridge(0);
    ASSERT_TRUE(IsRom0Mode(path));
    const Bytes image = flashImage();
    ASSERT_EQ(ProgramViaBuffer(RequestFromWindow(form), host, path, 0, image.data(), 0x40000, true), 1);
    EXPECT_EQ(firmware->mode(), BufferFirmware::Mode::Manufacturing);
    const Bytes &flash = bridge->flash().contents();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x40000, flash.begin()));
    // The product block, where the firmware keeps the record, was read back
    // before programming and written again: the record, then the erased rest.
    Bytes block(4096, 0xFF);
    std::copy(firmware->productSerial().begin(), firmware->productSerial().end(), block.begin());
    EXPECT_EQ(Bytes(flash.begin() + 0x44000, flash.begin() + 0x45000), block);
    // The product serial record went out with the settings' IDs.
    ASSERT_EQ(firmware->productSerial().size(), 72u);
    EXPECT_EQ(firmware->productSerial()[0], 0x42);
    EXPECT_EQ(firmware->productSerial()[52], '0');
    EXPECT_EQ(form.StatusEdit.text().rfind("Programming Flash...", 0), 0u);

    // After a reset the bridge boots the new firmware from its flash.
    ResetChip(path);
    clock.advance(Simulation::kReattachDelayMs);
    EXPECT_EQ(firmware->mode(), BufferFirmware::Mode::Flash);
    std::uint8_t info[16];
    std::uint32_t count;
    ASSERT_EQ(ReadChipInfo(path, info, 16, count), 1);
    EXPECT_EQ(Bytes(info + 12, info + 16), Bytes(image.begin() + 25, image.begin() + 29));
}

TEST_F(BufferTransferTest, DescriptorChecksRefuseBeforeWriting)
{
    // A bridge already running firmware reports boundary 12: the download is refused.
    const Bytes image = flashImage();
    const std::string path = addBridge(0, image);
    ASSERT_EQ(firmware->mode(), BufferFirmware::Mode::Flash);
    const Bytes before = bridge->flash().contents();
    EXPECT_EQ(ProgramViaBuffer(RequestFromWindow(form), host, path, 0, image.data(), 0x40000, true), 0);
    EXPECT_EQ(form.StatusEdit.text(), "Offset Boundary error...");
    EXPECT_EQ(bridge->flash().contents(), before);

    // A bridge in ROM refuses the programming pass without download.
    const std::string rom = addBridge(1);
    EXPECT_EQ(ProgramViaBuffer(RequestFromWindow(form), host, rom, 0, image.data(), 0x40000, false), 0);
    EXPECT_EQ(form.StatusEdit.text(), "Offset Boundary error...");
}

TEST_F(BufferTransferTest, NoManufacturingImageWithoutRom0ForCodes17And18)
{
    form.chip.ChipTypeCode = 17;
    const std::string path = addBridge(0, {}, "S6R");
    const Bytes image = flashImage();
    EXPECT_EQ(ProgramViaBuffer(RequestFromWindow(form), host, path, 0, image.data(), 0x40000, true), 0);
    EXPECT_EQ(form.StatusEdit.text(), "Download to RAM...");
    EXPECT_EQ(firmware->mode(), BufferFirmware::Mode::Rom);
    EXPECT_EQ(MfgImageSelector(18, 0), 0);
    EXPECT_EQ(MfgImageSelector(18, 1), 15);
}

TEST_F(BufferTransferTest, FailedAttemptStartsAgainAtTheFirstChunk)
{
    const std::string path = addBridge(0);
    const Bytes image = flashImage();
    FaultRule fail = Fault(FaultRule::Kind::TransportError);
    fail.cdbPrefix = {0x3B, 0x0E, 0x00, 0x00, 0x30, 0x00}; // the chunk at 0x3000, once
    simulation.backend().addFault(path, fail);
    std::vector<std::string> offsets;
    const auto trace = traceOf([&] {
        EXPECT_EQ(ProgramViaBuffer(RequestFromWindow(form), host, path, 0, image.data(), 0x40000, true), 1);
    });
    for (const auto &line : trace)
        if (line.find(" out 3B 0E ") != std::string::npos)
            offsets.push_back(line.substr(line.find("3B 0E 00 ") + 9, 8));
    ASSERT_GE(offsets.size(), 6u);
    EXPECT_EQ(offsets[0], "00 00 00");
    EXPECT_EQ(offsets[3], "00 30 00");
    EXPECT_EQ(offsets[4], "00 00 00"); // the second attempt
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x40000, bridge->flash().contents().begin()));
}

TEST_F(BufferTransferTest, EmbeddedImageVerifiesAllButTheHeaderAreas)
{
    // An old firmware of the same identity runs from the flash.
    FirmwareSpec old;
    old.version = {'1', '1', '0', '0'};
    const Bytes oldImage = BuildUpdateImage(old);
    const std::string path = addBridge(0, oldImage);
    ASSERT_EQ(firmware->mode(), BufferFirmware::Mode::Flash);

    // A read-back that differs inside a header area still passes.
    FaultRule header = Fault(FaultRule::Kind::CorruptByte, 0x300);
    header.cdbPrefix = {0x3C, 0x01, 0x00, 0x00, 0x00, 0x00};
    simulation.backend().addFault(path, header);
    EXPECT_EQ(ProgramEmbeddedImage(RequestFromWindow(form), host, path), 1);
    EXPECT_FALSE(form.SetPrdSNchk.visible());

    // Anywhere else it fails.
    FaultRule code = Fault(FaultRule::Kind::CorruptByte, 0x400);
    code.cdbPrefix = {0x3C, 0x01, 0x00, 0x00, 0x00, 0x00};
    simulation.backend().addFault(path, code);
    EXPECT_EQ(ProgramEmbeddedImage(RequestFromWindow(form), host, path), 0);

    // A flash smaller than the image is not touched.
    form.chip.FlashSizeKb = 128;
    EXPECT_EQ(ProgramEmbeddedImage(RequestFromWindow(form), host, path), 0);
}

TEST_F(BufferTransferTest, ShortWriteBufferIsAFailedCommand)
{
    FirmwareSpec old;
    old.version = {'1', '1', '0', '0'};
    const std::string path = addBridge(0, BuildUpdateImage(old));
    // GOOD status, half the data of the chunk at 0x30000: the sector stays erased.
    FaultRule shortData = Fault(FaultRule::Kind::HalfData);
    shortData.cdbPrefix = {0x3B, 0x0E, 0x00, 0x03, 0x00, 0x00};
    shortData.times = -1;
    simulation.backend().addFault(path, shortData);
    EXPECT_EQ(ProgramEmbeddedImage(RequestFromWindow(form), host, path), 0);
}

TEST_F(BufferTransferTest, EmbeddedImageComparesItsSecondHalfToo)
{
    FirmwareSpec old;
    old.version = {'1', '1', '0', '0'};
    const std::string path = addBridge(0, BuildUpdateImage(old));
    // A read-back corrupted at 0x30010, beyond the first 0x20000 bytes.
    FaultRule corrupt = Fault(FaultRule::Kind::CorruptByte, 0x10);
    corrupt.cdbPrefix = {0x3C, 0x01, 0x00, 0x03, 0x00, 0x00};
    simulation.backend().addFault(path, corrupt);
    EXPECT_EQ(ProgramEmbeddedImage(RequestFromWindow(form), host, path), 0);
}

TEST(ProductSerial, RecordLayout)
{
    std::uint8_t record[72];
    BuildProductSerialRecord("SN42", record);
    EXPECT_EQ(record[0], 0x42);
    EXPECT_EQ(Bytes(record + 1, record + 52), Bytes(51, 0));
    EXPECT_EQ(std::string(record + 52, record + 72), "SN42                ");
}
