#pragma once
// The candidate list file PIKEROSU.DAT beside the executable.
#include "shell/TextEncoding.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::wstring ListFilePath();

// Lines end at CR LF or a lone CR; a lone LF stays in its line. The views point into text.
std::vector<std::wstring_view> SplitLines(std::wstring_view text);

// The text without its one final CR LF, CR or LF, if it ends in one.
std::wstring_view WithoutFinalLineBreak(std::wstring_view text);

// Where entries go: the main window's combo box, or a plain vector.
class CandidateList {
public:
    virtual ~CandidateList() = default;
    virtual void Reserve(size_t /*count*/, size_t /*characters*/) {}
    // entry.data() is zero-terminated, so it can go to a control as it is.
    virtual void Append(std::wstring_view entry) = 0;
};

// Appends the file's entries (every line not starting with "#") in file order, without
// clearing the list. A missing or unreadable file appends nothing.
void ReloadCandidates(CandidateList& list);

// The file as it was read: its bytes, the encoding they are in, and the text they hold.
struct ListDocument {
    std::string bytes;
    TextEncoding::Encoding encoding = TextEncoding::Encoding::Ansi;
    std::wstring text; // line breaks included
};

// The whole file. A missing file reads as empty and is created empty where the folder
// allows it; a file that exists but cannot be read gives nothing.
std::optional<ListDocument> ReadListFile();

enum class ListWriteResult { Written, Unreadable, Unrepresentable, Failed };

// Replaces the file, in one step and in the encoding it was read in, with the text followed
// by CR LF. A text the file held untouched is written with the file's own bytes. Refuses
// text holding U+FFFD (Unreadable) or characters the encoding lacks (Unrepresentable); on
// any failure the old file stays as it was.
ListWriteResult WriteListFile(std::wstring_view text, const ListDocument& loaded);
