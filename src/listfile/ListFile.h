#pragma once
// The candidate list file PIKEROSU.DAT beside the executable, in the ANSI code page.
#include <string>
#include <string_view>
#include <vector>

std::wstring ListFilePath();

// Lines end at CR LF or a lone CR; a lone LF stays in its line. The views point into text.
std::vector<std::wstring_view> SplitLines(std::wstring_view text);

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

// The whole file as text, line breaks included. A missing file is created empty where
// the folder allows it; either way it reads as empty text.
std::wstring ReadListFile();

enum class ListWriteResult { Written, Unrepresentable, Failed };

// Replaces the file with the text followed by CR LF, in one step: on any failure the
// old file stays as it was.
ListWriteResult WriteListFile(std::wstring_view text);
