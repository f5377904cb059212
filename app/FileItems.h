#pragma once

#include <vector>

#include <wx/filename.h>
#include <wx/treebase.h>

// Data of the file tree's items below a category: one file, or a collapsed group of files.
class FileItemData : public wxTreeItemData {
public:
    virtual bool isGroup() const = 0;
};

// One file: its name and the path as it was added.
class AssociatePath : public FileItemData {
public:
    explicit AssociatePath(const wxString& path) : m_name(path), m_path(path) {}

    bool isGroup() const override { return false; }
    wxString description() const { return m_name.GetFullPath(); }
    const wxString& path() const { return m_path; }

private:
    wxFileName m_name;
    wxString m_path;
};

// A collapsed group, shown as one "(N) files" item.
class AssoPathSet : public FileItemData {
public:
    explicit AssoPathSet(std::vector<AssociatePath> members) : m_members(std::move(members)) {}

    bool isGroup() const override { return true; }
    const std::vector<AssociatePath>& members() const { return m_members; }

private:
    std::vector<AssociatePath> m_members;
};
