#include "InputCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace velcli {

namespace {

struct Input {
    const char* role;
    const std::string* path;
    struct stat info {};
};

std::vector<Input> inputsOf(const CliOptions& o)
{
    std::vector<Input> inputs;
    auto add = [&](const char* role, const std::string& path) {
        if (!path.empty())
            inputs.push_back(Input{role, &path});
    };
    add("project", o.project);
    add("base image", o.base);
    for (const auto& path : o.stars)
        add("star image", path);
    for (const auto& path : o.noise)
        add("noise image (--noise)", path);
    for (const auto& path : o.vignetting)
        add("vignetting image (--vignetting)", path);
    add("sky mask (--mask)", o.mask);
    return inputs;
}

// Empty when `input` can be read, else why not; fills in its identity.
std::string readProblem(Input& input)
{
    if (::stat(input.path->c_str(), &input.info) != 0)
        return std::strerror(errno);
    if (S_ISDIR(input.info.st_mode))
        return std::strerror(EISDIR);
    const int fd = ::open(input.path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::strerror(errno);
    ::close(fd);
    return {};
}

// The same file: one device and inode when the output exists, else one canonical name.
bool sameFile(const std::string& output, const Input& input)
{
    struct stat info {};
    if (::stat(output.c_str(), &info) == 0)
        return info.st_dev == input.info.st_dev && info.st_ino == input.info.st_ino;
    std::error_code error;
    const auto outputName = std::filesystem::weakly_canonical(output, error);
    if (error)
        return false;
    const auto inputName = std::filesystem::canonical(*input.path, error);
    return !error && outputName == inputName;
}

}  // namespace

std::string checkFiles(const CliOptions& o)
{
    std::vector<Input> inputs = inputsOf(o);
    for (Input& input : inputs) {
        const std::string problem = readProblem(input);
        if (!problem.empty())
            return *input.path + ": cannot read the " + input.role + ": " + problem;
    }
    const std::pair<const char*, const std::string*> outputs[] = {
        {"--output", &o.output}, {"--report", &o.report}, {"--save-mask", &o.saveMask}};
    for (const auto& [option, path] : outputs) {
        if (path->empty())
            continue;
        for (const Input& input : inputs) {
            if (sameFile(*path, input))
                return std::string(option) + ": " + *path + " is the " + input.role + " " + *input.path +
                       "; refusing to overwrite an input";
        }
    }
    return {};
}

}  // namespace velcli
