#include "ProjectPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <wx/filename.h>

namespace velapp {

namespace {

constexpr int kNormalise = wxPATH_NORM_DOTS | wxPATH_NORM_TILDE | wxPATH_NORM_ABSOLUTE;
// Everything but the expansion of environment variables: that would turn the name just found
// readable into another one.
constexpr int kNormaliseAll = kNormalise | wxPATH_NORM_LONG;

// A stored path (either separator) in the form of this system.
wxString nativeForm(const wxString& stored)
{
    return wxFileName(stored, wxPATH_DOS).GetFullPath(wxPATH_NATIVE);
}

wxString normalised(const wxString& path, int flags)
{
    wxFileName name(path);
    name.Normalize(flags);
    return name.GetFullPath();
}

}  // namespace

wxString storedRelativePath(const wxString& path, const wxString& folder)
{
    wxFileName name(path);
    name.Normalize(kNormalise);
    name.MakeRelativeTo(folder);  // left absolute where no relative path leads (another volume)
    return name.GetFullPath(wxPATH_DOS);
}

wxString storedAbsolutePath(const wxString& path)
{
    wxFileName name(path);
    name.Normalize(kNormalise);
    return name.GetFullPath(wxPATH_DOS);
}

bool isReadableFile(const wxString& path)
{
    const wxScopedCharBuffer utf8 = path.utf8_str();
    struct stat info {};
    return !path.empty() && ::stat(utf8.data(), &info) == 0 && S_ISREG(info.st_mode) && ::access(utf8.data(), R_OK) == 0;
}

ProjectPathResolver::ProjectPathResolver(const wxString& folder)
    : m_folder(wxFileName::DirName(folder).GetPathWithSep())
{
}

std::optional<wxString> ProjectPathResolver::relative(const wxString& stored)
{
    if (stored.empty())
        return std::nullopt;
    const wxString path = relativeUnchecked(stored);
    if (m_found > kTrustedAfter)
        return path;
    if (!isReadableFile(path))
        return std::nullopt;
    ++m_found;
    return path;
}

std::optional<wxString> ProjectPathResolver::absolute(const wxString& stored)
{
    const wxString path = nativeForm(stored);
    if (stored.empty() || !isReadableFile(path))
        return std::nullopt;
    // A project moved away from its images: the next relative paths are looked at again.
    --m_found;
    return normalised(path, kNormaliseAll);
}

wxString ProjectPathResolver::relativeUnchecked(const wxString& stored) const
{
    return normalised(m_folder + nativeForm(stored), kNormalise);
}

}  // namespace velapp
