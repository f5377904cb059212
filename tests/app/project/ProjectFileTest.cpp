#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "MaskFile.h"
#include "OptionPanels.h"
#include "ParameterTree.h"
#include "ProjectFile.h"
#include "TextTable.h"
#include "support/TempDir.h"

using namespace velapp;
namespace fs = std::filesystem;

namespace {

// A folder with a few image files (their content does not matter to a project).
class ProjectFile : public ::testing::Test {
protected:
    std::wstring image(const std::string& name)
    {
        fs::create_directories(fs::path(m_dir.file(name)).parent_path());
        EXPECT_TRUE(veltest::writeBytes(m_dir.file(name), "image"));
        return m_dir.wfile(name);
    }

    std::string xml(const std::string& body) const
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VelostarProject version=\"1.0\">" + body +
               "</VelostarProject>\n";
    }

    // Loads `body` as a project in the temporary folder.
    LoadedProject loadXml(const std::string& body)
    {
        LoadedProject project;
        EXPECT_TRUE(veltest::writeBytes(m_dir.file("p.vlp"), xml(body)));
        EXPECT_TRUE(loadProject(m_dir.wfile("p.vlp"), project));
        return project;
    }

    veltest::TempDir m_dir;
};

// Every option away from its default, so that one not read back shows in a second save.
RunSettings unusualSettings()
{
    RunSettings s;
    s.unifyExposure = true;
    s.homogenizeVignetting = true;
    s.compositionMode = 1;
    s.integrationMode = 3;
    s.sigmaIndex = 4;
    s.freezeGroundSelective = false;
    s.dumpAsLinear = false;
    s.trailsMotionEffect = true;
    s.autoBrightness = true;
    s.hdr = true;
    s.removeHotPixels = true;
    s.mergePixels = true;
    s.distortionCorrection = 2;
    s.reducePollution = true;
    s.reducePollutionMode = 0;
    s.reducePollutionStrength = 4;
    s.aggressiveSuppression = true;
    s.enhanceStars = true;
    s.enhanceStarsStrength = 0;
    s.timeLapse = true;
    s.timeLapseFrames = 30;
    s.colorSpace = 2;
    s.starBound = {0.125f, 0.5f, 0.875f, 0.25f};
    s.gradient = {0.1f, 0.2f, 0.9f, 0.3f, 0.4f};
    return s;
}

std::vector<std::string> elementNames(const std::string& text)
{
    std::vector<std::string> names;
    const std::string root = "<VelostarProject version=\"1.0\">";
    size_t at = text.find(root);
    EXPECT_NE(at, std::string::npos) << text;
    // Top-level children start on lines indented by two spaces.
    for (at = text.find("\n  <", at); at != std::string::npos; at = text.find("\n  <", at + 1)) {
        const size_t start = at + 4;
        if (text[start] != '/')
            names.push_back(text.substr(start, text.find_first_of(" >", start) - start));
    }
    return names;
}

}  // namespace

TEST_F(ProjectFile, RoundTripsEveryOptionAndPath)
{
    FileTreeModel files;
    files.setBase(image("raw/base.cr2"));
    files.addFiles(Category::Star, {image("raw/b.cr2"), image("raw/a.cr2"), image("other/c.cr2")}, true);
    files.addFiles(Category::Noise, {image("dark/1.tif"), image("dark/2.tif")}, true);
    files.addFiles(Category::Vignetting, {image("flat/1.tif")}, true);
    files.setOutput(m_dir.wfile("out/result.tif"));
    const RunSettings settings = unusualSettings();
    std::wstring mask;
    fs::create_directory(m_dir.file("proj"));
    ASSERT_TRUE(saveProject(m_dir.wfile("proj/night.vlp"), files, settings, {SkyRegionMode::Gradient}, mask));

    LoadedProject loaded;
    ASSERT_TRUE(loadProject(m_dir.wfile("proj/night.vlp"), loaded));
    EXPECT_EQ(loaded.files.base(), files.base());
    EXPECT_FALSE(loaded.files.baseAutomatic());
    for (Category category : {Category::Star, Category::Noise, Category::Vignetting})
        EXPECT_EQ(loaded.files.list(category).files(), files.list(category).files());
    EXPECT_EQ(loaded.files.output(), files.output());
    EXPECT_EQ(loaded.settings.skyRegionMode, SkyRegionMode::Gradient);
    EXPECT_EQ(loaded.tool, SkyTool::Gradient);
    EXPECT_EQ(loaded.settings.gradient, settings.gradient);

    // Any option read back wrong, or not at all, changes the second file.
    std::wstring secondMask;
    ASSERT_TRUE(saveProject(m_dir.wfile("proj/again.vlp"), loaded.files, loaded.settings, {SkyRegionMode::Gradient},
                            secondMask));
    EXPECT_EQ(veltest::readBytes(m_dir.file("proj/again.vlp")), veltest::readBytes(m_dir.file("proj/night.vlp")));
}

