#include <gtest/gtest.h>

#include "CliTestSupport.h"
#include "ProjectFile.h"
#include "support/TempDir.h"

using velcli::CliOptions;

TEST(CliOptions, BadUsageExits64NamingTheArgument)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-o", "x.tif", "--sigma", "11", "b.tif"}, "--sigma"},
        {{"-o", "x.tif", "--sigma", "0.4", "b.tif"}, "--sigma"},
        {{"-o", "x.tif", "--mode", "fast", "b.tif"}, "--mode"},
        {{"-o", "x.tif", "--pollution", "dark", "b.tif"}, "--pollution"},
        {{"-o", "x.tif", "--pollution", "deep", "--pollution-strength", "3", "b.tif"}, "--pollution-strength"},
        {{"-o", "x.tif", "--pollution-strength", "1", "b.tif"}, "--pollution"},
        {{"-o", "x.tif", "--distortion", "fisheye", "b.tif"}, "--distortion"},
        {{"-o", "x.tif", "--color-space", "cmyk", "b.tif"}, "--color-space"},
        {{"-o", "x.tif", "--time-lapse", "-1", "b.tif"}, "--time-lapse"},
        {{"-o", "x.tif", "--enhance-stars", "-1", "b.tif"}, "--enhance-stars"},
        {{"-o", "x.tif", "--enhance-stars", "nan", "b.tif"}, "--enhance-stars"},
        {{"-o", "x.tif", "--boundary", "1,2,3", "b.tif"}, "--boundary"},
        {{"-o", "x.tif", "--boundary", "1,2,x,4", "b.tif"}, "--boundary"},
        {{"-o", "x.tif", "--boundary", "1,2,1,2", "b.tif"}, "--boundary"},
        {{"-o", "x.tif", "--gradient", "0,0,1,1", "b.tif"}, "--gradient"},
        {{"-o", "x.tif", "--gradient", "0,0,1,1,0", "b.tif"}, "--gradient"},
        {{"-o", "x.tif", "--boundary", "0,0,1,1", "--mask", "m.png", "b.tif"}, "--mask"},
        {{"-o", "x.tif", "--auto-mask", "--mask", "m.png", "b.tif"}, "--auto-mask"},
        {{"-o", "x.tif", "--save-mask", "m.png", "b.tif"}, "--save-mask"},
        {{"-o", "x.tif", "--auto-mask", "--save-mask", "m.tif", "b.tif"}, "--save-mask"},
        {{"-o", "x.tif", "--align-linear", "--no-align-linear", "b.tif"}, "align-linear"},
        {{"-o", "x.tif", "--bogus", "b.tif"}, "--bogus"},
        {{"b.tif", "s.tif"}, "--output"},
        {{"-o", "x.tif"}, "BASE"},
        {{"missing.vlp"}, "missing.vlp: cannot open the project"},
        {{"-o", "x.tif", "--sigma"}, "--sigma"},
    };
    for (const auto& [words, name] : cases) {
        velcli::CliOptions o;
        const auto result = parseWords(words, o);
        std::string line;
        for (const auto& word : words)
            line += word + " ";
        EXPECT_FALSE(result.run) << line;
        EXPECT_EQ(result.exitCode, 64) << line;
        EXPECT_NE(result.error.find(name), std::string::npos) << line << "-> " << result.error;
        EXPECT_EQ(result.error.find('\n'), std::string::npos) << result.error;
    }
}

