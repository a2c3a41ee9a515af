#include "listfile/Journal.h"

#include <gtest/gtest.h>

TEST(Journal, WhatACutOffSaveOrAPowerCutLeavesIsToldFromAnythingElse)
{
    const std::string old = "old list\r\n", bytes = "the new list, longer\r\n";
    const std::string whole = MakeJournal({7, 42}, old, bytes);
    const size_t header = whole.size() - old.size() - bytes.size();
    const struct {
        const char* what;
        std::string journal;
        JournalIs is;
    } cases[] = {
        {"whole", whole, JournalIs::Whole},
        {"stops in the old list", whole.substr(0, header + 3), JournalIs::CutOff},
        {"stops in the new list", whole.substr(0, whole.size() - 3), JournalIs::CutOff},
        {"part of a header", whole.substr(0, header - 8), JournalIs::CutOff},
        {"empty", "", JournalIs::CutOff},
        {"zeros of the full length", std::string(whole.size(), '\0'), JournalIs::CutOff},
        {"header partly zeros", std::string(whole).replace(8, 16, 16, '\0'), JournalIs::CutOff},
        {"body partly zeros", std::string(whole).replace(header + old.size() + 4, 6, 6, '\0'), JournalIs::CutOff},
        {"one byte changed", std::string(whole).replace(header + 2, 1, 1, 'e'), JournalIs::NotOurs},
        {"bytes after its end", whole + "x", JournalIs::NotOurs},
        {"someone else's text", "Mozilla/5.0 (Windows NT 10.0; Win64; x64) of another program's list", JournalIs::NotOurs},
        {"someone else's short text", "Mozilla", JournalIs::NotOurs},
    };
    for (const auto& c : cases) {
        Journal parsed;
        EXPECT_EQ(ParseJournal(c.journal, parsed), c.is) << c.what;
    }
}

TEST(Journal, AListCutOffInItsWriteHoldsAtEachPlaceAnOldOrNewByteOrAZero)
{
    const struct {
        std::string now;
        bool cutOff;
    } cases[] = {{std::string("ABCDef\0\0", 8), true}, {"ABxdef", false}, {"ABC", false}};
    for (const auto& c : cases)
        EXPECT_EQ(IsCutOffWrite(c.now, "abcdef", "ABCDEFGH"), c.cutOff) << testing::PrintToString(c.now);
}
