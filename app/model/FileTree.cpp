#include "FileTree.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace velapp {

namespace {

constexpr size_t kStarLimit = 20;
constexpr size_t kCalibrationLimit = 5;
constexpr size_t kStarsBeforeCalibrationChoice = 4;

bool matchesFirst(const std::vector<FileEntry>& entries, const std::wstring& path, size_t window)
{
    size_t seen = 0;
    for (const FileEntry& entry : entries) {
        for (const auto& existing : entry.paths) {
            if (seen++ >= window)
                return false;
            if (existing == path)
                return true;
        }
    }
    return false;
}

}  // namespace

bool FileList::add(const std::wstring& path, size_t duplicateWindow)
{
    if (duplicateWindow > 0 && matchesFirst(m_entries, path, duplicateWindow))
        return false;
    if (m_entries.size() < m_limit) {
        if (!m_entries.empty() && m_entries.front().group)
            m_entries.front().paths.push_back(path);
        else
            m_entries.push_back(FileEntry{{path}, false});
        return true;
    }
    FileEntry group{files(), true};
    group.paths.push_back(path);
    m_entries.clear();
    m_entries.push_back(std::move(group));
    return true;
}

void FileList::removeEntry(size_t index)
{
    if (index < m_entries.size())
        m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
}

std::vector<std::wstring> FileList::files() const
{
    std::vector<std::wstring> out;
    out.reserve(fileCount());
    for (const FileEntry& entry : m_entries)
        out.insert(out.end(), entry.paths.begin(), entry.paths.end());
    return out;
}

size_t FileList::fileCount() const
{
    size_t count = 0;
    for (const FileEntry& entry : m_entries)
        count += entry.paths.size();
    return count;
}

std::wstring fileNameOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring fileStemOf(const std::wstring& path)
{
    std::wstring name = fileNameOf(path);
    const size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos && dot > 0)
        name.erase(dot);
    return name;
}

size_t middleIndex(size_t count)
{
    if (count == 0)
        return 0;
    return count % 2 == 1 ? count / 2 : count / 2 - 1;
}

FileTreeModel::FileTreeModel() : m_stars(kStarLimit), m_noise(kCalibrationLimit), m_vignetting(kCalibrationLimit) {}

FileList& FileTreeModel::list(Category category)
{
    return const_cast<FileList&>(std::as_const(*this).list(category));
}

const FileList& FileTreeModel::list(Category category) const
{
    switch (category) {
    case Category::Star: return m_stars;
    case Category::Noise: return m_noise;
    case Category::Vignetting: return m_vignetting;
    case Category::Base:
    case Category::Output: break;
    }
    throw std::invalid_argument("category holds no file list");
}

size_t FileTreeModel::addFiles(Category category, const std::vector<std::wstring>& paths, bool checkDuplicates)
{
    FileList& files = list(category);
    size_t added = 0;
    for (const auto& path : paths) {
        if (files.add(path, checkDuplicates ? files.fileCount() : 0))
            ++added;
    }
    if (category == Category::Star)
        updateAutomaticBase();
    return added;
}

void FileTreeModel::removeEntry(Category category, size_t index)
{
    FileList& files = list(category);
    if (index >= files.entries().size())
        return;
    const FileEntry& entry = files.entries()[index];
    const bool dropsBase = category == Category::Star && m_baseAutomatic &&
                           (entry.group || (m_base && entry.paths.front() == *m_base));
    files.removeEntry(index);
    if (dropsBase)
        clearBase();
    if (category == Category::Star)
        updateAutomaticBase();
}

void FileTreeModel::removeAll(Category category)
{
    list(category).clear();
    if (category == Category::Star && m_baseAutomatic)
        clearBase();
}

void FileTreeModel::setBase(const std::wstring& path)
{
    m_base = path;
    m_baseAutomatic = false;
}

void FileTreeModel::clearBase()
{
    m_base.reset();
    m_baseAutomatic = false;
}

void FileTreeModel::updateAutomaticBase()
{
    if (m_stars.empty() || (m_base && !m_baseAutomatic))
        return;
    std::vector<std::pair<std::wstring, std::wstring>> named;  // (name, path)
    for (auto& path : m_stars.files())
        named.emplace_back(fileNameOf(path), std::move(path));
    std::stable_sort(named.begin(), named.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    m_base = named[middleIndex(named.size())].second;
    m_baseAutomatic = true;
}

std::wstring FileTreeModel::baseLabel() const
{
    if (!m_base)
        return {};
    const std::wstring name = fileNameOf(*m_base);
    return m_baseAutomatic ? L"(" + name + L")" : name;
}

void FileTreeModel::clear()
{
    m_stars.clear();
    m_noise.clear();
    m_vignetting.clear();
    clearBase();
    clearOutput();
}

int dropCategoryChoice(const FileTreeModel& model)
{
    if (model.list(Category::Star).fileCount() < kStarsBeforeCalibrationChoice)
        return 0;
    if (model.list(Category::Noise).empty())
        return 1;
    if (model.list(Category::Vignetting).empty())
        return 2;
    return 0;
}

Category dropChoiceCategory(int choice)
{
    switch (choice) {
    case 1: return Category::Noise;
    case 2: return Category::Vignetting;
    default: return Category::Star;
    }
}

}  // namespace velapp
