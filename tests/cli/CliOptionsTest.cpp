#include <gtest/gtest.h>

#include "CliTestSupport.h"

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
        {{"-o", "x.tif", "--align-linear", "--no-align-linear", "b.tif"}, "align-linear"},
        {{"-o", "x.tif", "--bogus", "b.tif"}, "--bogus"},
        {{"b.tif", "s.tif"}, "--output"},
        {{"-o", "x.tif"}, "BASE"},
        {{"night.vlp"}, "night.vlp"},
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

TEST(CliOptions, ProjectFileIsRecognisedButNotReadYet)
{
    CliOptions o;
    const auto result = parseWords({"--hdr", "/data/Night.VLP"}, o);
    EXPECT_FALSE(result.run);
    EXPECT_EQ(result.exitCode, 64);
    EXPECT_EQ(o.project, "/data/Night.VLP");
    EXPECT_NE(result.error.find("not supported yet"), std::string::npos);
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
