#pragma once
// What the window's tests on simulated bridges share: the text of a command
// trace, and the firmware file a maker would ship for a preset.
#include "sim/chip_presets.h"
#include "sim/presets.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace brigant::test
{

// The trace file's text (empty when there is none yet).
inline QByteArray TraceOf(const QString &file)
{
    QFile trace(file);
    return trace.open(QIODevice::ReadOnly) ? trace.readAll() : QByteArray();
}

// `bytes` as the file `name` in `dir`; its path.
inline std::string WriteFile(const QTemporaryDir &dir, const char *name,
                             const std::vector<std::uint8_t> &bytes)
{
    const std::string path = dir.filePath(name).toStdString();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// The firmware file of preset `spec` as `name` in `dir`; its path (empty,
// with a failure, when the preset makes none).
inline std::string WritePresetFile(const QTemporaryDir &dir, const char *name, const std::string &spec)
{
    sim::PresetSpec preset;
    sim::PresetFirmwareFile made;
    std::string error;
    if (!sim::ParsePresetSpec(spec, preset, error) || !sim::MakePresetFirmwareFile(preset, made, error)) {
        ADD_FAILURE() << spec << ": " << error;
        return {};
    }
    return WriteFile(dir, name, made.bytes);
}

} // namespace brigant::test
