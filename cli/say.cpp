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

const char *MessageCodeName(MessageCode code)
{
    switch (code) {
    case MessageCode::General:
        break;
    case MessageCode::Usage:
        return "usage";
    case MessageCode::Refused:
        return "refused";
    case MessageCode::NoDevice:
        return "no device";
    case MessageCode::NotSupported:
        return "not supported";
    case MessageCode::NothingToDo:
        return "nothing to do";
    case MessageCode::Failed:
        return "failed";
    case MessageCode::Busy:
        return "busy";
    case MessageCode::Unfinished:
        return "unfinished update";
    case MessageCode::Journal:
        return "journal";
    case MessageCode::Access:
        return "access";
    case MessageCode::Procedure:
        return "procedure";
    case MessageCode::Stopped:
        return "stopped";
    }
    return "general";
}

void Say(Severity severity, const std::string &text, std::ostream &to, MessageCode code,
         nlohmann::json fields)
{
    to << PrefixOf(severity) << text << "\n" << std::flush;
    if (innermost)
        innermost->add({severity, text, code, std::move(fields)});
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
        list.push_back({{"severity", SeverityName(m.severity)},
                        {"code", MessageCodeName(m.code)},
                        {"text", m.text},
                        {"fields", m.fields}});
    return list;
}

} // namespace brigant::cli
