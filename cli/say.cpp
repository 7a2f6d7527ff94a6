#include "cli/say.h"

namespace brigant::cli
{

namespace
{

MessageLog *innermost = nullptr;

const char *PrefixOf(Severity severity)
{
    switch (severity) {
    case Severity::Warning:
        return "warning: ";
    case Severity::Note:
        return "note: ";
    case Severity::Error:
        break;
    }
    return "error: ";
}

} // namespace

const char *SeverityName(Severity severity)
{
    switch (severity) {
    case Severity::Warning:
        return "warning";
    case Severity::Note:
        return "information";
    case Severity::Error:
        break;
    }
    return "error";
}

void Say(Severity severity, const std::string &text, std::ostream &to)
{
    to << PrefixOf(severity) << text << "\n" << std::flush;
    if (innermost)
        innermost->add({severity, text});
}

MessageLog::MessageLog() : outer_(innermost) { innermost = this; }

MessageLog::~MessageLog() { innermost = outer_; }

std::string MessageLog::first(Severity severity) const
{
    for (const Message &m : messages_)
        if (m.severity == severity)
            return m.text;
    return {};
}

nlohmann::json MessageLog::json() const
{
    nlohmann::json list = nlohmann::json::array();
    for (const Message &m : messages_)
        list.push_back({{"severity", SeverityName(m.severity)}, {"text", m.text}});
    return list;
}

} // namespace brigant::cli
