#pragma once
// The journal a save writes beside a file before it touches it: a header that proves itself, then
// the old bytes, then the new ones; and what a write cut off midway can leave of it or of the file.
#include <string>
#include <string_view>

struct FileId {
    unsigned long long volume = 0, index = 0; // index 0: the volume tells no two files apart
    bool operator==(const FileId&) const = default;
};

// FNV-1a: enough to tell a finished write from a cut-off one.
unsigned long long Checksum(std::string_view bytes);

std::string MakeJournal(FileId id, std::string_view old, std::string_view bytes);

struct Journal {
    FileId id;
    std::string_view old, bytes;
};

// Whole: it proves itself, and parsed holds it. CutOff: what a write of one leaves where it is cut
// off, or where a power cut loses what was not yet on the disk (a prefix, zeros over its range); its
// flush never returned, so the file was never touched. NotOurs: anything else, the save's or not.
enum class JournalIs { Whole, CutOff, NotOurs };
JournalIs ParseJournal(std::string_view journal, Journal& parsed);

// Whether the file holds what a write of bytes over old leaves where it is cut off: at each place the
// old byte, the new one, or a zero where a power cut left a lengthened file unwritten; a length from
// one list's to the other's.
bool IsCutOffWrite(std::string_view now, std::string_view old, std::string_view bytes);
