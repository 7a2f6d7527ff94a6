// brigant-fw report -o FILE.tar.gz: one file for a bug report. It holds
// what doctor, list, info and history say as JSON, a recording of each
// bridge (read-only, as record makes it; --simulate @FILE builds its twin),
// the journal's files, and the program's and the kernel's versions. Each
// part is made by this program itself, run with the same devices, so the
// bundle says what those verbs say. Serial numbers are replaced by a stable
// hash unless --no-redact.
#include "app/update_journal.h"
#include "cli/cli_context.h"
#include "cli/say.h"
#include "cli/user_text.h"
#include "cli/worker_pool.h"
#include "common/hex.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace brigant::cli
{

namespace
{

namespace fs = std::filesystem;

struct ReportArgs {
    std::string output;
    bool noRedact = false;
    bool force = false;
};

// Runs `argv` with standard input from /dev/null and its output and errors
// to the files given; its exit status, or -1 when it did not run.
int RunTo(const std::vector<std::string> &argv, const std::string &program, const fs::path &out,
          const fs::path &err)
{
    std::vector<char *> args;
    std::vector<std::string> copy = argv;
    for (std::string &a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || o < 0 || e < 0)
            ::_exit(127);
        ::dup2(in, STDIN_FILENO);
        ::dup2(o, STDOUT_FILENO);
        ::dup2(e, STDERR_FILENO);
        if (program.find('/') != std::string::npos)
            ::execv(program.c_str(), args.data());
        else
            ::execvp(program.c_str(), args.data());
        ::_exit(127);
    }
    if (pid < 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// This program's devices as this run has them: every simulated one (so that
// each keeps its sim:sgN), the one --device names, and the helper.
std::vector<std::string> DeviceArgs(const CliContext &ctx)
{
    std::vector<std::string> a = {"brigant-fw"};
    for (const std::string &spec : ctx.simulate)
        a.insert(a.end(), {"--simulate", WithoutArrival(spec)});
    if (!ctx.simState.empty())
        a.insert(a.end(), {"--sim-state", ctx.simState});
    if (!ctx.device.empty())
        a.insert(a.end(), {"--device", ctx.device});
    a.insert(a.end(), ctx.helperArgs.begin(), ctx.helperArgs.end());
    return a;
}

std::string Joined(const std::vector<std::string> &words)
{
    std::string text;
    for (const std::string &w : words)
        text += (text.empty() ? "" : " ") + w;
    return text;
}

// "serial-" and the first 16 hex digits of the serial's SHA-256: the same
// serial gives the same name in every report.
std::string HashedSerial(const std::string &serial) { return "serial-" + TextSha256(serial).substr(0, 16); }

// A serial's bytes as they may sit in binary data the archive holds in hex
// (the recording's image and answers, the journal's settings area): as
// ASCII and as UTF-16LE (a USB string descriptor), each with a stand-in of
// the same length made of its hash's hex digits, so that the data keeps its
// size and layout.
std::vector<std::pair<std::string, std::string>> HexForms(const std::string &serial)
{
    const std::string stand = TextSha256(serial + "\n").substr(0, std::min<std::size_t>(serial.size(), 64));
    std::string ascii, asciiStand, wide, wideStand;
    for (std::size_t i = 0; i < serial.size() && i < stand.size(); ++i) {
        ascii += HexBytes(reinterpret_cast<const std::uint8_t *>(&serial[i]), 1, "");
        asciiStand += HexBytes(reinterpret_cast<const std::uint8_t *>(&stand[i]), 1, "");
    }
    for (std::size_t i = 0; i < ascii.size(); i += 2) {
        wide += ascii.substr(i, 2) + "00";
        wideStand += asciiStand.substr(i, 2) + "00";
    }
    return {{ascii, asciiStand}, {wide, wideStand}};
}

bool IsHex(const std::string &text)
{
    return !text.empty() && text.size() % 2 == 0 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// Hex text with each serial's byte forms replaced at byte boundaries, in
// either case.
std::string ReplacedInHex(std::string hex, const std::vector<std::string> &serials)
{
    std::string lower = hex;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string &serial : serials)
        for (const auto &[from, to] : HexForms(serial)) {
            std::string key = from;
            for (char &c : key)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            for (std::size_t at = lower.find(key); at != std::string::npos; at = lower.find(key, at + 1))
                if (at % 2 == 0) {
                    hex.replace(at, to.size(), to);
                    lower.replace(at, to.size(), to);
                }
        }
    return hex;
}

std::string Replaced(std::string text, const std::vector<std::string> &serials)
{
    for (const std::string &serial : serials)
        for (std::size_t at = text.find(serial); at != std::string::npos; at = text.find(serial, at + 1))
            text.replace(at, serial.size(), HashedSerial(serial));
    return text;
}

// Every string value that holds a serial, with the serial hashed (the keys
// stay as they are, however short a serial is).
void RedactJson(nlohmann::json &value, const std::vector<std::string> &serials)
{
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        value = Replaced(IsHex(text) ? ReplacedInHex(text, serials) : text, serials);
    } else if (value.is_structured())
        for (auto &item : value)
            RedactJson(item, serials);
}

bool Redact(const fs::path &file, const std::vector<std::string> &serials)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    std::string text = bytes.str();
    if (file.extension() == ".json") {
        nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
        if (!doc.is_discarded()) {
            RedactJson(doc, serials);
            text = doc.dump(1) + "\n";
        } else {
            text = Replaced(text, serials);
        }
    } else {
        text = Replaced(text, serials);
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out << text) && static_cast<bool>(out.flush());
}

nlohmann::json ReadJson(const fs::path &file)
{
    std::ifstream in(file);
    return nlohmann::json::parse(in, nullptr, false);
}

std::string KernelText()
{
    utsname u{};
    if (::uname(&u) != 0)
        return "unknown";
    return std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine;
}

constexpr const char *kReadme = R"(A report of brigant-fw, made by `brigant-fw report`.

commands.txt    each command that made a part, and its exit status
versions.txt    the program's version and the kernel's
doctor.json     brigant-fw doctor --json: what stands between the tool and each disk
list.json       brigant-fw list --json
info-N.json     brigant-fw info --index N --json, for each bridge listed
record-N.json   brigant-fw record --index N: what listing and identifying the
                bridge asked and answered, and the firmware it holds;
                `brigant-fw --simulate @record-N.json info` runs its twin
history.json    brigant-fw history --json
journal/        the update journal's files
stderr.txt      what those commands said on standard error
)";

