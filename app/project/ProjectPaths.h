#pragma once

#include <optional>

#include <wx/string.h>

// The two forms in which a project stores a file, and their resolution when it is read back.
// Stored paths use backslashes whatever the system, so that a project travels between systems;
// either separator is read. Any thread.
namespace velapp {

// `path` relative to `folder` (the project file's folder), with backslashes.
wxString storedRelativePath(const wxString& path, const wxString& folder);
// `path` made absolute, dots and a leading tilde resolved, with backslashes.
wxString storedAbsolutePath(const wxString& path);

// True for an existing regular file that this process may read (UTF-8 name, as the engine opens
// it).
bool isReadableFile(const wxString& path);

// Resolves the file elements of one load. Relative paths are tried first; once more than
// kTrustedAfter of them were found on disk the rest are trusted without looking, so that a project
// of hundreds of images on a slow disk opens at once.
class ProjectPathResolver {
public:
    static constexpr int kTrustedAfter = 20;

    // `folder` is the project file's folder.
    explicit ProjectPathResolver(const wxString& folder);

    // The file a RelativePath names, when it is trusted or readable.
    std::optional<wxString> relative(const wxString& stored);
    // The file an AbsolutePath names, when it is readable.
    std::optional<wxString> absolute(const wxString& stored);
    // A RelativePath taken as it is, for files that need not exist yet (the output).
    wxString relativeUnchecked(const wxString& stored) const;

private:
    wxString m_folder;  // with a trailing separator
    int m_found = 0;
};

}  // namespace velapp
