#pragma once
// The candidate list file PIKEROSU.DAT beside the executable.
#include "listfile/SafeSave.h"
#include "shell/TextEncoding.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::wstring ListFilePath();

// Lines end at CR LF, a lone CR or a lone LF, as other programs write them. The views point into text.
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
// A file in neither UTF-8 nor UTF-16 is Shift_JIS (code page 932) on every system.
struct ListDocument {
    std::string bytes;
    TextEncoding::Encoding encoding = TextEncoding::Encoding::Ansi;
    std::wstring text; // line breaks included
};

// The whole file. A missing file reads as empty and is created empty where the folder
// allows it; a file that exists but cannot be read, or is over 16 MiB, gives nothing.
std::optional<ListDocument> ReadListFile();

// Stranded: the save failed and the old list could not be put back; it is in the file named
// by strandedAt.
enum class ListWriteResult { Written, Unreadable, Unrepresentable, Changed, Failed, Stranded };
enum class OtherChanges { Keep, Overwrite };

// Saves the text in the encoding the file was read in, followed by the file's own line break
// (LF where all of its line breaks are, CR LF otherwise). A text that is the loaded text, give
// or take its final line break, is untouched and writes nothing.
// Where PIKEROSU.DAT is a link, the file it points to is saved and the link stays; see SaveFile
// for how. Refuses text holding U+FFFD (Unreadable) or characters the encoding lacks
// (Unrepresentable), and, unless told to overwrite, a file that no longer holds the loaded bytes
// (Changed; a deleted one is simply created again). After any other failure the file holds the
// old list (Failed), or the old list is in the file *strandedAt names (Stranded).
ListWriteResult WriteListFile(std::wstring_view text, const ListDocument& loaded,
                              OtherChanges otherChanges = OtherChanges::Keep, const FileApi& api = {},
                              std::wstring* strandedAt = nullptr);

// Puts back the list a save cut off while writing it in place left half written; true when it did.
bool PlayBackCutOffListSave();

// Where the first character that the file's encoding cannot hold starts; npos when none.
size_t FirstUnrepresentable(std::wstring_view text, const ListDocument& loaded);
