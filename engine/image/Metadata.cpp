#include "image/Metadata.h"

#include <algorithm>

namespace velimage {

MetadataEntry& MetadataList::slot(uint16_t tag, MetadataEntry::Type type)
{
    const uint32_t key = static_cast<uint32_t>(tag) << 8 | type;
    for (auto& entry : m_entries) {
        if (entry.tag() == tag) {
            entry = MetadataEntry{};
            entry.key = key;
            return entry;
        }
    }
    m_entries.push_back(MetadataEntry{});
    m_entries.back().key = key;
    return m_entries.back();
}

void MetadataList::setText(uint16_t tag, std::string value) { slot(tag, MetadataEntry::Text).text = std::move(value); }
void MetadataList::setFloat(uint16_t tag, float value) { slot(tag, MetadataEntry::Float).number = value; }
void MetadataList::setShort(uint16_t tag, uint16_t value) { slot(tag, MetadataEntry::Short).shortValue = value; }

void MetadataList::remove(uint16_t tag)
{
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [tag](const MetadataEntry& e) { return e.tag() == tag; }),
                    m_entries.end());
}

const MetadataEntry* MetadataList::find(uint16_t tag) const
{
    for (const auto& entry : m_entries)
        if (entry.tag() == tag)
            return &entry;
    return nullptr;
}

bool MetadataList::findFloat(uint16_t tag, float& value) const
{
    const MetadataEntry* entry = find(tag);
    if (!entry || entry->type() != MetadataEntry::Float)
        return false;
    value = entry->number;
    return true;
}

bool MetadataList::findShort(uint16_t tag, uint16_t& value) const
{
    const MetadataEntry* entry = find(tag);
    if (!entry || entry->type() != MetadataEntry::Short)
        return false;
    value = entry->shortValue;
    return true;
}

}  // namespace velimage
