// Attribute lists: lookup by name and position, typed reads and writes,
// renaming, removal with compaction of the slots, and clones.
#include "common/AttrList.h"

#include <algorithm>
#include <utility>

namespace common {
namespace {
const std::string kNoName;

// Geometric growth, done ahead so that the push_back after it cannot fail.
template <class V>
void ReserveOneMore(V& v)
{
    if (v.size() == v.capacity())
        v.reserve(v.empty() ? 4 : v.size() * 2);
}
} // namespace

// ---- AttrListInnerImpl ----

int32_t AttrListInnerImpl::Count() const { return m_count; }

const AttrValue* AttrListInnerImpl::Find(const std::string& name) const
{
    auto it = m_names.find(name);
    return it == m_names.end() ? nullptr : &m_entries[static_cast<size_t>(it->second)].value;
}

const AttrValue* AttrListInnerImpl::FindAt(int32_t pos) const
{
    return InRange(pos) ? &m_entries[static_cast<size_t>(m_order[static_cast<size_t>(pos)])].value : nullptr;
}

AttrValue* AttrListInnerImpl::FindAt(int32_t pos)
{
    return InRange(pos) ? &m_entries[static_cast<size_t>(m_order[static_cast<size_t>(pos)])].value : nullptr;
}

const std::string& AttrListInnerImpl::NameAt(int32_t pos) const
{
    return InRange(pos) ? m_entries[static_cast<size_t>(m_order[static_cast<size_t>(pos)])].name : kNoName;
}

bool AttrListInnerImpl::Has(const std::string& name) const { return m_names.count(name) != 0; }

int32_t AttrListInnerImpl::KindOf(const std::string& name) const
{
    const AttrValue* v = Find(name);
    return v ? v->Kind() : ATTR_KIND_EMPTY;
}

int32_t AttrListInnerImpl::KindAt(int32_t pos) const
{
    const AttrValue* v = FindAt(pos);
    return v ? v->Kind() : ATTR_KIND_EMPTY;
}

int32_t AttrListInnerImpl::GetInt(const std::string& name, int32_t def) const
{
    const AttrValue* v = Find(name);
    return v ? v->ToInt(def) : def;
}

int32_t AttrListInnerImpl::GetIntAt(int32_t pos, int32_t def) const
{
    const AttrValue* v = FindAt(pos);
    return v ? v->ToInt(def) : def;
}

double AttrListInnerImpl::GetDouble(const std::string& name, double def) const
{
    const AttrValue* v = Find(name);
    return v ? v->ToDouble(def) : def;
}

double AttrListInnerImpl::GetDoubleAt(int32_t pos, double def) const
{
    const AttrValue* v = FindAt(pos);
    return v ? v->ToDouble(def) : def;
}

std::string AttrListInnerImpl::GetString(const std::string& name, const std::string& def) const
{
    const AttrValue* v = Find(name);
    return v ? v->ToString(def) : def;
}

std::string AttrListInnerImpl::GetStringAt(int32_t pos, const std::string& def) const
{
    const AttrValue* v = FindAt(pos);
    return v ? v->ToString(def) : def;
}

AttrValue& AttrListInnerImpl::Slot(const std::string& name)
{
    if (!name.empty()) {
        auto it = m_names.find(name);
        if (it != m_names.end())
            return m_entries[static_cast<size_t>(it->second)].value;
    }
    // Add at the end, reusing the first free slot before growing. Everything
    // that can fail happens before the list changes.
    int32_t slot;
    if (static_cast<size_t>(m_count) < m_order.size()) {
        slot = m_order[static_cast<size_t>(m_count)];
        Entry& e = m_entries[static_cast<size_t>(slot)];
        e.name = name; // the slot is free: a failure here loses nothing
        if (!name.empty())
            m_names.emplace(name, slot);
        e.value.SetNull();
    } else {
        slot = static_cast<int32_t>(m_entries.size());
        Entry e{name, AttrValue()};
        ReserveOneMore(m_entries);
        ReserveOneMore(m_order);
        if (!name.empty())
            m_names.emplace(name, slot);
        m_entries.push_back(std::move(e));
        m_order.push_back(slot);
    }
    ++m_count;
    return m_entries[static_cast<size_t>(slot)].value;
}

void AttrListInnerImpl::SetString(const std::string& name, const std::string& text, bool mark)
{
    Slot(name).SetString(text, mark);
}

void AttrListInnerImpl::SetStringAt(int32_t pos, const std::string& text, bool mark)
{
    if (AttrValue* v = FindAt(pos))
        v->SetString(text, mark);
}

void AttrListInnerImpl::SetDouble(const std::string& name, double value) { Slot(name).SetDouble(value); }

void AttrListInnerImpl::SetDoubleAt(int32_t pos, double value)
{
    if (AttrValue* v = FindAt(pos))
        v->SetDouble(value);
}

void AttrListInnerImpl::SetInt(const std::string& name, int32_t value) { Slot(name).SetInt(value); }

void AttrListInnerImpl::SetIntAt(int32_t pos, int32_t value)
{
    if (AttrValue* v = FindAt(pos))
        v->SetInt(value);
}

void AttrListInnerImpl::SetNull(const std::string& name) { Slot(name).SetNull(); }

void AttrListInnerImpl::SetNullAt(int32_t pos)
{
    if (AttrValue* v = FindAt(pos))
        v->SetNull();
}

void AttrListInnerImpl::Remove(const std::string& name)
{
    auto it = m_names.find(name);
    if (it != m_names.end()) {
        const int32_t slot = it->second;
        m_names.erase(it);
        // Later attributes move up one position; the slot becomes the first
        // free one at the end. Its old name and value stay until reused.
        auto live = m_order.begin() + m_count;
        auto at = std::find(m_order.begin(), live, slot);
        std::rotate(at, at + 1, m_order.end());
        --m_count;
    }
    // Compaction is deferred until fewer than a third of the slots are live.
    if (static_cast<size_t>(m_count) * 3 < m_order.size())
        Compact();
}

void AttrListInnerImpl::Compact() const
{
    if (static_cast<size_t>(m_count) >= m_order.size())
        return;
    std::vector<Entry> entries;
    entries.reserve(static_cast<size_t>(m_count));
    std::vector<int32_t> order;
    order.reserve(static_cast<size_t>(m_count));
    std::map<std::string, int32_t> names;
    for (int32_t p = 0; p < m_count; ++p) {
        Entry& e = m_entries[static_cast<size_t>(m_order[static_cast<size_t>(p)])];
        if (!e.name.empty())
            names.emplace(e.name, p);
        entries.push_back(e);
        order.push_back(p);
    }
    // Only the swaps below change this list, and they cannot fail.
    m_entries.swap(entries);
    m_order.swap(order);
    m_names.swap(names);
}

void AttrListInnerImpl::Clear()
{
    m_count = 0;
    m_names.clear();
    m_entries.clear();
    m_order.clear();
}

AttrListInnerImpl* AttrListInnerImpl::Clone() const
{
    Compact();
    auto* copy = new AttrListInnerImpl;
    try {
        copy->m_order = m_order;
        copy->m_entries = m_entries;
        copy->m_names = m_names;
        copy->m_count = m_count;
    } catch (...) {
        delete copy;
        throw;
    }
    return copy;
}

bool AttrListInnerImpl::RenameSlot(int32_t slot, const std::string& newName)
{
    if (Has(newName))
        return false;
    Entry& e = m_entries[static_cast<size_t>(slot)];
    // An empty name is never indexed: such an attribute is reachable only by
    // position, as when it was added under the empty name.
    if (!newName.empty())
        m_names.emplace(newName, slot);
    if (!e.name.empty())
        m_names.erase(e.name);
    e.name = newName;
    return true;
}

bool AttrListInnerImpl::Rename(const std::string& oldName, const std::string& newName)
{
    auto it = m_names.find(oldName);
    if (it == m_names.end())
        return false;
    return RenameSlot(it->second, newName);
}

bool AttrListInnerImpl::RenameAt(int32_t pos, const std::string& newName)
{
    if (!InRange(pos))
        return false;
    return RenameSlot(m_order[static_cast<size_t>(pos)], newName);
}

// ---- AttrList ----

AttrList::AttrList() : m_attrs(new AttrListInnerImpl) {}

AttrList::AttrList(IAttrList* impl) : m_attrs(impl) {}

int32_t AttrList::Count() const { return m_attrs->Count(); }
const std::string& AttrList::NameAt(int32_t pos) const { return m_attrs->NameAt(pos); }
bool AttrList::Rename(const std::string& oldName, const std::string& newName) { return m_attrs->Rename(oldName, newName); }
bool AttrList::RenameAt(int32_t pos, const std::string& newName) { return m_attrs->RenameAt(pos, newName); }
bool AttrList::Has(const std::string& name) const { return m_attrs->Has(name); }
int32_t AttrList::KindOf(const std::string& name) const { return m_attrs->KindOf(name); }
int32_t AttrList::KindAt(int32_t pos) const { return m_attrs->KindAt(pos); }
int32_t AttrList::GetInt(const std::string& name, int32_t def) const { return m_attrs->GetInt(name, def); }
int32_t AttrList::GetIntAt(int32_t pos, int32_t def) const { return m_attrs->GetIntAt(pos, def); }
double AttrList::GetDouble(const std::string& name, double def) const { return m_attrs->GetDouble(name, def); }
double AttrList::GetDoubleAt(int32_t pos, double def) const { return m_attrs->GetDoubleAt(pos, def); }
std::string AttrList::GetString(const std::string& name, const std::string& def) const { return m_attrs->GetString(name, def); }
std::string AttrList::GetStringAt(int32_t pos, const std::string& def) const { return m_attrs->GetStringAt(pos, def); }
void AttrList::SetString(const std::string& name, const std::string& text, bool mark) { m_attrs->SetString(name, text, mark); }
void AttrList::SetStringAt(int32_t pos, const std::string& text, bool mark) { m_attrs->SetStringAt(pos, text, mark); }
void AttrList::SetDouble(const std::string& name, double value) { m_attrs->SetDouble(name, value); }
void AttrList::SetDoubleAt(int32_t pos, double value) { m_attrs->SetDoubleAt(pos, value); }
void AttrList::SetInt(const std::string& name, int32_t value) { m_attrs->SetInt(name, value); }
void AttrList::SetIntAt(int32_t pos, int32_t value) { m_attrs->SetIntAt(pos, value); }
void AttrList::SetNull(const std::string& name) { m_attrs->SetNull(name); }
void AttrList::SetNullAt(int32_t pos) { m_attrs->SetNullAt(pos); }
void AttrList::Remove(const std::string& name) { m_attrs->Remove(name); }
void AttrList::Clear() { m_attrs->Clear(); }
IAttrList* AttrList::Clone() const { return m_attrs->Clone(); }
AttrList AttrList::Clone() { return AttrList(m_attrs->Clone()); }

} // namespace common
