// Reading a project file: every element applied in document order, unreadable values ignored.
#include <array>
#include <cfloat>
#include <cmath>
#include <optional>
#include <span>

#include <wx/filename.h>
#include <wx/log.h>
#include <wx/mstream.h>
#include <wx/xml/xml.h>

#include "ProjectBytes.h"
#include "ProjectFile.h"
#include "ProjectKeys.h"
#include "ProjectPaths.h"

namespace velapp {

namespace keys = projectkeys;

namespace {

void setReason(std::string* reason, const std::string& text)
{
    if (reason)
        *reason = text;
}

std::vector<const wxXmlNode*> elementsOf(const wxXmlNode& parent)
{
    std::vector<const wxXmlNode*> children;
    for (const wxXmlNode* child = parent.GetChildren(); child; child = child->GetNext()) {
        if (child->GetType() == wxXML_ELEMENT_NODE)
            children.push_back(child);
    }
    return children;
}

// A number in min..max; negative values wrap to large ones and miss the range.
std::optional<int32_t> numberIn(const wxXmlNode& element, uint32_t min, uint32_t max)
{
    long value = 0;
    if (!element.GetNodeContent().ToLong(&value, 10))
        return std::nullopt;
    const auto asUnsigned = static_cast<unsigned long>(value);
    if (asUnsigned < min || asUnsigned > max)
        return std::nullopt;
    return static_cast<int32_t>(value);
}

// "true" or "false" exactly; anything else leaves the option as it stands.
void applyFlag(const wxXmlNode& element, bool& flag)
{
    const wxString text = element.GetNodeContent();
    if (text == "true")
        flag = true;
    else if (text == "false")
        flag = false;
}

// All of the shape's coordinates, or nothing: a shape missing one would be another shape.
template <size_t N> bool readReals(const wxXmlNode& element, const char* const (&names)[N], float* out)
{
    std::array<std::optional<float>, N> values;
    for (const wxXmlNode* child : elementsOf(element)) {
        for (size_t i = 0; i < N; ++i) {
            if (child->GetName() != names[i])
                continue;
            double value = 0.0;
            // Locale-independent, as written; coordinates are finite fractions of the image.
            if (!child->GetNodeContent().ToCDouble(&value) || !(std::fabs(value) <= FLT_MAX))
                return false;
            values[i] = static_cast<float>(value);
        }
    }
    for (size_t i = 0; i < N; ++i) {
        if (!values[i])
            return false;
        out[i] = *values[i];
    }
    return true;
}

// Applies one element of the document to the project being loaded.
class ProjectReader {
public:
    ProjectReader(LoadedProject& project, const wxString& folder) : m_project(project), m_paths(folder) {}

    void apply(const wxXmlNode& element)
    {
        const wxString name = element.GetName();
        if (applyFile(name, element) || applyOption(name, element))
            return;
        RunSettings& settings = m_project.settings;
        if (name == keys::StarBound) {
            std::array<float, 4> bound;
            if (readReals(element, keys::StarBoundKeys, bound.data()))
                settings.starBound = bound;
        } else if (name == keys::GradientRegion) {
            std::array<float, 5> gradient;
            if (readReals(element, keys::GradientKeys, gradient.data()))
                settings.gradient = gradient;
        } else if (name == keys::SkyRegionMode) {
            m_hadSkyRegionMode = true;
            if (const auto mode = numberIn(element, 0, keys::SkyRegionModeMax))
                settings.skyRegionMode = static_cast<SkyRegionMode>(*mode);
        }
    }

    // The file lists in order, then the tool the sky region asks for.
    void finish()
    {
        FileTreeModel& files = m_project.files;
        files.addFiles(Category::Star, m_stars, false);
        files.addFiles(Category::Noise, m_noise, false);
        files.addFiles(Category::Vignetting, m_vignetting, false);
        chooseSkyTool();
    }

private:
    bool applyFile(const wxString& name, const wxXmlNode& element)
    {
        std::vector<std::wstring>* list = nullptr;
        if (name == keys::StarImage)
            list = &m_stars;
        else if (name == keys::NoiseImage)
            list = &m_noise;
        else if (name == keys::VignettingImage)
            list = &m_vignetting;
        else if (name != keys::BaseImage && name != keys::Output && name != keys::Mask)
            return false;

        std::optional<wxString> path = resolve(element);
        if (!path && name == keys::Output)
            path = outputPath(element);
        if (!path)
            return true;
        if (list)
            list->push_back(path->ToStdWstring());
        else if (name == keys::BaseImage)
            m_project.files.setBase(path->ToStdWstring());
        else if (name == keys::Output)
            m_project.files.setOutput(path->ToStdWstring());
        else
            m_project.maskFile = path->ToStdWstring();
        return true;
    }

