#include "app/settings.h"

#include "firmware_files.h"
#include "recording_ui.h"

#include <gtest/gtest.h>

#include <string>

using namespace brigant;
using namespace brigant::test;

namespace
{

INI_STATE Read(const std::string &text)
{
    INI_STATE state;
    state.ChipReset = 99; // every member is set by the reader
    state.VID = 0;
    ReadSettingsFromBytes(state, std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
    return state;
}

std::string Token(const std::string &text, const char *key, std::size_t maxSize = kSettingTokenSize)
{
    char value[kSettingLineSize] = {};
    GetSettingToken(text.c_str(), key, "DEF", value, maxSize);
    return value;
}

std::string Line(const std::string &text, const char *key)
{
    char value[kSettingLineSize] = {};
    GetSettingLine(text.c_str(), key, "DEF", value, sizeof value);
    return value;
}

} // namespace

TEST(Settings, MissingOrUnusableFileGivesEveryDefault)
{
    RecordingUi ui;
    TempDir dir;
    for (const std::string &name : {(dir.path() / "FwUpdateTool.ini").string(), dir.path().string()}) {
        INI_STATE s;
        s.ChipReset = 5;
        s.PmModel = "X";
        ReadSettings(s, name);
        EXPECT_EQ(s.PmModel, "ALL");
        EXPECT_EQ(s.PsModel, "ALL");
        EXPECT_EQ(s.CheckPmPsFwFile, 0);
        EXPECT_EQ(s.PmPsFwVer[3], "##");
        EXPECT_EQ(s.PmPsDate[0], "##");
        EXPECT_EQ(s.ShowPassFailWindow, 0);
        EXPECT_EQ(s.MainFormCaption, "Velkor Conifer Fw Update Tool");
        EXPECT_EQ(s.VID, 0x3A9C);
        EXPECT_EQ(s.PID, 0x7E21);
        EXPECT_EQ(s.SerialText(), "00000000000000000000");
        EXPECT_EQ(s.ChipReset, 0);
    }
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(Settings, ReadsTheFileInTheWorkingDirectoryByDefault)
{
    TempDir dir;
    dir.write("FwUpdateTool.ini",
              std::string("[Setting]\nVID=1D6B\nPID=0104\nSerialNum=SN 0042\nChipReset=1\n"));
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    INI_STATE s;
    ReadSettings(s);
    std::filesystem::current_path(previous);
    EXPECT_EQ(s.VID, 0x1D6B);
    EXPECT_EQ(s.PID, 0x0104);
    EXPECT_EQ(s.SerialText(), "SN 0042");
    EXPECT_EQ(s.ChipReset, 1);
}

TEST(Settings, KeyIsFoundAnywhereInAnyCase)
{
    EXPECT_EQ(Read("ChipReset=1").ChipReset, 1);
    EXPECT_EQ(Read("[Product]\r\nPmModel=x\r\n; note\r\n[Update]\r\nChipReset=1\r\n").ChipReset, 1);
    EXPECT_EQ(Read("[Update]\n  chipreset 1\n").ChipReset, 1);
    EXPECT_EQ(Read("CHIPRESET,\t1").ChipReset, 1);
    EXPECT_EQ(Read("ChipResetX=1").ChipReset, 0);
    // Values keep their case, except the two model names.
    const INI_STATE s = Read("pmmodel=abc PsModel Def PmPsFwVer2=v1.2b pmpsdate3=Jan01");
    EXPECT_EQ(s.PmModel, "ABC");
    EXPECT_EQ(s.PsModel, "DEF");
    EXPECT_EQ(s.PmPsFwVer[2], "v1.2b");
    EXPECT_EQ(s.PmPsDate[3], "Jan01");
    EXPECT_EQ(s.PmPsFwVer[0], "##");
}

TEST(Settings, FirstTokenEqualToTheKeyWinsEvenWhenItIsAValue)
{
    const INI_STATE s = Read("PmModel=PsModel\nPsModel=abc\n");
    EXPECT_EQ(s.PmModel, "PSMODEL");
    EXPECT_EQ(s.PsModel, "PSMODEL"); // the value token counts as the key
    // A refused first match is not followed by a later one.
    EXPECT_EQ(Read("ChipReset=12345678\nChipReset=1").ChipReset, 0);
    // A key without a following token takes the default.
    EXPECT_EQ(Read("ShowPassFailWindow=3 ChipReset=").ChipReset, 0);
    EXPECT_EQ(Read("ShowPassFailWindow=3 ChipReset=").ShowPassFailWindow, 3);
}

TEST(Settings, TokenValuesUpToSevenCharacters)
{
    EXPECT_EQ(Token("PmModel=ABCDEFG", "PmModel"), "ABCDEFG");
    EXPECT_EQ(Token("PmModel=ABCDEFGH", "PmModel"), "DEF");
    EXPECT_EQ(Token("PmModel = AB CD", "PMMODEL"), "AB");
    char value[8];
    EXPECT_EQ(GetSettingToken("a=1", "A", "d", value, sizeof value), 1);
    EXPECT_EQ(GetSettingToken("a=1", "B", "d", value, sizeof value), 0);
    EXPECT_STREQ(value, "d");
    // Decimal values: optional sign, digits, 0 when there are none.
    EXPECT_EQ(Read("CheckPmPsFwFile=-12").CheckPmPsFwFile, -12);
    EXPECT_EQ(Read("CheckPmPsFwFile=+7x").CheckPmPsFwFile, 7);
    EXPECT_EQ(Read("ShowPassFailWindow=x1").ShowPassFailWindow, 0);
    EXPECT_EQ(Read("ChipReset=9999999").ChipReset, 9999999);
}

TEST(Settings, LineValuesKeepBlanksAndNeedTheKeyRightBeforeTheSeparator)
{
    EXPECT_EQ(Line("MainFormCaption=My Update Tool\n", "MainFormCaption"), "My Update Tool");
    EXPECT_EQ(Line("MainFormCaption= My Tool\n", "MainFormCaption"), " My Tool");
    EXPECT_EQ(Line("MainFormCaption = My Tool\n", "MainFormCaption"), "DEF");
    EXPECT_EQ(Line("MainFormCaption=" + std::string(63, 'c'), "MainFormCaption"), std::string(63, 'c'));
    EXPECT_EQ(Line("MainFormCaption=" + std::string(64, 'c'), "MainFormCaption"), "DEF");
    EXPECT_EQ(Read("MainFormCaption=Line Tool\r\n").MainFormCaption, "Line Tool");
}

TEST(Settings, SerialNumStoresAtMostTwentyBytes)
{
    EXPECT_EQ(Read("SerialNum=ABC").SerialText(), "ABC");
    const INI_STATE shortOne = Read("SerialNum=ABC");
    EXPECT_EQ(shortOne.SerialNum[3], '\0');
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    EXPECT_EQ(Read("SerialNum=" + alphabet.substr(0, 20)).SerialText(), alphabet.substr(0, 20));
    EXPECT_EQ(Read("SerialNum=" + alphabet.substr(0, 21)).SerialText(), alphabet.substr(0, 20));
    EXPECT_EQ(Read("SerialNum=" + std::string(63, '7')).SerialText(), std::string(20, '7'));
    EXPECT_EQ(Read("SerialNum=" + std::string(64, '7')).SerialText(), "00000000000000000000");
}

TEST(Settings, VidAndPidMustBeSixteenBitHexOrKeepTheirDefaultWithOneWarning)
{
    RecordingUi ui;
    EXPECT_EQ(Read("VID=abcd PID=00FF").VID, 0xABCD);
    EXPECT_EQ(Read("VID=abcd PID=00FF").PID, 0x00FF);
    EXPECT_EQ(Read("VID=000FFFF").VID, 0xFFFF);
    EXPECT_TRUE(ui.boxes.empty());

    // Its own "0x" prefix makes the value invalid once the reader adds one.
    const INI_STATE s = Read("VID=0x1D6B\nPID=12345\n");
    EXPECT_EQ(s.VID, 0x3A9C);
    EXPECT_EQ(s.PID, 0x7E21);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].title, "Warning");
    EXPECT_EQ(ui.boxes[0].kind, MessageKind::Warning);
    EXPECT_NE(ui.boxes[0].text.find("VID = \"0x1D6B\""), std::string::npos) << ui.boxes[0].text;
    EXPECT_NE(ui.boxes[0].text.find("PID = \"12345\""), std::string::npos) << ui.boxes[0].text;
    // The other keys are read as usual.
    EXPECT_EQ(Read("VID=G1 ChipReset=1").ChipReset, 1);
    EXPECT_EQ(ui.boxes.size(), 2u);
}

TEST(Settings, TextEndsAtTheFileEndOrAtAZeroByte)
{
    // 32 bytes, a multiple of the buffer's rounding: the value ends the file.
    const std::string exact = "ShowPassFailWindow=2 ChipReset=1";
    ASSERT_EQ(exact.size(), 32u);
    EXPECT_EQ(Read(exact).ChipReset, 1);
    TempDir dir;
    INI_STATE s;
    ReadSettings(s, dir.write("exact.ini", exact));
    EXPECT_EQ(s.ChipReset, 1);
    EXPECT_EQ(s.ShowPassFailWindow, 2);
    // A zero byte ends the text like a terminator.
    EXPECT_EQ(Read(std::string("Note=x\0ChipReset=1", 18)).ChipReset, 0);
    EXPECT_EQ(Read("").ChipReset, 0);
}
