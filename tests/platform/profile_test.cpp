#include "platform/profile.h"

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void Write(const std::string& text) { WriteFile(m_path, text); }
    std::string Read() { return ReadFile(m_path); }
    TempFolder m_folder;
    std::string m_path = m_folder / "vantoro.ini";
};

TEST_F(ProfileTest, ReadsKeysOfTheRightSectionOnly) {
    Write("[other]\nring=7\n\n[Vantoro]\r\n RING = 9 word\r\ntime=letters\r\n[third]\nskin=2\n");
    EXPECT_EQ(platform::GetProfileInt("vantoro", "ring", 3, m_path), 9u);
    EXPECT_EQ(platform::GetProfileInt("vantoro", "time", 5, m_path), 0u);
    EXPECT_EQ(platform::GetProfileInt("vantoro", "skin", 1, m_path), 1u);
    EXPECT_EQ(platform::GetProfileInt("vantoro", "ring", 3, m_path + ".missing"), 3u);
}

TEST_F(ProfileTest, WritingCreatesFileAndSectionThenKeepsOtherLines) {
    ASSERT_TRUE(platform::WriteProfileString("vantoro", "ring", "3 ;note", m_path));
    ASSERT_TRUE(platform::WriteProfileString("vantoro", "time", "5", m_path));
    EXPECT_EQ(Read(), "[vantoro]\nring=3 ;note\ntime=5\n");

    Write("; comment\n[vantoro]\nring=4\n\n[other]\nkey=value\n");
    ASSERT_TRUE(platform::WriteProfileString("vantoro", "skin", "2", m_path));
    ASSERT_TRUE(platform::WriteProfileString("VANTORO", "Ring", "6", m_path));
    EXPECT_EQ(Read(), "; comment\n[vantoro]\nRing=6\nskin=2\n\n[other]\nkey=value\n");

    ASSERT_TRUE(platform::WriteProfileString("new", "a", "1", m_path));
    EXPECT_EQ(platform::GetProfileInt("new", "a", 0, m_path), 1u);
    EXPECT_EQ(platform::GetProfileInt("other", "key", 9, m_path), 0u);
}

}  // namespace
