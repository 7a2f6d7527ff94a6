#pragma once
// Firmware-shaped files for the image tests: a zero-filled body with header
// records placed where a layout puts them, written to a private directory.
#include "image/firmware_header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace brigant::test
{

using Bytes = std::vector<std::uint8_t>;

// A header record: signature, four tag characters, revision byte.
inline Bytes Record(const std::array<std::uint8_t, 4> &signature, const std::string &tag4,
                    std::uint8_t rev = '0')
{
    Bytes r(signature.begin(), signature.end());
    for (std::size_t i = 0; i < 4; ++i)
        r.push_back(i < tag4.size() ? static_cast<std::uint8_t>(tag4[i]) : 0);
    r.push_back(rev);
    r.push_back(0);
    return r;
}

// `size` bytes of `fill` with the given records at their offsets.
inline Bytes Image(std::size_t size, std::initializer_list<std::pair<std::size_t, Bytes>> records,
                   std::uint8_t fill = 0)
{
    Bytes image(size, fill);
    for (const auto &[offset, record] : records)
        for (std::size_t i = 0; i < record.size() && offset + i < size; ++i)
            image[offset + i] = record[i];
    return image;
}

// A directory of its own for each test, removed afterwards.
class TempDir
{
  public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "brigant-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }

    std::string write(const std::string &name, const Bytes &bytes) const
    {
        const auto file = path_ / name;
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file.string();
    }
    std::string write(const std::string &name, const std::string &text) const
    {
        return write(name, Bytes(text.begin(), text.end()));
    }

  private:
    std::filesystem::path path_;
};

} // namespace brigant::test
