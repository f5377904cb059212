#pragma once

#include <string>
#include <vector>

#include "CliOptions.h"

// Parses a command line given as words (the program name is added).
inline velcli::ParseResult parseWords(std::vector<std::string> words, velcli::CliOptions& options)
{
    words.insert(words.begin(), "velostar-cli");
    std::vector<const char*> argv;
    for (const auto& word : words)
        argv.push_back(word.c_str());
    return velcli::parseCommandLine(static_cast<int>(argv.size()), argv.data(), options, "velostar-cli 1.6.2");
}
