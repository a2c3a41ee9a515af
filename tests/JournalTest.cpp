#include "listfile/Journal.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(Journal, WhatACutOffSaveOrAPowerCutLeavesIsToldFromAnythingElse)
{
    const std::string old = "old list\r\n", bytes = "the new list, longer\r\n";
    const std::string whole = MakeJournal({7, 42}, old, bytes);
    const size_t header = whole.size() - old.size() - bytes.size();
    const auto zeroed = [&](size_t from, size_t count) {
        std::string journal = whole;
        std::fill_n(journal.begin() + static_cast<ptrdiff_t>(from), count, '\0');
        return journal;
    };
    std::string changed = whole;
    changed[header + 2] ^= 1;
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
        {"header partly zeros", zeroed(8, 16), JournalIs::CutOff},
        {"body partly zeros", zeroed(header + old.size() + 4, 6), JournalIs::CutOff},
        {"one byte changed", changed, JournalIs::NotOurs},
        {"bytes after its end", whole + "x", JournalIs::NotOurs},
        {"someone else's text", "Mozilla/5.0 (Windows NT 10.0; Win64; x64) of another program's list", JournalIs::NotOurs},
        {"someone else's short text", "Mozilla", JournalIs::NotOurs},
    };
    for (const auto& c : cases) {
        Journal parsed;
        EXPECT_EQ(ParseJournal(c.journal, parsed), c.is) << c.what;
    }
    Journal parsed;
    ASSERT_EQ(ParseJournal(whole, parsed), JournalIs::Whole);
    EXPECT_EQ(parsed.id, (FileId{7, 42}));
    EXPECT_EQ(parsed.old, old);
    EXPECT_EQ(parsed.bytes, bytes);
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
