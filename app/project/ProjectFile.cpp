// Writing a project file, and the helpers both directions share.
#include "ProjectFile.h"

#include <cstdio>
#include <span>

#include <wx/filename.h>
#include <wx/log.h>
#include <wx/wfstream.h>
#include <wx/xml/xml.h>

#include "MaskFile.h"
#include "ProjectKeys.h"
#include "ProjectPaths.h"

namespace velapp {

namespace keys = projectkeys;

namespace {

// Children are appended after the last one, so that a project of hundreds of images is built
// in linear time.
class ElementWriter {
public:
    explicit ElementWriter(wxXmlNode* parent) : m_parent(parent) {}

    wxXmlNode* element(const wxString& name)
    {
        auto* node = new wxXmlNode(wxXML_ELEMENT_NODE, name);
        if (m_last)
            m_parent->InsertChildAfter(node, m_last);
        else
            m_parent->AddChild(node);
        m_last = node;
        return node;
    }

    void text(const wxString& name, const wxString& value)
    {
        element(name)->AddChild(new wxXmlNode(wxXML_TEXT_NODE, wxString(), value));
    }

    void flag(const char* name, bool on) { text(name, on ? "true" : "false"); }

    void number(const char* name, int32_t value, uint32_t max)
    {
        text(name, wxString::Format("%i", static_cast<int>(value)));
        m_last->AddAttribute("max", wxString::Format("%i", static_cast<int>(max)));
    }

    template <size_t N> void reals(const char* name, const char* const (&names)[N], const float* values)
    {
        ElementWriter children(element(name));
        for (size_t i = 0; i < N; ++i)
            children.text(names[i], wxString::FromCDouble(values[i], 6));  // "%.6f" whatever the locale
    }

private:
    wxXmlNode* m_parent;
    wxXmlNode* m_last = nullptr;
};

void writeOptions(ElementWriter& out, const RunSettings& settings, std::span<const keys::Option> options)
{
    for (const keys::Option& option : options) {
        if (option.flag)
            out.flag(option.key, settings.*option.flag);
        else
            out.number(option.key, settings.*option.number, option.max);
    }
}

class FileWriter {
public:
    FileWriter(ElementWriter& out, const wxString& folder) : m_out(out), m_folder(folder) {}

    void image(const char* name, const std::wstring& path)
    {
        ElementWriter children(m_out.element(name));
        children.text(keys::RelativePath, storedRelativePath(path, m_folder));
        children.text(keys::AbsolutePath, storedAbsolutePath(path));
    }

    void images(const char* name, const FileList& list)
    {
        for (const FileEntry& entry : list.entries()) {
            for (const std::wstring& path : entry.paths)
                image(name, path);
        }
    }

    void relativeOnly(const char* name, const std::wstring& path)
    {
        ElementWriter children(m_out.element(name));
        children.text(keys::RelativePath, storedRelativePath(path, m_folder));
    }

private:
    ElementWriter& m_out;
    wxString m_folder;
};

std::string utf8(const std::wstring& path) { return wxString(path).utf8_string(); }

bool sameFile(const std::wstring& a, const std::wstring& b)
{
    return wxFileName(a).SameAs(wxFileName(b));
}

// Writes the brush mask when the brush is the sky region, else drops the mask this project wrote
// before. Returns the mode to store: the brush's mode falls back to none without a written mask.
SkyRegionMode writeMask(const std::wstring& projectPath, const ProjectSkyRegion& sky, std::wstring& maskFile)
{
    const std::wstring ownMask = maskFileFor(projectPath);
    if (sky.mode == SkyRegionMode::IrregularMask) {
        if (sky.brushMask && saveMaskPng(utf8(ownMask), *sky.brushMask)) {
            maskFile = ownMask;
            return sky.mode;
        }
        maskFile.clear();
        return SkyRegionMode::None;
    }
    // Only the mask beside this project is deleted: a mask file named by a project read earlier
    // may belong to another project, or be no mask at all.
    if (!maskFile.empty() && sameFile(maskFile, ownMask) && isReadableFile(maskFile))
        std::remove(utf8(maskFile).c_str());
    maskFile.clear();
    return sky.mode;
}

}  // namespace

std::wstring maskFileFor(const std::wstring& projectPath)
{
    wxFileName name(projectPath);
    name.SetFullName(name.GetName() + ".mask.png");
    return name.GetFullPath().ToStdWstring();
}

bool saveProject(const std::wstring& path, const FileTreeModel& files, const RunSettings& settings,
                 const ProjectSkyRegion& sky, std::wstring& maskFile)
{
    wxFileName projectName(path);
    projectName.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_TILDE | wxPATH_NORM_ABSOLUTE);
    if (!projectName.IsOk() || projectName.GetFullName().empty())
        return false;
    const std::wstring projectPath = projectName.GetFullPath().ToStdWstring();

    wxXmlDocument document;
    auto* root = new wxXmlNode(wxXML_ELEMENT_NODE, keys::Root);
    root->AddAttribute("version", keys::Version);
    document.SetRoot(root);
    ElementWriter out(root);

    FileWriter paths(out, projectName.GetPath());
    if (files.base() && !files.baseAutomatic())
        paths.image(keys::BaseImage, *files.base());
    paths.images(keys::StarImage, files.list(Category::Star));
    paths.images(keys::NoiseImage, files.list(Category::Noise));
    paths.images(keys::VignettingImage, files.list(Category::Vignetting));
    if (files.output())
        paths.relativeOnly(keys::Output, *files.output());

    writeOptions(out, settings, keys::OptionsBeforeSky);
    out.reals(keys::StarBound, keys::StarBoundKeys, settings.starBound.data());
    out.reals(keys::GradientRegion, keys::GradientKeys, settings.gradient.data());
    const SkyRegionMode mode = writeMask(projectPath, sky, maskFile);
    if (!maskFile.empty())
        paths.relativeOnly(keys::Mask, maskFile);
    out.number(keys::SkyRegionMode, static_cast<int32_t>(mode), keys::SkyRegionModeMax);
    writeOptions(out, settings, keys::OptionsAfterSky);

    // Written beside and renamed over the old file only once complete.
    wxLogNull quiet;
    wxTempFileOutputStream stream(projectPath);
    return stream.IsOk() && document.Save(stream, 2) && stream.Commit();
}

}  // namespace velapp
