// Data sets: the attribute-list side forwarded to their own attributes, and
// the ordered set of named row sets.
#include "common/DataSet.h"

namespace common {
namespace {
const std::string kNoName;
}

DataSet::DataSet() : m_inner(new DataSetInner) {}

DataSet::DataSet(DataSetInner* inner) : m_inner(inner) {}

int32_t DataSet::Count() const { return m_inner->m_attributes.Count(); }
const std::string& DataSet::NameAt(int32_t pos) const { return m_inner->m_attributes.NameAt(pos); }
bool DataSet::Rename(const std::string& oldName, const std::string& newName) { return m_inner->m_attributes.Rename(oldName, newName); }
bool DataSet::RenameAt(int32_t pos, const std::string& newName) { return m_inner->m_attributes.RenameAt(pos, newName); }
bool DataSet::Has(const std::string& name) const { return m_inner->m_attributes.Has(name); }
int32_t DataSet::KindOf(const std::string& name) const { return m_inner->m_attributes.KindOf(name); }
int32_t DataSet::KindAt(int32_t pos) const { return m_inner->m_attributes.KindAt(pos); }
int32_t DataSet::GetInt(const std::string& name, int32_t def) const { return m_inner->m_attributes.GetInt(name, def); }
int32_t DataSet::GetIntAt(int32_t pos, int32_t def) const { return m_inner->m_attributes.GetIntAt(pos, def); }
double DataSet::GetDouble(const std::string& name, double def) const { return m_inner->m_attributes.GetDouble(name, def); }
double DataSet::GetDoubleAt(int32_t pos, double def) const { return m_inner->m_attributes.GetDoubleAt(pos, def); }
std::string DataSet::GetString(const std::string& name, const std::string& def) const { return m_inner->m_attributes.GetString(name, def); }
std::string DataSet::GetStringAt(int32_t pos, const std::string& def) const { return m_inner->m_attributes.GetStringAt(pos, def); }
void DataSet::SetString(const std::string& name, const std::string& text, bool mark) { m_inner->m_attributes.SetString(name, text, mark); }
void DataSet::SetStringAt(int32_t pos, const std::string& text, bool mark) { m_inner->m_attributes.SetStringAt(pos, text, mark); }
void DataSet::SetDouble(const std::string& name, double value) { m_inner->m_attributes.SetDouble(name, value); }
void DataSet::SetDoubleAt(int32_t pos, double value) { m_inner->m_attributes.SetDoubleAt(pos, value); }
void DataSet::SetInt(const std::string& name, int32_t value) { m_inner->m_attributes.SetInt(name, value); }
void DataSet::SetIntAt(int32_t pos, int32_t value) { m_inner->m_attributes.SetIntAt(pos, value); }
void DataSet::SetNull(const std::string& name) { m_inner->m_attributes.SetNull(name); }
void DataSet::SetNullAt(int32_t pos) { m_inner->m_attributes.SetNullAt(pos); }
void DataSet::Remove(const std::string& name) { m_inner->m_attributes.Remove(name); }

void DataSet::Clear()
{
    DataSetInner& inner = *m_inner;
    inner.m_attributes.Clear();
    inner.m_rowSets.clear();
    inner.m_rowSetIndex.clear();
}

IAttrList* DataSet::Clone() const
{
    const AttrList& attributes = m_inner->m_attributes;
    return attributes.Clone();
}

int32_t DataSet::RowSetCount() const { return static_cast<int32_t>(m_inner->m_rowSets.size()); }

const std::string& DataSet::RowSetNameAt(int32_t index) const
{
    const auto& sets = m_inner->m_rowSets;
    return index >= 0 && static_cast<size_t>(index) < sets.size() ? sets[static_cast<size_t>(index)].name : kNoName;
}

RowSet DataSet::RowSetAt(int32_t index) const
{
    const auto& sets = m_inner->m_rowSets;
    if (index < 0 || static_cast<size_t>(index) >= sets.size())
        throw row_set_not_found();
    return sets[static_cast<size_t>(index)].rowSet;
}

int32_t DataSet::RowSetIndex(const std::string& name) const
{
    const auto& index = m_inner->m_rowSetIndex;
    auto it = index.find(name);
    return it == index.end() ? -1 : it->second;
}

bool DataSet::FindRowSet(const std::string& name, RowSet& out) const
{
    const int32_t i = RowSetIndex(name);
    if (i < 0)
        return false;
    out = m_inner->m_rowSets[static_cast<size_t>(i)].rowSet;
    return true;
}

RowSet DataSet::GetRowSet(const std::string& name) const
{
    const int32_t i = RowSetIndex(name);
    if (i < 0)
        throw row_set_not_found();
    return m_inner->m_rowSets[static_cast<size_t>(i)].rowSet;
}

void DataSet::SetRowSet(const std::string& name, const RowSet& rowSet)
{
    DataSetInner& inner = *m_inner;
    auto it = inner.m_rowSetIndex.find(name);
    if (it != inner.m_rowSetIndex.end()) {
        inner.m_rowSets[static_cast<size_t>(it->second)].rowSet = rowSet;
        return;
    }
    const auto index = static_cast<int32_t>(inner.m_rowSets.size());
    inner.m_rowSets.push_back(DataSetInner::Entry{name, rowSet});
    try {
        inner.m_rowSetIndex.emplace(name, index);
    } catch (...) {
        inner.m_rowSets.pop_back();
        throw;
    }
}

void DataSet::RemoveRowSet(const std::string& name)
{
    DataSetInner& inner = *m_inner;
    auto it = inner.m_rowSetIndex.find(name);
    if (it == inner.m_rowSetIndex.end())
        return;
    inner.m_rowSets.erase(inner.m_rowSets.begin() + it->second);
    // Later entries moved down one index: rebuild the name index.
    inner.m_rowSetIndex.clear();
    for (size_t i = 0; i < inner.m_rowSets.size(); ++i)
        inner.m_rowSetIndex.emplace(inner.m_rowSets[i].name, static_cast<int32_t>(i));
}

} // namespace common
