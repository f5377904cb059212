#include <gtest/gtest.h>

#include "CliTestSupport.h"

using velcli::CliOptions;

TEST(CliOptions, DefaultsAreTheEngineDefaults)
{
    CliOptions o;
    const auto result = parseWords({"-o", "out.tif", "base.tif", "a.tif", "b.tif"}, o);
    ASSERT_TRUE(result.run) << result.error;
    EXPECT_EQ(o.output, "out.tif");
    EXPECT_EQ(o.base, "base.tif");
    EXPECT_EQ(o.stars, (std::vector<std::string>{"a.tif", "b.tif"}));
    EXPECT_FALSE(o.trails);
    EXPECT_EQ(o.integrationMode, 0);
    EXPECT_FLOAT_EQ(o.sigma, 2.0f);
    EXPECT_TRUE(o.dumpAsLinear);
    EXPECT_TRUE(o.removeHotPixels);
    EXPECT_EQ(o.pollutionKind, 0);
    EXPECT_EQ(o.distortion, 0);
    EXPECT_EQ(o.colorSpace, 0);
    EXPECT_EQ(o.timeLapse, 0u);
    EXPECT_FALSE(o.boundary || o.gradient);
    EXPECT_FALSE(o.quiet);
}

TEST(CliOptions, EveryFlagIsParsed)
{
    CliOptions o;
    const auto result = parseWords({"--output", "r.jpg", "--noise", "d1.tif", "--noise", "d2.tif", "--vignetting", "f1.tif",
                                    "--trails", "--mode", "freeze", "--sigma", "3.3", "--freeze-selective",
                                    "--no-align-linear", "--motion-effect", "--auto-brightness", "--hdr",
                                    "--merge-pixels", "--unify-exposure", "--homogenize", "--no-remove-hot-pixels",
                                    "--pollution", "uneven", "--pollution-strength", "-2", "--aggressive",
                                    "--enhance-stars", "1.8", "--distortion", "complex", "--time-lapse", "5",
                                    "--color-space", "adobe", "--boundary", "0.1,0.5,0.9,0.4", "--report", "r.json",
                                    "--quiet", "base.tif", "s.tif"},
                                   o);
    ASSERT_TRUE(result.run) << result.error;
    EXPECT_EQ(o.noise, (std::vector<std::string>{"d1.tif", "d2.tif"}));
    EXPECT_EQ(o.vignetting, (std::vector<std::string>{"f1.tif"}));
    EXPECT_EQ(o.base, "base.tif");
    EXPECT_EQ(o.stars, (std::vector<std::string>{"s.tif"}));
    EXPECT_TRUE(o.trails);
    EXPECT_EQ(o.integrationMode, 2);
    EXPECT_FLOAT_EQ(o.sigma, 3.3f);
    EXPECT_TRUE(o.freezeSelective);
    EXPECT_FALSE(o.dumpAsLinear);
    EXPECT_TRUE(o.motionEffect && o.autoBrightness && o.hdr && o.mergePixels && o.unifyExposure && o.homogenize);
    EXPECT_FALSE(o.removeHotPixels);
    EXPECT_EQ(o.pollutionKind, 2);
    EXPECT_EQ(o.pollutionStrength, -2);
    EXPECT_TRUE(o.aggressive);
    EXPECT_FLOAT_EQ(o.enhanceStars, 1.8f);
    EXPECT_EQ(o.distortion, 2);
    EXPECT_EQ(o.timeLapse, 5u);
    EXPECT_EQ(o.colorSpace, 1);
    ASSERT_TRUE(o.boundary);
    EXPECT_EQ(*o.boundary, (std::array<float, 4>{0.1f, 0.5f, 0.9f, 0.4f}));
    EXPECT_EQ(o.report, "r.json");
    EXPECT_TRUE(o.quiet);

    CliOptions g;
    ASSERT_TRUE(parseWords({"-o", "x.tif", "--gradient", "100,800,3000,700,250", "--mode", "select", "--pollution",
                            "deep", "--distortion", "tele", "--color-space", "linear", "b.tif"},
                           g)
                    .run);
    ASSERT_TRUE(g.gradient);
    EXPECT_EQ(*g.gradient, (std::array<float, 5>{100, 800, 3000, 700, 250}));
    EXPECT_EQ(g.integrationMode, 1);
    EXPECT_EQ(g.pollutionKind, 1);
    EXPECT_EQ(g.distortion, 1);
    EXPECT_EQ(g.colorSpace, 2);
    EXPECT_TRUE(g.stars.empty());
}

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
