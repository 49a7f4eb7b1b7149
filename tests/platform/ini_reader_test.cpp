#include "platform/ini_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

std::string Render(const std::vector<IniEntry>& entries) {
    std::string text;
    for (const IniEntry& entry : entries)
        text += entry.section + "|" + entry.key + "=" + entry.value + ";";
    return text;
}

TEST(IniReaderTest, ReadsSectionedKeysAsLineIniHasThem) {
    struct Case {
        const char* text;
        const char* entries;
    };
    const Case cases[] = {
        {"modem=/dev/ttyACM0\n", "|modem=/dev/ttyACM0;"},
        {"  ring-timeout-ms = 8000 \r\n", "|ring-timeout-ms=8000;"},
        {"[line]\ninit=AT!4886=02\ninit=AT+VGR=130\n",
         "line|init=AT!4886=02;line|init=AT+VGR=130;"},
        {"# modem=/dev/a\n; modem=/dev/b\n\nno equals here\n", ""},
        {"a=1\n[ sip ] trailing\naccount=\n[sip]\naccount=sip:x@h\n",
         "|a=1;sip|account=;sip|account=sip:x@h;"},
        {"[broken\nkey=v\n[]\nempty=\n", "|key=v;|empty=;"},
        {"=no key\nlast=line without end", "|=no key;|last=line without end;"},
    };
    for (const Case& c : cases) EXPECT_EQ(Render(ParseIni(c.text)), c.entries) << c.text;

    const std::vector<IniEntry> entries = ParseIni("k=0\n[sip]\nk=1\n[SIP]\nk=2\n[sip]\nk=3\n");
    EXPECT_EQ(Render(IniSection(entries, "sip")), "sip|k=1;sip|k=3;");
    EXPECT_TRUE(ReadIniFile("/nonexistent/line.ini").empty());
    EXPECT_EQ(TrimBlanks(" \t\r\n"), "");
}

}  // namespace
}  // namespace platform
