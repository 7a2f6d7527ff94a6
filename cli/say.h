#pragma once
// Every message the program says to its user goes through Say: one line,
// "error: ", "warning: " or "note: " and the text, on the stream given
// (standard error unless a note belongs with the output), and as a typed
// message to the innermost MessageLog alive, from which a JSON report or a
// rehearsal takes them.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace brigant::cli
{

enum class Severity : std::uint8_t { Error, Warning, Note };

struct Message {
    Severity severity = Severity::Error;
    std::string text;
};

// "error", "warning", "information": the severities of a JSON report.
const char *SeverityName(Severity severity);

// Prints "<prefix>: TEXT" and a line end on `to`, and logs the message.
void Say(Severity severity, const std::string &text, std::ostream &to = std::cerr);

// Say with the text built as on a stream: `SayError() << path << ": gone";`
// is said at the end of the statement.
class Saying
{
  public:
    Saying(Severity severity, std::ostream &to) : severity_(severity), to_(to) {}
    ~Saying() { Say(severity_, text_.str(), to_); }
    Saying(const Saying &) = delete;
    Saying &operator=(const Saying &) = delete;

    template <typename T> Saying &operator<<(const T &value)
    {
        text_ << value;
        return *this;
    }

  private:
    Severity severity_;
    std::ostream &to_;
    std::ostringstream text_;
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
    // [{"severity": ..., "text": ...}, ...]
    nlohmann::json json() const;
    void add(Message message) { messages_.push_back(std::move(message)); }

  private:
    MessageLog *outer_;
    std::vector<Message> messages_;
};

} // namespace brigant::cli
