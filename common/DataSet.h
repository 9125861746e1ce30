// Data sets: named row sets plus attributes of their own, the unit in which
// the record library keeps a whole document of tables. DataSet is a shared
// handle. No lock: callers that share one between threads serialise access.
#pragma once

#include "com_disp_evt/safe_ptr.h"
#include "common/AttrList.h"
#include "common/RowSet.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace common {

// A lookup of a row set that is not there.
class row_set_not_found : public std::runtime_error {
public:
    row_set_not_found() : std::runtime_error("RowSet not found") {}
};

struct DataSetInner {
    struct Entry {
        std::string name;
        RowSet rowSet;
    };

    std::vector<Entry> m_rowSets; // in the order of first addition
    std::map<std::string, int32_t> m_rowSetIndex;
    AttrList m_attributes;
};

class DataSet : public IAttrList {
public:
    // No row sets and no attributes.
    DataSet();
    // Takes ownership; a null one gives a handle whose every operation throws
    // com_disp_evt::null_ref.
    explicit DataSet(DataSetInner* inner);

    // The data set's own attributes.
    KEX_ATTR_LIST_OPERATIONS(, override)
    // Removes the attributes and every row set.
    void Clear() override;
    // A copy of the attributes only (the caller owns it).
    [[nodiscard]] IAttrList* Clone() const override;

    // Row sets, by index in the order of first addition or by name. The
    // handles returned share the table with the data set.
    int32_t RowSetCount() const;
    const std::string& RowSetNameAt(int32_t index) const;
    RowSet RowSetAt(int32_t index) const;          // throws row_set_not_found
    int32_t RowSetIndex(const std::string& name) const;
    bool FindRowSet(const std::string& name, RowSet& out) const;
    RowSet GetRowSet(const std::string& name) const; // throws row_set_not_found
    void SetRowSet(const std::string& name, const RowSet& rowSet);
    void RemoveRowSet(const std::string& name);

    bool SharesWith(const DataSet& other) const noexcept { return m_inner == other.m_inner; }

private:
    com_disp_evt::safe_ptr<DataSetInner> m_inner;
};

} // namespace common
