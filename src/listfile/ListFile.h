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

// The file as it was read: its bytes, the encoding they are in, and the text they hold.
// A file in neither UTF-8 nor UTF-16 is Shift_JIS (code page 932) on every system.
struct ListDocument {
    std::string bytes;
    TextEncoding::Encoding encoding = TextEncoding::Encoding::Ansi;
    std::wstring text; // line breaks included
};

// Far above any real list; a larger file (a broken disk, a mistaken copy) is not one to load.
constexpr size_t kListLimit = 16u << 20;

// Why a read gave nothing: the file is there but not to be read (held, no rights, a folder), it is
// over kListLimit, another copy's save holds it up, or it is a link to a file that is not there.
enum class ReadFailure { None, Unreadable, TooLarge, Busy, LinkedFileMissing };

// The whole file, read in its turn once a cut-off save has been put right and, where tell is given,
// told. A missing file reads as empty, and is created empty where createMissing and the folder
// allow it.
std::optional<ListDocument> ReadListFile(ReadFailure* why = nullptr, const TellCutOff& tell = {},
                                         bool createMissing = true, const FileApi& api = {});

// Appends the file's entries (every line not starting with "#") in file order, without clearing
// the list; read as ReadListFile reads it, without creating a missing file.
ReadFailure ReloadCandidates(CandidateList& list, const TellCutOff& tell = {}, const FileApi& api = {});

enum class OtherChanges { Keep, Overwrite };

// Saves the text in the encoding the file was read in, followed by the file's own line break
// (LF where all of its line breaks are, CR LF otherwise). A text that is the loaded text, give
// or take its final line break, is untouched and writes nothing. Where PIKEROSU.DAT is a link,
// the file it points to is saved and the link stays. Refuses text holding U+FFFD (Unreadable),
// characters the encoding lacks (Unrepresentable) or more than kListLimit bytes (TooLarge), and,
// unless told to overwrite, a file that no longer holds the loaded bytes (Changed; a deleted one
// is simply created again). See SaveFile for the rest, and for tell.
SaveResult WriteListFile(std::wstring_view text, const ListDocument& loaded, OtherChanges otherChanges = OtherChanges::Keep,
                         const FileApi& api = {}, const TellCutOff& tell = {});

// Where the first character that the file's encoding cannot hold starts; npos when none.
size_t FirstUnrepresentable(std::wstring_view text, const ListDocument& loaded);
