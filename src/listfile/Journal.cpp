#include "listfile/Journal.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

struct JournalHeader {
    char magic[16];
    unsigned long long volume, index, oldLength, oldChecksum, newLength, newChecksum, self;
};
constexpr char kJournalMagic[16] = {'P', 'i', 'k', 'e', 'r', 'o', 's', 'u', ' ', 'j', 'o', 'u', 'r', 'n', 'a', 'l'};

unsigned long long SelfChecksum(std::string_view header)
{
    return Checksum(header.substr(0, offsetof(JournalHeader, self)));
}

} // namespace

unsigned long long Checksum(std::string_view bytes)
{
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (const char c : bytes)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return hash;
}

std::string MakeJournal(FileId id, std::string_view old, std::string_view bytes)
{
    JournalHeader header{{}, id.volume, id.index, old.size(), Checksum(old), bytes.size(), Checksum(bytes), 0};
    std::memcpy(header.magic, kJournalMagic, sizeof header.magic);
    header.self = SelfChecksum({reinterpret_cast<const char*>(&header), sizeof header});
    std::string journal(reinterpret_cast<const char*>(&header), sizeof header);
    return journal.append(old).append(bytes);
}

JournalIs ParseJournal(std::string_view journal, Journal& parsed)
{
    // Of a header not (yet) on the disk whole, only the magic is known: each of its bytes written or zero.
    const std::string_view magic = journal.substr(0, sizeof kJournalMagic);
    const bool mayBeOurs = std::ranges::equal(magic, std::string_view(kJournalMagic, magic.size()),
                                              [](char got, char want) { return got == want || got == 0; });
    JournalHeader header;
    if (journal.size() < sizeof header)
        return mayBeOurs ? JournalIs::CutOff : JournalIs::NotOurs;
    std::memcpy(&header, journal.data(), sizeof header);
    if (std::memcmp(header.magic, kJournalMagic, sizeof header.magic) != 0 ||
        header.self != SelfChecksum(journal))
        return mayBeOurs ? JournalIs::CutOff : JournalIs::NotOurs;
    const std::string_view body = journal.substr(sizeof header);
    if (header.oldLength > body.size() || header.newLength > body.size() - header.oldLength)
        return JournalIs::CutOff; // stops in the old list or in the new one
    parsed = {{header.volume, header.index}, body.substr(0, header.oldLength), body.substr(header.oldLength)};
    if (body.size() != header.oldLength + header.newLength)
        return JournalIs::NotOurs;
    if (Checksum(parsed.old) == header.oldChecksum && Checksum(parsed.bytes) == header.newChecksum)
        return JournalIs::Whole;
    // Its length on the disk without all its bytes: a power cut leaves zeros there.
    return body.find('\0') != body.npos ? JournalIs::CutOff : JournalIs::NotOurs;
}

bool IsCutOffWrite(std::string_view now, std::string_view old, std::string_view bytes)
{
    if (now.size() < std::min(old.size(), bytes.size()) || now.size() > std::max(old.size(), bytes.size()))
        return false;
    for (size_t i = 0; i < now.size(); ++i)
        if (now[i] && !(i < old.size() && now[i] == old[i]) && !(i < bytes.size() && now[i] == bytes[i]))
            return false;
    return true;
}
