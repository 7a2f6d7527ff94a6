#include "app/status_texts.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace brigant
{
namespace
{

// Every code words its own status: two codes worded alike would have the
// window say one thing for two, and a code without words an empty line.
TEST(StatusTexts, EachCodeHasWordsOfItsOwn)
{
    std::map<std::string, int> owner;
    // FileRefused is the last code.
    for (int c = 0; c <= static_cast<int>(StatusCode::FileRefused); ++c) {
        const auto code = static_cast<StatusCode>(c);
        const std::string text = StatusText(code);
        const bool sentenceOnly = code == StatusCode::Clear || code == StatusCode::ReattachTimedOut ||
                                  code == StatusCode::DiskAreaRefused;
        EXPECT_EQ(text.empty(), sentenceOnly) << "code " << c;
        if (!text.empty()) {
            EXPECT_TRUE(owner.emplace(text, c).second)
                << "codes " << owner[text] << " and " << c << ": " << text;
        }
    }
}

// The whole line of a status that carries the tool's sentence, and the two
// power-cycle notices the families word differently.
TEST(StatusTexts, LinesAroundSentencesAndNotices)
{
    const struct {
        RunStatus status;
        const char *line;
    } cases[] = {
        {{StatusCode::Clear}, ""},
        {{StatusCode::ReadFail}, "Read Fail!!\r\n"},
        {{StatusCode::ReattachTimedOut, "The bridge did not come back"}, "The bridge did not come back"},
        {{StatusCode::DiskAreaRefused, "no area"}, "no area"},
        {{StatusCode::RunRefused, "no answer"}, "Refused: no answer."},
        {{StatusCode::FileRefused, "not this chip's"},
         "FW file refused: not this chip's; nothing was written."},
    };
    for (const auto &c : cases)
        EXPECT_EQ(StatusLine(c.status), c.line);
    EXPECT_STREQ(NoticeText(Notice::PowerCycle), "Please Turn-Off the Power and Turn-On Again!");
    EXPECT_STREQ(NoticeText(Notice::PowerCycleWholeImage), "Please Turn-Off the Power and Turn-On Again !");
}

} // namespace
} // namespace brigant
