// Micro-benchmarks (Google Benchmark): the CDB builder, the two image
// checksums and the simulator's SPI flash model.
//
//   brigant-micro-bench [--benchmark_filter=REGEX] [--benchmark_repetitions=N] ...
#include "bridge/cdb.h"
#include "common/clock.h"
#include "image/checksums.h"
#include "sim/flash_parts.h"
#include "sim/spi_flash.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

using namespace brigant;

namespace
{

// --- CDB builder: the shapes the command routines build most.

void CdbReadBlock24(benchmark::State &state)
{
    std::uint32_t address = 0;
    for (auto _ : state) {
        // DF 10 L2 L1 L0 00 00 00 A2 A1 A0 FA
        Cdb cdb(0xDF);
        cdb.put8(1, 0x10).put24(2, 8192).put24(8, address).put8(11, 0xFA);
        benchmark::DoNotOptimize(cdb);
        address += 8192;
    }
}
BENCHMARK(CdbReadBlock24);

void CdbReadFlash(benchmark::State &state)
{
    std::uint32_t address = 0;
    for (auto _ : state) {
        // FF 04 10 A2 A1 A0 00 00 00 00 00 00
        Cdb cdb(0xFF);
        cdb.put8(1, 0x04).put8(2, 0x10).put24(3, address);
        benchmark::DoNotOptimize(cdb);
        address += 4096;
    }
}
BENCHMARK(CdbReadFlash);

void CdbSpiCommand(benchmark::State &state)
{
    for (auto _ : state) {
        // FF 04 20 01 01 9F 00 ...: one byte clocked out, transaction held
        Cdb cdb(0xFF);
        cdb.put8(1, 0x04).put8(2, 0x20).put8(3, 0x01).put8(4, 0x01).put8(5, 0x9F);
        benchmark::DoNotOptimize(cdb);
    }
}
BENCHMARK(CdbSpiCommand);

void CdbAtaPassThrough16(benchmark::State &state)
{
    std::uint64_t lba = 0xE8E00000;
    for (auto _ : state) {
        // 16-byte ATA PASS-THROUGH, WRITE DMA EXT of 8 sectors: the 48-bit
        // LBA spread over bytes 7-12 as the extended registers go
        auto byte = [lba](int shift) { return static_cast<std::uint8_t>(lba >> shift); };
        Cdb cdb(0x85, 16);
        cdb.put8(1, 0x0D).put8(2, 0x06).put16(5, 8).put8(7, byte(24)).put8(8, byte(0)).put8(9, byte(32));
        cdb.put8(10, byte(8)).put8(11, byte(40)).put8(12, byte(16)).put8(13, 0x60).put8(14, 0x35);
        benchmark::DoNotOptimize(cdb);
        lba += 8;
    }
}
BENCHMARK(CdbAtaPassThrough16);

// --- Checksums, over the sizes the tool checks: the code area of a 64 KiB
// bank (16-bit) and a 1020-byte header block (32-bit), and 64 KiB of each
// for a throughput comparison.

std::vector<std::uint8_t> Pattern(std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 0x12345678;
    for (auto &b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

void Crc16(benchmark::State &state)
{
    const auto bytes = Pattern(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(ImageCrc16(bytes.data(), bytes.size(), 0));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Crc16)->Arg(0x10000 - 4)->Arg(1020);

void Crc32(benchmark::State &state)
{
    const auto bytes = Pattern(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(ImageCrc32(bytes.data(), bytes.size()));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Crc32)->Arg(1020)->Arg(0x10000);

// --- The simulator's flash model: one SPI transaction per operation on an
// MX25L4006E (256-byte pages, 4 KiB sectors, 64 KiB blocks), its busy time
// switched off so that every operation ends at once.

struct Flash {
    Flash() : flash(*sim::FindFlashPart("MX25L4006E"), clock) { flash.setTimedBusy(false); }
    void command(std::initializer_list<std::uint8_t> bytes)
    {
        flash.select();
        for (std::uint8_t b : bytes)
            flash.exchange(b);
    }
    void writeEnable()
    {
        command({0x06});
        flash.deselect();
    }
    VirtualClock clock;
    sim::SpiFlash flash;
};

void FlashProgramPage(benchmark::State &state)
{
    Flash f;
    const auto data = Pattern(256);
    std::uint32_t address = 0;
    for (auto _ : state) {
        f.writeEnable();
        f.command(
            {0x02, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8), 0});
        for (std::uint8_t b : data)
            f.flash.exchange(b);
        f.flash.deselect();
        address = (address + 256) % f.flash.part().sizeBytes;
    }
    // Programmed over and over with the same bytes, the first page holds them.
    if (!std::equal(data.begin(), data.end(), f.flash.contents().begin()))
        state.SkipWithError("the page was not programmed");
    state.SetBytesProcessed(state.iterations() * 256);
}
BENCHMARK(FlashProgramPage);

void FlashErase(benchmark::State &state)
{
    Flash f;
    const auto opcode = static_cast<std::uint8_t>(state.range(0));
    const std::uint32_t size = opcode == 0x20 ? 4096 : 0x10000;
    std::uint32_t address = 0;
    for (auto _ : state) {
        f.writeEnable();
        f.command(
            {opcode, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8), 0});
        f.flash.deselect();
        address = (address + size) % f.flash.part().sizeBytes;
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(FlashErase)->ArgName("opcode")->Arg(0x20)->Arg(0xD8);

void FlashRead(benchmark::State &state)
{
    Flash f;
    const auto size = static_cast<std::uint32_t>(state.range(0));
    std::uint32_t address = 0;
    std::uint8_t sum = 0;
    for (auto _ : state) {
        f.command(
            {0x03, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8), 0});
        for (std::uint32_t i = 0; i < size; ++i)
            sum = static_cast<std::uint8_t>(sum + f.flash.exchange(0));
        f.flash.deselect();
        address = (address + size) % f.flash.part().sizeBytes;
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(FlashRead)->Arg(256)->Arg(0x10000);

} // namespace

BENCHMARK_MAIN();