    bool applyOption(const wxString& name, const wxXmlNode& element)
    {
        for (auto table : {std::span<const keys::Option>(keys::OptionsBeforeSky),
                           std::span<const keys::Option>(keys::OptionsAfterSky),
                           std::span<const keys::Option>(keys::LegacyOptions)}) {
            for (const keys::Option& option : table) {
                if (name != option.key)
                    continue;
                if (option.flag) {
                    applyFlag(element, m_project.settings.*option.flag);
                } else if (const auto value = numberIn(element, option.min, option.max)) {
                    m_project.settings.*option.number = *value;
                }
                return true;
            }
        }
        return false;
    }

    // The first child that names a file: a relative path found (or trusted), else an absolute one.
    std::optional<wxString> resolve(const wxXmlNode& element)
    {
        for (const wxXmlNode* child : elementsOf(element)) {
            std::optional<wxString> path;
            if (child->GetName() == keys::RelativePath)
                path = m_paths.relative(child->GetNodeContent());
            else if (child->GetName() == keys::AbsolutePath)
                path = m_paths.absolute(child->GetNodeContent());
            if (path)
                return path;
        }
        return std::nullopt;
    }

    // The output usually does not exist yet: its relative path counts as it stands.
    std::optional<wxString> outputPath(const wxXmlNode& element) const
    {
        for (const wxXmlNode* child : elementsOf(element)) {
            if (child->GetName() == keys::RelativePath && !child->GetNodeContent().empty())
                return m_paths.relativeUnchecked(child->GetNodeContent());
        }
        return std::nullopt;
    }

    void chooseSkyTool()
    {
        RunSettings& settings = m_project.settings;
        SkyRegionMode& mode = settings.skyRegionMode;
        SkyTool& tool = m_project.tool;
        if (mode == SkyRegionMode::BoundaryLine && settings.starBoundSet()) {
            tool = SkyTool::BoundaryLine;
        } else if (mode == SkyRegionMode::Gradient && settings.gradientSet()) {
            tool = SkyTool::Gradient;
        } else if (m_hadSkyRegionMode) {
            tool = SkyTool::Brush;  // also when its mask is gone: the brush is chosen, nothing painted
        } else if (settings.gradientSet()) {
            tool = SkyTool::Gradient;  // written before the mode was stored
            mode = SkyRegionMode::Gradient;
        } else if (settings.starBoundSet()) {
            tool = SkyTool::BoundaryLine;
            mode = SkyRegionMode::BoundaryLine;
        }
    }

    LoadedProject& m_project;
    ProjectPathResolver m_paths;
    std::vector<std::wstring> m_stars;
    std::vector<std::wstring> m_noise;
    std::vector<std::wstring> m_vignetting;
    bool m_hadSkyRegionMode = false;
};

}  // namespace

bool loadProjectFromBytes(const std::string& bytes, const std::wstring& path, LoadedProject& project,
                          std::string* reason)
{
    if (!hasProjectShape(bytes)) {
        setReason(reason, "not a project file (unexpected XML structure)");
        return false;
    }
    wxXmlDocument document;
    {
        wxLogNull quiet;  // the parser's own complaint would pop up as a second message
        wxMemoryInputStream stream(bytes.data(), bytes.size());
        if (!document.Load(stream, "UTF-8")) {
            setReason(reason, "not a project file (no well-formed XML)");
            return false;
        }
    }
    const wxXmlNode* root = document.GetRoot();
    if (!root || root->GetName() != keys::Root) {
        setReason(reason, "not a project file (no VelostarProject root)");
        return false;
    }

    // A fresh project, except that files without the mode mean "Deep sky".
    LoadedProject loaded;
    loaded.settings.reducePollutionMode = 0;
    loaded.settings.unifyExposure = false;
    wxFileName name(path);
    name.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_TILDE | wxPATH_NORM_ABSOLUTE);
    ProjectReader reader(loaded, name.GetPath());
    for (const wxXmlNode* element : elementsOf(*root))
        reader.apply(*element);
    reader.finish();
    project = std::move(loaded);
    return true;
}

bool loadProject(const std::wstring& path, LoadedProject& project, std::string* reason)
{
    std::string bytes;
    std::string why;
    if (!readProjectBytes(wxString(path).utf8_string(), bytes, why)) {
        setReason(reason, why);
        return false;
    }
    return loadProjectFromBytes(bytes, path, project, reason);
}

}  // namespace velapp
