#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The file tree of the main window without its widgets: the image files of each category, the
// base image and the output. UI thread only.
namespace velapp {

// Top-level items of the tree, in the order shown.
enum class Category { Star, Base, Noise, Vignetting, Output };

// One tree item of a multi-file category: a single file, or a collapsed group shown as "(N) files".
struct FileEntry {
    std::vector<std::wstring> paths;
    bool group = false;
};

// The files of the star, noise or vignetting category. Up to `limit` items are shown one by one;
// one more collapses the whole category into a single group that then takes every later file.
class FileList {
public:
    explicit FileList(size_t limit) : m_limit(limit) {}

    // Appends `path` unless it equals (case-sensitively) one of the first `duplicateWindow` files.
    bool add(const std::wstring& path, size_t duplicateWindow);
    void removeEntry(size_t index);
    void clear() { m_entries.clear(); }

    const std::vector<FileEntry>& entries() const { return m_entries; }
    std::vector<std::wstring> files() const;
    size_t fileCount() const;
    bool empty() const { return m_entries.empty(); }
    size_t limit() const { return m_limit; }

private:
    size_t m_limit;
    std::vector<FileEntry> m_entries;
};

// Text after the last "/" (the name with its extension).
std::wstring fileNameOf(const std::wstring& path);
// The name without folder and without the part from its last ".".
std::wstring fileStemOf(const std::wstring& path);
// Position of the base among n files ordered by name: the middle one, the lower of two middles.
size_t middleIndex(size_t count);

class FileTreeModel {
public:
    FileTreeModel();

    FileList& list(Category category);
    const FileList& list(Category category) const;

    // Adds a batch in order. With `checkDuplicates` every file already in the category (those of
    // this batch included) is compared; project loads skip the check. Returns the number added.
    size_t addFiles(Category category, const std::vector<std::wstring>& paths, bool checkDuplicates);
    // Removes one item of a multi-file category; for stars this may move the automatic base.
    void removeEntry(Category category, size_t index);
    void removeAll(Category category);

    const std::optional<std::wstring>& base() const { return m_base; }
    bool baseAutomatic() const { return m_baseAutomatic; }
    void setBase(const std::wstring& path);
    void clearBase();
    // Picks the middle star file (names with extension, case-sensitive order) as the base when
    // there are stars and the user has not chosen a base of their own.
    void updateAutomaticBase();

    const std::optional<std::wstring>& output() const { return m_output; }
    void setOutput(const std::wstring& path) { m_output = path; }
    void clearOutput() { m_output.reset(); }

    // Tree label of the base item: its name, in parentheses when chosen automatically.
    std::wstring baseLabel() const;

    void clear();

private:
    FileList m_stars;
    FileList m_noise;
    FileList m_vignetting;
    std::optional<std::wstring> m_base;
    bool m_baseAutomatic = false;
    std::optional<std::wstring> m_output;
};

// Category preselected in the drop dialog (index into star, noise, vignetting): stars until there
// are four, then the first empty calibration category.
int dropCategoryChoice(const FileTreeModel& model);
Category dropChoiceCategory(int choice);

}  // namespace velapp