// Whether the report may be written to `output`: kExitOk, or the usage
// error after saying why not (nothing read yet).
int CheckOutput(const std::string &output, bool force)
{
    std::error_code ec;
    if (fs::exists(output, ec) && !force) {
        SayError().as(MessageCode::Usage).with("file", output)
            << output << " exists: give another name, or --force to write over it; nothing was read";
        return kExitUsage;
    }
    const fs::path parent = fs::absolute(output, ec).parent_path();
    if (!fs::is_directory(parent, ec)) {
        SayError().as(MessageCode::Usage).with("file", output)
            << output << ": the folder " << parent.string() << " does not exist; nothing was read";
        return kExitUsage;
    }
    return kExitOk;
}

// The folder a report is gathered in, and the parts run into it.
struct Bundle {
    Bundle(const CliContext &context, const fs::path &folderPath)
        : ctx(context), dir(folderPath), errors(folderPath / "stderr.txt"),
          commands(folderPath / "commands.txt"), folder(folderPath.string() + "/")
    {
    }

    // The bundle names its files without the folder it was made in.
    std::string withoutFolder(std::string text) const
    {
        for (std::size_t at = text.find(folder); at != std::string::npos; at = text.find(folder, at))
            text.erase(at, folder.size());
        return text;
    }

    // Each part: this program with the run's devices and `verb`.
    int part(const std::vector<std::string> &verb, const std::string &file, const char *what)
    {
        std::vector<std::string> argv = DeviceArgs(ctx);
        argv.insert(argv.end(), verb.begin(), verb.end());
        if (!ctx.quiet)
            std::cerr << "report: " << what << "\n";
        const std::string line = withoutFolder(Joined(argv));
        std::ofstream(errors, std::ios::app) << "== " << line << "\n";
        const int rc = RunTo(argv, "/proc/self/exe", dir / file, errors);
        commands << line << " > " << file << "  (exit " << rc << ")\n";
        return rc;
    }

    const CliContext &ctx;
    const fs::path dir;
    const fs::path errors;  // what the parts said on standard error
    std::ofstream commands; // each part's command and its exit status
    const std::string folder;
};

// info and a recording of each bridge `list` names, but those another
// program of ours works on; `serials` gets the serial numbers listed.
// Returns how many bridges were asked.
int AskEachBridge(Bundle &bundle, const nlohmann::json &list, std::vector<std::string> &serials)
{
    std::error_code ec;
    int bridges = 0;
    if (list.is_object() && list.contains("devices"))
        for (const nlohmann::json &d : list["devices"]) {
            if (d.value("serial", nlohmann::json()).is_string())
                serials.push_back(d["serial"].get<std::string>());
            if (!d.value("busy", nlohmann::json()).is_null())
                continue; // another program of ours works on it: asked nothing
            const std::string n = std::to_string(d.value("index", 0));
            bundle.part({"info", "--index", n, "--json"}, "info-" + n + ".json",
                        ("info of bridge " + n).c_str());
            // The recording is written by record itself (its standard output
            // carries nothing then).
            bundle.part({"record", "--index", n, "-o", (bundle.dir / ("record-" + n + ".json")).string()},
                        "record-" + n + ".out", ("recording bridge " + n + " (its flash is read)").c_str());
            fs::remove(bundle.dir / ("record-" + n + ".out"), ec);
            ++bridges;
        }
    return bridges;
}

