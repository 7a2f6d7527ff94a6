// Dual-bank firmware recovery on the simulated bridge: real bank
// images in the simulated flash, read and repaired through the chunked
// transfer routines.
#include "identify/bank_recovery.h"

#include "identify/flash_identify.h"
#include "image/bank_image.h"
#include "image/firmware_header.h"
#include "image/model_tags.h"
#include "model/fwupdate.h"
#include "sim_flash_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace brigant;
using namespace brigant::test;

namespace
{

// A valid 64 KiB bank for the code: code bytes, the header record with the
// code's model tag at E - 16 and the 16-bit image checksum at E - 2.
Bytes ValidBank(unsigned code, std::uint8_t seed)
{
    const std::size_t end = BankImageEnd(code);
    Bytes bank = Pattern(kBankSize, seed);
    std::copy(kHeaderSignature.begin(), kHeaderSignature.end(), bank.begin() + static_cast<long>(end - 16));
    std::memcpy(bank.data() + end - 12, ModelTagOf(code), 3);
    bank[end - 9] = '1';
    bank[end - 8] = 0x01;
    const std::uint16_t sum = BankImageChecksum(bank, end);
    bank[end - 2] = static_cast<std::uint8_t>(sum >> 8);
    bank[end - 1] = static_cast<std::uint8_t>(sum);
    return bank;
}

Bytes Damaged(Bytes bank)
{
    bank[0x1234] ^= 0x5A; // inside the checksummed code area
    return bank;
}

class BankRecoveryTest : public SimFlashTest
{
  protected:
    void setUpChip(const std::string &part, std::int32_t kind, std::uint8_t code = 13,
                   std::int32_t sizeKb = 512)
    {
        attach(part);
        window.devices[0].path = path;
        window.devices[0].bankCheckDone = 0;
        window.candidateCount = 1;
        window.chip.ChipTypeCode = code;
        window.chip.FlashKind = kind;
        window.chip.FlashSizeKb = sizeKb;
        SetFlashGeometry(window.transfer, kind);
        window.UpdateBtn.setEnabled(true);
        window.UpdateBtn.addObserver([this](forms::Control &c) { updateBtnStates.push_back(c.enabled()); });
    }
    void putBank(std::uint32_t at, const Bytes &bank)
    {
        std::copy(bank.begin(), bank.end(), flash().begin() + at);
    }
    Bytes bankAt(std::uint32_t at) { return Bytes(flash().begin() + at, flash().begin() + at + kBankSize); }
    std::uint8_t code() const { return window.chip.ChipTypeCode; }

    std::vector<bool> updateBtnStates;
};

} // namespace

TEST(BankImages, TheTestImagesAreValidForTheirCode)
{
    EXPECT_TRUE(CheckBankImage(ValidBank(13, 1), 13));
    EXPECT_TRUE(CheckBankImage(ValidBank(27, 1), 27));
    EXPECT_FALSE(CheckBankImage(Damaged(ValidBank(13, 1)), 13));
    EXPECT_FALSE(CheckBankImage(ValidBank(13, 1), 27));
}

TEST_F(BankRecoveryTest, A64KiBFlashIsNeverExamined)
{
    setUpChip("A25L05PT", 7, 13, 64);
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        1);
    window.chip.FlashSizeKb = 127;
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        1);
    EXPECT_TRUE(recorder.commands.empty());
    EXPECT_EQ(window.devices[0].bankCheckDone, 0);
    EXPECT_TRUE(updateBtnStates.empty()); // UpdateBtn never touched
}

TEST_F(BankRecoveryTest, OnlyCodes13And27AndOnlyOncePerDevice)
{
    setUpChip("MX25L4006E", 5);
    putBank(0, Damaged(ValidBank(13, 1)));
    putBank(0x10000, ValidBank(13, 2));
    for (std::uint8_t other : {12, 14, 15, 18, 26, 28, 0})
        EXPECT_EQ(RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect,
                                      path, other),
                  1)
            << int(other);
    window.devices[0].bankCheckDone = 1;
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        1);
    EXPECT_TRUE(recorder.commands.empty());
    EXPECT_EQ(window.devices[0].bankCheckDone, 1);
}

