#pragma once
// Every message the program says to its user goes through Say: one line,
// "error: ", "warning: " or "note: " and the text, on the stream given
// (standard error unless a note belongs with the output), and as a typed
// message (severity, code, text, the values it names) to the innermost
// MessageLog alive, from which a JSON report or a rehearsal takes them.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace brigant::cli
{

enum class Severity : std::uint8_t { Error, Warning, Note };

// What a message is about, for a script: the JSON's "code".
enum class MessageCode : std::uint8_t {
    General,      // nothing more particular
    Usage,        // the command line or a file given cannot be used: nothing was sent
    Refused,      // the plan or a guard refuses the write: nothing was written
    NoDevice,     // no bridge, or not the one asked for
    NotSupported, // the bridge is not one the tool updates
    NothingToDo,  // the bridge holds what was asked already
    Failed,       // a command, a read or a check failed
    Busy,         // another program works on the bridge
    Unfinished,   // a write the journal keeps open (cut, not verified)
    Journal,      // the update journal could not be read or written
    Access,       // the device or the lock could not be opened as needed
    Procedure,    // said by the procedure while it ran
    Stopped,      // an interrupt stopped the run
};
// "general", "usage", "refused", ...: the JSON's words.
const char *MessageCodeName(MessageCode code);

struct Message {
    Severity severity = Severity::Error;
    std::string text;
    MessageCode code = MessageCode::General;
    nlohmann::json fields = nlohmann::json::object(); // the values the text names (device, file, ...)
};

// "error", "warning", "information": the severities of a JSON report.
const char *SeverityName(Severity severity);

// Prints "<prefix>: TEXT" and a line end on `to`, and logs the message.
void Say(Severity severity, const std::string &text, std::ostream &to = std::cerr,
         MessageCode code = MessageCode::General, nlohmann::json fields = nlohmann::json::object());

// Say with the text built as on a stream: `SayError() << path << ": gone";`
// is said at the end of the statement.
class Saying
{
  public:
    Saying(Severity severity, std::ostream &to) : severity_(severity), to_(to) {}
    Saying(Severity severity, std::ostream &to, MessageCode code, nlohmann::json fields)
        : severity_(severity), to_(to), code_(code), fields_(std::move(fields))
    {
    }
    ~Saying() { Say(severity_, text_.str(), to_, code_, std::move(fields_)); }
    Saying(const Saying &) = delete;
    Saying &operator=(const Saying &) = delete;

    // `SayError().as(MessageCode::Usage).with("file", file) << ...`
    Saying &as(MessageCode code)
    {
        code_ = code;
        return *this;
    }
    Saying &with(const std::string &key, nlohmann::json value)
    {
        fields_[key] = std::move(value);
        return *this;
    }

    template <typename T> Saying &operator<<(const T &value)
    {
        text_ << value;
        return *this;
    }

  private:
    Severity severity_;
    std::ostream &to_;
    std::ostringstream text_;
    MessageCode code_ = MessageCode::General;
    nlohmann::json fields_ = nlohmann::json::object();
};

inline Saying SayError(std::ostream &to = std::cerr) { return {Severity::Error, to}; }
inline Saying SayWarning(std::ostream &to = std::cerr) { return {Severity::Warning, to}; }
inline Saying SayNote(std::ostream &to = std::cerr) { return {Severity::Note, to}; }

// While alive, keeps every message said; an inner log keeps them from the
// outer ones (a rehearsal's run on a twin is not the verb's own).
class MessageLog
{
  public:
    MessageLog();
    ~MessageLog();
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    const std::vector<Message> &messages() const { return messages_; }
    // The text of the first message of `severity` (empty: none).
    std::string first(Severity severity) const;
    // [{"severity": ..., "code": ..., "text": ..., "fields": {...}}, ...]
    nlohmann::json json() const;
    void add(Message message) { messages_.push_back(std::move(message)); }

  private:
    MessageLog *outer_;
    std::vector<Message> messages_;
};

} // namespace brigant::cli