// The update journal's files, copied into the bundle.
void CopyJournal(const fs::path &dir)
{
    std::error_code ec;
    if (!fs::is_directory(JournalDirectory(), ec))
        return;
    fs::create_directory(dir / "journal", ec);
    for (const fs::directory_entry &e : fs::directory_iterator(JournalDirectory(), ec))
        if (e.is_regular_file(ec))
            fs::copy_file(e.path(), dir / "journal" / e.path().filename(), ec);
}

// The program's version and the kernel's.
void WriteVersions(Bundle &bundle)
{
    std::error_code ec;
    std::ofstream versions(bundle.dir / "versions.txt");
    bundle.part({"--version"}, "version.out", "versions");
    std::ifstream version(bundle.dir / "version.out");
    versions << version.rdbuf() << "kernel: " << KernelText() << "\n";
    fs::remove(bundle.dir / "version.out", ec);
}

// Every part of the bundle, with its list of commands, its README and what
// the parts said; `serials` gets the serial numbers listed. Returns how many
// bridges were asked.
int GatherParts(Bundle &bundle, std::vector<std::string> &serials)
{
    bundle.part({"doctor", "--json"}, "doctor.json", "doctor");
    bundle.part({"list", "--json"}, "list.json", "list");
    const int bridges = AskEachBridge(bundle, ReadJson(bundle.dir / "list.json"), serials);
    bundle.part({"history", "--json"}, "history.json", "history");
    CopyJournal(bundle.dir);
    WriteVersions(bundle);
    bundle.commands.close();
    std::ofstream(bundle.dir / "README.txt") << kReadme;
    {
        // What the parts said (record names its file with the folder).
        std::ifstream in(bundle.errors);
        std::stringstream said;
        said << in.rdbuf();
        std::ofstream(bundle.errors, std::ios::trunc) << bundle.withoutFolder(said.str());
    }
    return bridges;
}

// The bundle's folder under `work` packed into `output`: made beside its
// name, it takes the name once whole. kExitOk, or kExitFailed after saying why.
int WriteArchive(const std::string &output, const fs::path &work, const fs::path &errors)
{
    std::error_code ec;
    const std::string partial = output + ".part";
    const int rc =
        RunTo({"tar", "-czf", fs::absolute(partial, ec).string(), "-C", work.string(), "brigant-report"},
              "tar", "/dev/null", errors);
    if (rc != 0 || !fs::exists(partial, ec)) {
        fs::remove(partial, ec);
        std::ifstream said(errors);
        std::string last, line;
        while (std::getline(said, line))
            last = line;
        SayError().as(MessageCode::Failed).with("file", output)
            << "cannot write " << output << ": tar " << (rc < 0 ? "did not run" : "failed: " + last);
        return kExitFailed;
    }
    fs::rename(partial, output, ec);
    if (ec) {
        fs::remove(partial, ec);
        SayError().as(MessageCode::Failed).with("file", output) << "cannot write " << output;
        return kExitFailed;
    }
    return kExitOk;
}

int RunReport(CliContext &ctx, const ReportArgs &a)
{
    const std::string &output = a.output;
    if (const int rc = CheckOutput(output, a.force); rc != kExitOk)
        return rc;
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/brigant-report.XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        SayError().as(MessageCode::Failed) << "cannot make a temporary folder: " << std::strerror(errno);
        return kExitFailed;
    }
    const fs::path work = pattern;
    struct Cleanup {
        fs::path dir;
        ~Cleanup()
        {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } cleanup{work};
    const fs::path dir = work / "brigant-report";
    std::error_code ec;
    fs::create_directory(dir, ec);
    Bundle bundle(ctx, dir);
    std::vector<std::string> serials;
    const int bridges = GatherParts(bundle, serials);

    if (!a.noRedact && !serials.empty())
        for (const fs::directory_entry &e : fs::recursive_directory_iterator(dir, ec))
            if (e.is_regular_file(ec) && !Redact(e.path(), serials)) {
                SayError().as(MessageCode::Failed) << "cannot redact " << e.path().string();
                return kExitFailed;
            }
    if (const int rc = WriteArchive(output, work, bundle.errors); rc != kExitOk)
        return rc;
    std::cout << "report: " << output
              << " holds doctor, list, history and the journal, and info and a recording of " << bridges
              << (bridges == 1 ? " bridge" : " bridges")
              << (a.noRedact        ? ""
                  : serials.empty() ? ""
                                    : "; serial numbers are hashed")
              << "\n"
              << "Attach it to your bug report.\n";
    return kExitOk;
}

} // namespace

void RegisterReportCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<ReportArgs>();
    CLI::App *cmd = app.add_subcommand(
        "report", "Bundle doctor, list, info, history, the journal and a recording of each bridge in one "
                  "FILE.tar.gz for a bug report (read-only; serial numbers hashed)");
    cmd->add_option("-o,--output", args->output, "The archive to write (FILE.tar.gz)")
        ->type_name("FILE")
        ->required();
    cmd->add_flag("--no-redact", args->noRedact, "Keep the serial numbers as they are");
    cmd->add_flag("--force", args->force, "Write over FILE if it exists");
    cmd->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunReport(ctx, *args); }; });
}

} // namespace brigant::cli