TEST_F(BankRecoveryTest, BothBanksValidAreReadOnceAndNothingIsWritten)
{
    setUpChip("MX25L4006E", 5);
    const Bytes bank0 = ValidBank(13, 1), bank1 = ValidBank(13, 2);
    putBank(0, bank0);
    putBank(0x10000, bank1);
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        0);
    EXPECT_EQ(window.devices[0].bankCheckDone, 1);
    EXPECT_TRUE(writes().empty());
    const auto r = reads();
    ASSERT_EQ(r.size(), 16u); // two banks of 8 chunks
    EXPECT_EQ(r.front().address, 0u);
    EXPECT_EQ(r[8].address, 0x10000u);
    EXPECT_EQ(window.StatusEdit.text(), ""); // no message
    EXPECT_EQ(bankAt(0), bank0);
    EXPECT_EQ(bankAt(0x10000), bank1);
    EXPECT_EQ(updateBtnStates, (std::vector<bool>{false, true}));
    EXPECT_TRUE(window.UpdateBtn.enabled());
}

TEST_F(BankRecoveryTest, DamagedBank0IsCopiedFromBank1AndVerified)
{
    setUpChip("MX25L4006E", 5);
    const Bytes bank1 = ValidBank(13, 2);
    putBank(0, Damaged(ValidBank(13, 1)));
    putBank(0x10000, bank1);
    std::vector<std::string> status;
    window.StatusEdit.addObserver([&](forms::Control &) { status.push_back(window.StatusEdit.text()); });

    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        1);
    EXPECT_EQ(bankAt(0), bank1);
    EXPECT_EQ(bankAt(0x10000), bank1);
    EXPECT_EQ(window.StatusEdit.text(), "FW Recovery successful!!");
    EXPECT_EQ(window.devices[0].bankCheckDone, 1);

    // Mode 2 on an MXIC part: the first chunk at 0 carries 0x82, the block is
    // erased once, the chunks end at 0x10000.
    const auto w = writes();
    ASSERT_EQ(w.size(), 9u);
    EXPECT_EQ(w[0].address, 0u);
    EXPECT_EQ(w[0].length, 0x1000u);
    EXPECT_EQ(w[0].mode, 0x82);
    for (std::size_t i = 1; i < w.size(); ++i)
        EXPECT_EQ(w[i].mode, 0) << i;
    EXPECT_EQ(w.back().address + w.back().length, 0x10000u);
    // Read bank 0, bank 1, then bank 0 again to verify.
    const auto r = reads();
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(r[16].address, 0u);
    // The status line: read progress, cleared after each read, the message last.
    EXPECT_EQ(status.front(), "ReadFlash...");
    EXPECT_EQ(std::count(status.begin(), status.end(), std::string()), 3);
    EXPECT_EQ(status.back(), "FW Recovery successful!!");
    EXPECT_EQ(updateBtnStates, (std::vector<bool>{false, true}));

    // Selecting the device again does nothing until the next discovery.
    recorder.commands.clear();
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        1);
    EXPECT_TRUE(recorder.commands.empty());
}

TEST_F(BankRecoveryTest, DamagedBank1IsCopiedFromBank0)
{
    setUpChip("W25X40", 6, 27);
    const Bytes bank0 = ValidBank(27, 3);
    putBank(0, bank0);
    // Bank 1 left erased (0xFF): no signature record.
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 27),
        1);
    EXPECT_EQ(bankAt(0x10000), bank0);
    EXPECT_EQ(bankAt(0), bank0);
    const auto w = writes();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w[0].address, 0x10000u);
    EXPECT_EQ(w[0].length, 0x2000u);
    EXPECT_EQ(w[0].mode, 2);
    EXPECT_EQ(window.transfer.NextBlockIndex, 2u);
    EXPECT_EQ(window.StatusEdit.text(), "FW Recovery successful!!");
}

TEST_F(BankRecoveryTest, BothBanksDamagedWritesNothing)
{
    setUpChip("MX25L4006E", 5);
    putBank(0, Damaged(ValidBank(13, 1)));
    putBank(0x10000, Damaged(ValidBank(13, 2)));
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        0);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(window.devices[0].bankCheckDone, 1);
    EXPECT_EQ(window.StatusEdit.text(), "");
}

TEST_F(BankRecoveryTest, AFailedReadLeavesTheMarkUnsetSoTheNextSelectionTriesAgain)
{
    setUpChip("MX25L4006E", 5);
    putBank(0, Damaged(ValidBank(13, 1)));
    putBank(0x10000, ValidBank(13, 2));
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::TransportError);
    r.cdbPrefix = {0xDF, 0x10, 0x00, 0x20, 0x00, 0x00,
                   0x00, 0x00, 0x01, 0x00, 0x00, 0xFA}; // first chunk of bank 1
    fault(r);
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        0);
    EXPECT_EQ(window.devices[0].bankCheckDone, 0);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(window.StatusEdit.text(), "");
    EXPECT_TRUE(window.UpdateBtn.enabled());

    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        1); // the fault was one-shot
    EXPECT_EQ(window.devices[0].bankCheckDone, 1);
    EXPECT_TRUE(CheckBankImage(bankAt(0), 13));
}