TEST_F(ProjectFile, WritesEveryElementInItsOrderWithBothPathForms)
{
    FileTreeModel files;
    files.setBase(image("img/base.tif"));
    files.addFiles(Category::Star, {image("img/s.tif")}, true);
    files.addFiles(Category::Noise, {image("img/d.tif")}, true);
    files.addFiles(Category::Vignetting, {image("img/f.tif")}, true);
    files.setOutput(m_dir.wfile("img/out.tif"));
    MaskImage painted;
    painted.width = 2;
    painted.height = 1;
    painted.rgb = {0, 255, 0, 0, 0, 0};
    std::wstring mask;
    fs::create_directory(m_dir.file("p"));
    ASSERT_TRUE(saveProject(m_dir.wfile("p/night.vlp"), files, RunSettings(), {SkyRegionMode::IrregularMask, &painted},
                            mask));
    const std::string text = veltest::readBytes(m_dir.file("p/night.vlp"));
    const std::vector<std::string> expected = {
        "BaseImage", "StarImage", "NoiseImage", "VignettingImage", "Output", "UnifyExposure",
        "HomogenizeVignetting", "CompositionMode", "IntegrationMode", "SigmaIndex", "FreezeGroundSelective",
        "DumpAsLinear", "TrailsMotionEffect", "AutoBrightness", "HDR", "RemoveHotPixels", "MergePixels",
        "DistortionCorrection", "ReducePollution", "ReducePollutionMode", "ReducePollutionStrength",
        "AggressiveSuppression", "EnhanceStars", "EnhanceStarsStrength", "StarBound", "GradientRegion", "Mask",
        "SkyRegionMode", "TimeLapse", "TimeLapseFrames", "ColorSpace"};
    EXPECT_EQ(elementNames(text), expected) << text;
    for (const char* part : {"<RelativePath>..\\img\\s.tif</RelativePath>", "<IntegrationMode max=\"3\">0</IntegrationMode>",
                             "<TimeLapseFrames max=\"30\">5</TimeLapseFrames>", "<X1>0.000000</X1>",
                             "<FreezeGroundSelective>true</FreezeGroundSelective>",
                             "<RelativePath>night.mask.png</RelativePath>", "<SkyRegionMode max=\"3\">3</SkyRegionMode>"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    // The absolute form, with backslashes, of a file the project found.
    const std::string absolute = m_dir.file("img/s.tif");
    std::string dos = absolute;
    std::replace(dos.begin(), dos.end(), '/', '\\');
    EXPECT_NE(text.find("<AbsolutePath>" + dos + "</AbsolutePath>"), std::string::npos) << text;
    EXPECT_EQ(text.find("out.tif</AbsolutePath>"), std::string::npos);  // only images carry one
}

TEST_F(ProjectFile, ReadsOnlyExactSwitchesAndNumbersInRange)
{
    const LoadedProject project = loadXml(
        "<UnifyExposure>TRUE</UnifyExposure><HDR>true</HDR><AutoBrightness> true</AutoBrightness>"
        "<TimeLapseFrames>2</TimeLapseFrames><TimeLapseFrames>1</TimeLapseFrames><TimeLapseFrames>31</TimeLapseFrames>"
        "<SigmaIndex>3</SigmaIndex><SigmaIndex>-1</SigmaIndex><SigmaIndex>4294967297</SigmaIndex>"
        "<IntegrationMode>2x</IntegrationMode><ColorSpace>2</ColorSpace><ColorSpace>1</ColorSpace>"
        "<HomogenetizeVignetting>true</HomogenetizeVignetting><DistrotionCorrection>2</DistrotionCorrection>"
        "<StarBound><X1>0.1</X1><Y1>0.2</Y1><X2>0.3</X2></StarBound>"
        "<GradientRegion><X1>0.1</X1><Y1>0.2</Y1><X2>0.3</X2><Y2>x</Y2><Height>0.5</Height></GradientRegion>"
        "<GradientRegion><X1>0.1</X1><Y1>0.2</Y1><X2>nan</X2><Y2>0.4</Y2><Height>0.5</Height></GradientRegion>"
        "<Unknown>7</Unknown><EnhanceStars>false</EnhanceStars>");
    const RunSettings& s = project.settings;
    EXPECT_FALSE(s.unifyExposure);  // the comparison is case-sensitive
    EXPECT_TRUE(s.hdr);
    EXPECT_FALSE(s.autoBrightness);
    EXPECT_EQ(s.timeLapseFrames, 2);
    EXPECT_EQ(s.sigmaIndex, 3);
    EXPECT_EQ(s.integrationMode, 0);
    EXPECT_EQ(s.colorSpace, 1);  // a later value overrides an earlier one
    EXPECT_TRUE(s.homogenizeVignetting);
    EXPECT_EQ(s.distortionCorrection, 2);
    EXPECT_EQ(s.starBound, (std::array<float, 4>{}));
    EXPECT_EQ(s.gradient, (std::array<float, 5>{}));
    EXPECT_EQ(s.reducePollutionMode, 0);  // files without the mode mean "Deep sky"
    EXPECT_EQ(project.tool, SkyTool::Brush);

    const LoadedProject edges =
        loadXml("<TimeLapseFrames>30</TimeLapseFrames><SigmaIndex>0</SigmaIndex><ReducePollutionMode>1</ReducePollutionMode>");
    EXPECT_EQ(edges.settings.timeLapseFrames, 30);
    EXPECT_EQ(edges.settings.sigmaIndex, 0);
    EXPECT_EQ(edges.settings.reducePollutionMode, 1);
}

TEST_F(ProjectFile, RefusesWhatIsNoProjectAndKeepsTheCallersState)
{
    FileTreeModel files;
    files.addFiles(Category::Star, {image("s.tif")}, true);
    std::wstring mask;
    ASSERT_TRUE(saveProject(m_dir.wfile("good.vlp"), files, RunSettings(), {}, mask));
    const std::string good = veltest::readBytes(m_dir.file("good.vlp"));

    std::string nested;
    for (int i = 0; i < 100000; ++i)
        nested += "<a>";
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"root.vlp", "<?xml version=\"1.0\"?><OtherProject><HDR>true</HDR></OtherProject>"},
        {"cut.vlp", good.substr(0, good.size() / 2)},
        {"binary.vlp", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe", 18)},
        {"empty.vlp", ""},
        {"entities.vlp", "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;\">]>"
                         "<VelostarProject>&b;</VelostarProject>"},
        {"deep.vlp", "<VelostarProject>" + nested},
    };
    for (const auto& [name, bytes] : bad)
        ASSERT_TRUE(veltest::writeBytes(m_dir.file(name), bytes));
    // Larger than any project: refused by its size, without reading it.
    { std::ofstream huge(m_dir.file("huge.vlp")); }
    fs::resize_file(m_dir.file("huge.vlp"), 100u << 20);
    fs::create_directory(m_dir.file("folder.vlp"));

    LoadedProject kept;
    kept.settings.hdr = true;
    kept.files.setOutput(L"/kept.tif");
    for (const char* name : {"root.vlp", "cut.vlp", "binary.vlp", "empty.vlp", "entities.vlp", "deep.vlp", "huge.vlp",
                             "folder.vlp", "missing.vlp"}) {
        std::string reason;
        EXPECT_FALSE(loadProject(m_dir.wfile(name), kept, &reason)) << name;
        EXPECT_FALSE(reason.empty()) << name;
        EXPECT_TRUE(kept.settings.hdr) << name;
        EXPECT_EQ(kept.files.output(), std::optional<std::wstring>(L"/kept.tif")) << name;
    }
    std::string reason;
    loadProject(m_dir.wfile("missing.vlp"), kept, &reason);
    EXPECT_EQ(reason, "No such file or directory");
}

TEST_F(ProjectFile, MovedFolderKeepsItsImagesThroughRelativePaths)
{
    FileTreeModel files;
    files.addFiles(Category::Star, {image("job/img/a.tif"), image("job/img/b.tif")}, true);
    files.setOutput(m_dir.wfile("job/out/r.tif"));
    std::wstring mask;
    fs::create_directory(m_dir.file("job/p"));
    ASSERT_TRUE(saveProject(m_dir.wfile("job/p/night.vlp"), files, RunSettings(), {}, mask));

    // The project moved alone: the absolute paths still find the images.
    fs::create_directories(m_dir.file("elsewhere/deeper"));
    fs::copy_file(m_dir.file("job/p/night.vlp"), m_dir.file("elsewhere/deeper/night.vlp"));
    LoadedProject alone;
    ASSERT_TRUE(loadProject(m_dir.wfile("elsewhere/deeper/night.vlp"), alone));
    EXPECT_EQ(alone.files.list(Category::Star).files(), files.list(Category::Star).files());

    // The folder moved with its images: relative paths lead into the new place.
    fs::rename(m_dir.file("job"), m_dir.file("moved"));
    LoadedProject moved;
    ASSERT_TRUE(loadProject(m_dir.wfile("moved/p/night.vlp"), moved));
    EXPECT_EQ(moved.files.list(Category::Star).files(),
              (std::vector<std::wstring>{m_dir.wfile("moved/img/a.tif"), m_dir.wfile("moved/img/b.tif")}));
    EXPECT_EQ(moved.files.output(), std::optional<std::wstring>(m_dir.wfile("moved/out/r.tif")));

    // Images that are nowhere are left out; forward slashes read as well as backslashes.
    const LoadedProject mixed = loadXml("<StarImage><RelativePath>moved/img/a.tif</RelativePath></StarImage>"
                                        "<StarImage><RelativePath>gone.tif</RelativePath>"
                                        "<AbsolutePath>\\nowhere\\gone.tif</AbsolutePath></StarImage>");
    EXPECT_EQ(mixed.files.list(Category::Star).files(), std::vector<std::wstring>{m_dir.wfile("moved/img/a.tif")});
}

TEST_F(ProjectFile, TrustsRelativePathsOnceMoreThanTwentyWereFound)
{
    auto stars = [&](const std::string& prefix, int existing, int missing) {
        std::string body;
        for (int i = 0; i < existing + missing; ++i) {
            const std::string name = prefix + std::to_string(100 + i) + ".tif";
            if (i < existing)
                image(name);
            body += "<StarImage><RelativePath>" + name + "</RelativePath></StarImage>";
        }
        return loadXml(body).files.list(Category::Star).fileCount();
    };
    // After 21 found, the 22nd is taken without looking; after 20, the 21st is still looked at.
    EXPECT_EQ(stars("a", 21, 2), 23u);
    EXPECT_EQ(stars("b", 20, 1), 20u);
}

TEST_F(ProjectFile, BrushMaskIsWrittenBesideTheProjectAndDeletedWhenUnused)
{
    FileTreeModel files;
    files.setBase(image("base.tif"));
    MaskImage painted;
    painted.width = 3;
    painted.height = 2;
    painted.rgb = {0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::wstring mask;
    ASSERT_TRUE(saveProject(m_dir.wfile("night.vlp"), files, RunSettings(), {SkyRegionMode::IrregularMask, &painted},
                            mask));
    EXPECT_EQ(mask, m_dir.wfile("night.mask.png"));
    EXPECT_EQ(loadMaskPng(m_dir.file("night.mask.png")).rgb, painted.rgb);

    LoadedProject loaded;
    ASSERT_TRUE(loadProject(m_dir.wfile("night.vlp"), loaded));
    EXPECT_EQ(loaded.tool, SkyTool::Brush);
    EXPECT_EQ(loaded.settings.skyRegionMode, SkyRegionMode::IrregularMask);
    EXPECT_EQ(loaded.maskFile, mask);

    ASSERT_TRUE(saveProject(m_dir.wfile("night.vlp"), files, RunSettings(), {SkyRegionMode::None}, loaded.maskFile));
    EXPECT_TRUE(loaded.maskFile.empty());
    EXPECT_FALSE(fs::exists(m_dir.file("night.mask.png")));

    // A mask that cannot be written leaves the project without a sky region.
    fs::create_directory(m_dir.file("locked.mask.png"));
    ASSERT_TRUE(saveProject(m_dir.wfile("locked.vlp"), files, RunSettings(), {SkyRegionMode::IrregularMask, &painted},
                            mask));
    EXPECT_TRUE(mask.empty());
    EXPECT_NE(veltest::readBytes(m_dir.file("locked.vlp")).find("<SkyRegionMode max=\"3\">0</SkyRegionMode>"),
              std::string::npos);

    // A mask file named by a project read earlier is not this project's to delete.
    const std::wstring foreign = image("photo.png");
    std::wstring remembered = foreign;
    ASSERT_TRUE(saveProject(m_dir.wfile("night.vlp"), files, RunSettings(), {SkyRegionMode::None}, remembered));
    EXPECT_TRUE(fs::exists(m_dir.file("photo.png")));
    EXPECT_TRUE(remembered.empty());
}

TEST_F(ProjectFile, SkyRegionToolFollowsTheModeOrTheShapesOfOlderFiles)
{
    const std::string gradient =
        "<GradientRegion><X1>0.1</X1><Y1>0.2</Y1><X2>0.9</X2><Y2>0.3</Y2><Height>0.25</Height></GradientRegion>";
    const std::string bound = "<StarBound><X1>0</X1><Y1>0.5</Y1><X2>1</X2><Y2>0.5</Y2></StarBound>";
    struct Case {
        std::string body;
        SkyTool tool;
        SkyRegionMode mode;
    };
    const Case cases[] = {
        {bound + "<SkyRegionMode>1</SkyRegionMode>", SkyTool::BoundaryLine, SkyRegionMode::BoundaryLine},
        {gradient + "<SkyRegionMode>2</SkyRegionMode>", SkyTool::Gradient, SkyRegionMode::Gradient},
        // A stored mode whose shape is missing selects the brush.
        {gradient + "<SkyRegionMode>1</SkyRegionMode>", SkyTool::Brush, SkyRegionMode::BoundaryLine},
        {"<SkyRegionMode>3</SkyRegionMode><Mask><RelativePath>none.png</RelativePath></Mask>", SkyTool::Brush,
         SkyRegionMode::IrregularMask},
        // Files from before the mode was stored: the gradient first, then the line.
        {bound + gradient, SkyTool::Gradient, SkyRegionMode::Gradient},
        {bound, SkyTool::BoundaryLine, SkyRegionMode::BoundaryLine},
        {"", SkyTool::Brush, SkyRegionMode::None},
    };
    for (const Case& c : cases) {
        const LoadedProject project = loadXml(c.body);
        EXPECT_EQ(project.tool, c.tool) << c.body;
        EXPECT_EQ(project.settings.skyRegionMode, c.mode) << c.body;
        EXPECT_TRUE(project.maskFile.empty()) << c.body;  // none.png does not exist
    }
}

// What the panels and the tree show after a reload is what they showed when the project was saved,
// for each sky-region tool chosen in the panel.
TEST_F(ProjectFile, ReloadShowsThePanelsAndTreeAsSaved)
{
    programTexts().fill(Language::English);
    FileTreeModel files;
    files.addFiles(Category::Star, {image("a.tif"), image("b.tif"), image("c.tif")}, true);
    MaskImage painted;
    painted.width = 1;
    painted.height = 1;
    painted.rgb = {255, 255, 255};
    for (const int toolControl : {ctl::BoundaryLine, ctl::Gradient, ctl::IrregularMask}) {
        RunSettings settings = unusualSettings();
        SkyRegionState sky;
        sky.maskPainted = true;
        OptionContext saved{settings, files, sky};
        changeControl(ctl::AlignStars, 1, saved);
        changeControl(ctl::Uneven, 1, saved);
        changeControl(ctl::PollutionStrength, 1, saved);
        changeControl(toolControl, 1, saved);
        std::wstring maskFile;
        const ProjectSkyRegion region{skyRegionMode(sky, settings), &painted};
        ASSERT_TRUE(saveProject(m_dir.wfile("night.vlp"), files, settings, region, maskFile));

        LoadedProject loaded;
        ASSERT_TRUE(loadProject(m_dir.wfile("night.vlp"), loaded));
        SkyRegionState loadedSky;
        loadedSky.tool = loaded.tool;
        loadedSky.maskPainted = !loaded.maskFile.empty();
        OptionContext reloaded{loaded.settings, loaded.files, loadedSky};
        EXPECT_EQ(skyRegionMode(loadedSky, loaded.settings), region.mode) << toolControl;
        for (int control = ctl::ResetMask; control <= ctl::TimeLapseFrames; ++control) {
            const ControlState before = controlState(control, saved);
            const ControlState after = controlState(control, reloaded);
            EXPECT_EQ(std::tie(before.enabled, before.shown, before.value), std::tie(after.enabled, after.shown, after.value))
                << "tool " << toolControl << ", control " << control;
        }
        for (ParamItem item : kTopLevelItems)
            EXPECT_EQ(itemLabel(item, reloaded), itemLabel(item, saved)) << static_cast<int>(item);
        EXPECT_EQ(itemLabel(ParamItem::Integration, reloaded), itemLabel(ParamItem::Integration, saved));
    }
}