TEST(CliOptions, ProjectSetsTheRunAndOptionsBesideItOverrideIt)
{
    veltest::TempDir dir;
    velapp::FileTreeModel files;
    for (const char* name : {"b.tif", "a.tif", "c.tif", "d.tif"})
        ASSERT_TRUE(veltest::writeBytes(dir.file(name), "image"));
    files.addFiles(velapp::Category::Star, {dir.wfile("b.tif"), dir.wfile("a.tif"), dir.wfile("c.tif")}, true);
    files.addFiles(velapp::Category::Noise, {dir.wfile("d.tif")}, true);
    files.setOutput(dir.wfile("r.tif"));
    velapp::RunSettings settings;
    settings.hdr = true;
    settings.sigmaIndex = 4;
    settings.reducePollution = true;
    settings.starBound = {0.0f, 0.6f, 1.0f, 0.4f};
    std::wstring mask;
    ASSERT_TRUE(velapp::saveProject(dir.wfile("Night.VLP"), files, settings, {velapp::SkyRegionMode::BoundaryLine}, mask));

    CliOptions o;
    auto result = parseWords({"--quiet", dir.file("Night.VLP")}, o);
    ASSERT_TRUE(result.run) << result.error;
    EXPECT_EQ(o.project, dir.file("Night.VLP"));
    // The middle star by name is the base, as in the desktop program.
    EXPECT_EQ(o.base, dir.file("b.tif"));
    EXPECT_EQ(o.stars, (std::vector<std::string>{dir.file("a.tif"), dir.file("c.tif")}));
    EXPECT_EQ(o.noise, std::vector<std::string>{dir.file("d.tif")});
    EXPECT_EQ(o.output, dir.file("r.tif"));
    EXPECT_TRUE(o.hdr);
    EXPECT_FLOAT_EQ(o.sigma, 1.4f);
    EXPECT_EQ(o.pollutionKind, 2);
    EXPECT_FALSE(o.removeHotPixels);  // the project's value, not the command line's default
    ASSERT_TRUE(o.boundary);
    EXPECT_EQ(*o.boundary, settings.starBound);

    CliOptions changed;
    result = parseWords({"--no-hdr", "--pollution", "off", "--sigma", "3", "--mask", "m.png", "-o", "x.jpg",
                         dir.file("Night.VLP")},
                        changed);
    ASSERT_TRUE(result.run) << result.error;
    EXPECT_FALSE(changed.hdr);
    EXPECT_EQ(changed.pollutionKind, 0);
    EXPECT_FLOAT_EQ(changed.sigma, 3.0f);
    EXPECT_EQ(changed.output, "x.jpg");
    EXPECT_EQ(changed.mask, "m.png");
    EXPECT_FALSE(changed.boundary);  // a region given here replaces the project's
    EXPECT_EQ(changed.base, o.base);

    // The estimate replaces the project's region too.
    CliOptions estimated;
    result = parseWords({"--auto-mask", "--save-mask", "sky.png", dir.file("Night.VLP")}, estimated);
    ASSERT_TRUE(result.run) << result.error;
    EXPECT_TRUE(estimated.autoMask);
    EXPECT_FALSE(estimated.boundary);
    EXPECT_EQ(estimated.saveMask, "sky.png");

    CliOptions refused;
    result = parseWords({dir.file("Night.VLP"), dir.file("a.tif")}, refused);
    EXPECT_EQ(result.exitCode, 64);  // a project brings its own images
    EXPECT_NE(result.error.find("a.tif"), std::string::npos) << result.error;
}

TEST(CliOptions, HelpAndVersionExitZero)
{
    CliOptions o;
    auto result = parseWords({"--help"}, o);
    EXPECT_FALSE(result.run);
    EXPECT_EQ(result.exitCode, 0);
    for (const char* flag : {"--output", "--noise", "--vignetting", "--trails", "--mode", "--sigma", "--freeze-selective",
                             "--no-align-linear", "--motion-effect", "--auto-brightness", "--hdr", "--merge-pixels",
                             "--unify-exposure", "--homogenize", "--no-remove-hot-pixels", "--pollution-strength",
                             "--aggressive", "--enhance-stars", "--distortion", "--time-lapse", "--color-space",
                             "--boundary", "--gradient", "--mask", "--report", "--quiet", "--version"})
        EXPECT_NE(result.out.find(flag), std::string::npos) << flag;
    result = parseWords({"--version"}, o);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "velostar-cli 1.6.2\n");
}