TEST_F(BankRecoveryTest, AFailedFirstAttemptIsRetriedWithSectorErase)
{
    setUpChip("MX25L4006E", 5);
    const Bytes bank1 = ValidBank(13, 2);
    putBank(0, Damaged(ValidBank(13, 1)));
    putBank(0x10000, bank1);
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::TransportError);
    r.cdbPrefix = {0xDF, 0x82}; // the first chunk of the mode-2 attempt
    fault(r);
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        1);
    EXPECT_EQ(bankAt(0), bank1);
    EXPECT_EQ(window.StatusEdit.text(), "FW Recovery successful!!");
    const auto w = writes();
    ASSERT_EQ(w.size(), 1u + 16u); // the failed chunk, then 16 sector chunks
    EXPECT_EQ(w[1].address, 0u);
    EXPECT_EQ(w[1].mode, 0x81);
    for (std::size_t i = 2; i < w.size(); ++i) {
        EXPECT_EQ(w[i].mode, 1) << i;
        EXPECT_EQ(w[i].length, 0x1000u) << i;
    }
}

TEST_F(BankRecoveryTest, AMismatchOnVerifyIsRetried)
{
    setUpChip("MX25L4006E", 5);
    const Bytes bank1 = ValidBank(13, 2);
    putBank(0, Damaged(ValidBank(13, 1)));
    putBank(0x10000, bank1);
    // The first chunk read at 0 comes back with byte 0 inverted twice: in the
    // check of bank 0 (damaged anyway) and in the first verify.
    sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::CorruptByte, 0);
    r.cdbPrefix = {0xDF, 0x10, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFA};
    r.times = 2;
    fault(r);
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        1);
    EXPECT_EQ(bankAt(0), bank1);
    const auto w = writes();
    ASSERT_EQ(w.size(), 9u + 16u); // mode 2, then mode 1
    EXPECT_EQ(w[9].mode, 0x81);
    EXPECT_EQ(reads().size(), 32u);
}

TEST_F(BankRecoveryTest, TwoFailedAttemptsReportFailure)
{
    setUpChip("MX25L4006E", 5);
    const Bytes damaged = Damaged(ValidBank(13, 1));
    putBank(0, damaged);
    putBank(0x10000, ValidBank(13, 2));
    for (std::uint8_t mode : {0x82, 0x81}) {
        sim::FaultRule r = sim::Fault(sim::FaultRule::Kind::CheckCondition);
        r.key = 0x04;
        r.cdbPrefix = {0xDF, mode};
        fault(r);
    }
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        0);
    EXPECT_EQ(window.StatusEdit.text(), "FW Recovery Fail!!");
    EXPECT_EQ(bankAt(0), damaged);
    EXPECT_EQ(writes().size(), 2u);
    EXPECT_EQ(window.devices[0].bankCheckDone, 1);
    EXPECT_EQ(updateBtnStates, (std::vector<bool>{false, true}));
}

TEST_F(BankRecoveryTest, UpdateBtnKeepsADisabledState)
{
    setUpChip("MX25L4006E", 5);
    window.UpdateBtn.setEnabled(false);
    putBank(0, Damaged(ValidBank(13, 1)));
    putBank(0x10000, ValidBank(13, 2));
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        1);
    EXPECT_FALSE(window.UpdateBtn.enabled());
}

TEST_F(BankRecoveryTest, TheSelectedEntrysMarkIsUsed)
{
    setUpChip("MX25L4006E", 5);
    putBank(0, ValidBank(13, 1));
    putBank(0x10000, ValidBank(13, 2));
    window.DeviceList.addItem("first");
    window.DeviceList.addItem("second");
    window.DeviceList.setItemIndex(1);
    window.devices[1].path = path;
    EXPECT_EQ(
        RecoverFirmwareBank(host, window.chip, window.selectedEntry(), window.repairBankOnSelect, path, 13),
        0);
    EXPECT_EQ(window.devices[1].bankCheckDone, 1);
    EXPECT_EQ(window.devices[0].bankCheckDone, 0);
}
