#include "bench_run.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace brigant::bench
{

bool RunCommand(const std::string &command, int expectedExit)
{
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != expectedExit) {
        std::fprintf(stderr, "command failed (want exit %d): %s\n", expectedExit, command.c_str());
        return false;
    }
    return true;
}

std::optional<std::vector<TraceLine>> ReadTrace(const std::string &file)
{
    std::ifstream in(file);
    if (!in)
        return std::nullopt;
    std::vector<TraceLine> lines;
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream words(text);
        std::string path, dir, word;
        if (!(words >> path >> dir) || (dir != "in" && dir != "out"))
            return std::nullopt;
        TraceLine line;
        line.out = dir == "out";
        bool sawLength = false, sawResult = false;
        while (words >> word) {
            if (!sawLength && word.size() == 2) {
                line.cdb.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
            } else if (word.rfind("len=", 0) == 0) {
                line.length = static_cast<std::uint32_t>(std::stoul(word.substr(4)));
                sawLength = true;
            } else if (word == "ok" || word == "fail") {
                line.ok = word == "ok";
                sawResult = true;
            }
        }
        if (line.cdb.empty() || !sawLength || !sawResult)
            return std::nullopt;
        lines.push_back(std::move(line));
    }
    return lines;
}

std::optional<std::uint64_t> ReadSimulatedMs(const std::string &file)
{
    std::ifstream in(file);
    std::string text;
    std::optional<std::uint64_t> ms;
    while (std::getline(in, text)) {
        unsigned long long seconds = 0, hundredths = 0;
        if (std::sscanf(text.c_str(), "simulated time: %llu.%2llu s", &seconds, &hundredths) == 2)
            ms = seconds * 1000 + hundredths * 10;
    }
    return ms;
}

std::string ReadText(const std::string &file)
{
    std::ifstream in(file);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string Quote(const std::string &text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace brigant::bench
