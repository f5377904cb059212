#pragma once

#include <string>

#include "FileTree.h"
#include "RunSettings.h"
#include "SkyRegion.h"

// Project files (.vlp): an XML document with the files of the file tree (each relative to the
// project's folder and absolute), every option and the sky region; a painted brush mask goes
// into a PNG file beside it. Any thread, one call at a time per project.
namespace velapp {

// The brush mask file of a project: night.vlp -> night.mask.png in the same folder.
std::wstring maskFileFor(const std::wstring& projectPath);

struct ProjectSkyRegion {
    SkyRegionMode mode = SkyRegionMode::None;  // worked out by skyRegionMode (SkyRegion.h)
    const MaskImage* brushMask = nullptr;      // the painted mask, null when none
};

// Writes `files` and `settings` (their paths other than the output come from `files`; a base
// the program chose itself is not stored, a load chooses it again). `maskFile` is the remembered
// mask file: it becomes the mask written beside the project, or is forgotten when none was
// written (and deleted when it is this project's own). False when `path` is no file name or
// writing failed; an existing project stays intact then.
bool saveProject(const std::wstring& path, const FileTreeModel& files, const RunSettings& settings,
                 const ProjectSkyRegion& sky, std::wstring& maskFile);

// What a project sets up in the main window.
struct LoadedProject {
    FileTreeModel files;
    RunSettings settings;  // the loaded options; skyRegionMode as the file says or older files imply
    SkyTool tool = SkyTool::Brush;                      // the sky-region tool to select
    std::wstring maskFile;                              // the remembered mask file, empty for none
};

// Reads a project: false when the file cannot be read, is larger than any project, is no XML or
// its root is not VelostarProject; `reason` then says why in a few plain words. Missing images
// are left out, unreadable values are ignored one by one.
bool loadProject(const std::wstring& path, LoadedProject& project, std::string* reason = nullptr);
// The same on a document in memory; `path` names the project file its paths are relative to.
bool loadProjectFromBytes(const std::string& bytes, const std::wstring& path, LoadedProject& project,
                          std::string* reason = nullptr);

}  // namespace velapp
