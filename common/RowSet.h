// Row sets: named tables of typed cells. RowSetInnerImpl keeps every cell as
// an AttrValue; RowSetInnerImpl2 is the compact form for large tables
// announced in advance, with one shared store for all texts. RowSet is the
// handle programs use: an attribute list plus a shared table.
// No lock: callers that share one row set between threads serialise access.
#pragma once

#include "com_disp_evt/safe_ptr.h"
#include "common/AttrList.h"
#include "common/AttrValue.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace common {

// The column operations after ColumnCount, written once: the interface
// declares them pure, the table base and the handle override them.
#define KEX_ROW_SET_COLUMN_OPERATIONS(VIRTUAL, TAIL)                                                                   \
    VIRTUAL const std::string& ColumnName(int32_t col) const TAIL;                                                     \
    VIRTUAL void RenameColumn(int32_t col, const std::string& newName) TAIL;                                           \
    VIRTUAL int32_t ColumnIndex(const std::string& name) const TAIL;                                                   \
    VIRTUAL int32_t AddColumn(const std::string& name) TAIL;                                                           \
    /* Names separated by "," or ";", trimmed of blanks; empty pieces are */                                          \
    /* skipped. Returns the index of the last name, -1 when there was none. */                                        \
    VIRTUAL int32_t AddColumns(const std::string& list) TAIL;                                                          \
    VIRTUAL void ClearColumns() TAIL;

// The operations by column name are written once, here: they find the
// column's index and call the operation by index.
class IRowSet {
public:
    virtual ~IRowSet() = default;

    virtual const std::string& Name() const = 0;
    virtual void SetName(const std::string& name) = 0;
    virtual int32_t ColumnCount() const = 0;
    KEX_ROW_SET_COLUMN_OPERATIONS(virtual, = 0)
    // A new, independent table of the same kind on the heap; the caller owns it.
    [[nodiscard]] virtual IRowSet* Clone() = 0;
    virtual int32_t RowCount() const = 0;
    virtual void SetRowCount(int32_t n) = 0;
    virtual int32_t GetInt(int32_t row, const std::string& column, int32_t def) const;
    virtual int32_t GetIntAt(int32_t row, int32_t col, int32_t def) const = 0;
    virtual double GetDouble(int32_t row, const std::string& column, double def) const;
    virtual double GetDoubleAt(int32_t row, int32_t col, double def) const = 0;
    virtual std::string GetString(int32_t row, const std::string& column, const std::string& def) const;
    virtual std::string GetStringAt(int32_t row, int32_t col, const std::string& def) const = 0;
    virtual void SetString(int32_t row, const std::string& column, const std::string& text);
    virtual void SetStringAt(int32_t row, int32_t col, const std::string& text) = 0;
    virtual void SetDouble(int32_t row, const std::string& column, double value);
    virtual void SetDoubleAt(int32_t row, int32_t col, double value) = 0;
    virtual void SetInt(int32_t row, const std::string& column, int32_t value);
    virtual void SetIntAt(int32_t row, int32_t col, int32_t value) = 0;
    virtual void SetMarkedString(int32_t row, const std::string& column, const std::string& text);
    virtual void SetMarkedStringAt(int32_t row, int32_t col, const std::string& text) = 0;
    virtual void SetNull(int32_t row, const std::string& column);
    virtual void SetNullAt(int32_t row, int32_t col) = 0;
    virtual int32_t AddRow() = 0;
    virtual void RemoveRows(int32_t first, int32_t count) = 0;
    virtual void ClearRows() = 0;
    virtual int32_t RowTag(int32_t row) const = 0;
    virtual void SetRowTag(int32_t row, int32_t tag) = 0;
    virtual int32_t KindOf(int32_t row, const std::string& column) const;
    virtual int32_t KindAt(int32_t row, int32_t col) const = 0;

    static constexpr int32_t kMaxRows = 1000000;
};

// What both table forms share: the name and the columns.
class RowSetTable : public IRowSet {
public:
    const std::string& Name() const override { return m_name; }
    void SetName(const std::string& name) override { m_name = name; }
    int32_t ColumnCount() const override { return static_cast<int32_t>(m_columns.size()); }
    KEX_ROW_SET_COLUMN_OPERATIONS(, override)

protected:
    RowSetTable() = default;
    RowSetTable(const RowSetTable&) = default;
    RowSetTable& operator=(const RowSetTable&) = default;

    std::string m_name;
    std::vector<std::string> m_columns;
    std::map<std::string, int32_t> m_columnIndex;
};

// The operations each table form implements for its own storage: cells and
// rows by index. Declared once here, listed by both forms below.
#define KEX_ROWSET_CELL_OPERATIONS                                                                                     \
    int32_t GetIntAt(int32_t row, int32_t col, int32_t def) const override;                                          \
    double GetDoubleAt(int32_t row, int32_t col, double def) const override;                                         \
    std::string GetStringAt(int32_t row, int32_t col, const std::string& def) const override;                        \
    void SetStringAt(int32_t row, int32_t col, const std::string& text) override;                                    \
    void SetDoubleAt(int32_t row, int32_t col, double value) override;                                               \
    void SetIntAt(int32_t row, int32_t col, int32_t value) override;                                                 \
    void SetMarkedStringAt(int32_t row, int32_t col, const std::string& text) override;                              \
    void SetNullAt(int32_t row, int32_t col) override;                                                               \
    int32_t KindAt(int32_t row, int32_t col) const override;                                                         \
    int32_t AddRow() override;                                                                                       \
    void RemoveRows(int32_t first, int32_t count) override;                                                          \
    int32_t RowTag(int32_t row) const override;                                                                      \
    void SetRowTag(int32_t row, int32_t tag) override;

// The general form: every cell a full AttrValue.
class RowSetInnerImpl : public RowSetTable {
public:
    struct Row {
        std::vector<AttrValue> cells; // may be shorter than the column list
        int32_t tag = 0;
    };

    RowSetInnerImpl() = default;

    [[nodiscard]] RowSetInnerImpl* Clone() override;
    int32_t RowCount() const override { return static_cast<int32_t>(m_rows.size()); }
    void SetRowCount(int32_t n) override;
    KEX_ROWSET_CELL_OPERATIONS
    void ClearRows() override { m_rows.clear(); }

private:
    const AttrValue* Cell(int32_t row, int32_t col) const;
    AttrValue* WritableCell(int32_t row, int32_t col);

    std::vector<Row> m_rows;
};

// The compact form: 12-byte cells, texts kept one after another in m_text.
// A row's cells are one block in a table-wide pool of fixed-size chunks
// rather than an allocation of their own: a million rows cost a handful of
// allocations, not a million.
class RowSetInnerImpl2 : public RowSetTable {
public:
    struct Cell {
        int32_t kind;
        // kinds 1-3: the number's bytes; kinds 4 and 5: offset and length in m_text
        uint32_t word[2];
    };
    struct Row {
        uint32_t first = 0;    // the row's first cell in the pool
        uint32_t size = 0;     // cells the row holds (may be fewer than the columns)
        uint32_t capacity = 0; // cells reserved for it in the pool
        int32_t tag = 0;
    };

    // sizeHint: expected size; the text store starts with at least 100 bytes.
    explicit RowSetInnerImpl2(int32_t sizeHint);

    [[nodiscard]] RowSetInnerImpl2* Clone() override;
    int32_t RowCount() const override { return static_cast<int32_t>(m_rows.size()); }
    void SetRowCount(int32_t n) override;
    KEX_ROWSET_CELL_OPERATIONS
    void ClearRows() override;

    // The text store, for diagnostics.
    int32_t TextCapacity() const { return m_textCapacity; }
    int32_t DeadText() const { return m_deadText; }
    int32_t TextLength() const { return static_cast<int32_t>(m_text.size()); }
    // The cell pool, for diagnostics: cells handed out and cells no row uses.
    uint32_t PoolCells() const { return m_poolUsed; }
    uint32_t PoolWaste() const { return m_poolWaste; }

    static constexpr uint32_t kChunkBits = 13;
    static constexpr uint32_t kChunkCells = 1u << kChunkBits;

private:
    Cell& PoolCell(uint32_t i) { return m_chunks[i >> kChunkBits][i & (kChunkCells - 1)]; }
    const Cell& PoolCell(uint32_t i) const { return m_chunks[i >> kChunkBits][i & (kChunkCells - 1)]; }
    uint32_t AllocateCells(uint32_t count);
    void CompactCellsIfWorthIt();
    void CompactCells();
    const Cell* FindCell(int32_t row, int32_t col) const;
    Cell* WritableCell(int32_t row, int32_t col);
    AttrValueRef RefOf(const Cell& c) const;
    void SetNumber(int32_t row, int32_t col, int32_t kind, const AttrNumber& number);
    void SetText(int32_t row, int32_t col, const std::string& text, int32_t kind);
    void Forget(const Cell& c); // counts the text of a cell that goes as dead
    void DropRowsFrom(size_t first, size_t last);
    void CompactIfWorthIt();
    void CompactText();

    int32_t m_textCapacity = 0;
    int32_t m_deadText = 0;
    std::string m_text;
    std::vector<Row> m_rows;
    std::vector<std::unique_ptr<Cell[]>> m_chunks; // the cell pool
    uint32_t m_poolUsed = 0;
    uint32_t m_poolWaste = 0;
};

// The handle: an attribute list of its own plus a shared table.
class RowSet : public AttrList, public IRowSet {
public:
    // Empty attributes and an empty general table.
    RowSet();
    // Empty attributes and an empty compact table for about sizeHint rows.
    explicit RowSet(int32_t sizeHint);
    // Takes ownership of impl; a null one gives a handle whose every table
    // operation throws com_disp_evt::null_ref.
    explicit RowSet(IRowSet* impl);

    // The attribute operations keep their AttrList meaning.
    using AttrList::GetDouble;
    using AttrList::GetDoubleAt;
    using AttrList::GetInt;
    using AttrList::GetIntAt;
    using AttrList::GetString;
    using AttrList::GetStringAt;
    using AttrList::KindAt;
    using AttrList::KindOf;
    using AttrList::SetDouble;
    using AttrList::SetDoubleAt;
    using AttrList::SetInt;
    using AttrList::SetIntAt;
    using AttrList::SetNull;
    using AttrList::SetNullAt;
    using AttrList::SetString;
    using AttrList::SetStringAt;
    // The cell operations by name come from IRowSet, over this handle's table.
    using IRowSet::GetDouble;
    using IRowSet::GetInt;
    using IRowSet::GetString;
    using IRowSet::KindOf;
    using IRowSet::SetDouble;
    using IRowSet::SetInt;
    using IRowSet::SetMarkedString;
    using IRowSet::SetNull;
    using IRowSet::SetString;

    const std::string& Name() const override;
    void SetName(const std::string& name) override;
    int32_t ColumnCount() const override;
    KEX_ROW_SET_COLUMN_OPERATIONS(, override)
    [[nodiscard]] IRowSet* Clone() override;
    int32_t RowCount() const override;
    // An empty row set announced at 10 rows or more switches to the compact form.
    void SetRowCount(int32_t n) override;
    int32_t GetIntAt(int32_t row, int32_t col, int32_t def) const override;
    double GetDoubleAt(int32_t row, int32_t col, double def) const override;
    std::string GetStringAt(int32_t row, int32_t col, const std::string& def) const override;
    void SetStringAt(int32_t row, int32_t col, const std::string& text) override;
    void SetDoubleAt(int32_t row, int32_t col, double value) override;
    void SetIntAt(int32_t row, int32_t col, int32_t value) override;
    void SetMarkedStringAt(int32_t row, int32_t col, const std::string& text) override;
    void SetNullAt(int32_t row, int32_t col) override;
    int32_t AddRow() override;
    void RemoveRows(int32_t first, int32_t count) override;
    void ClearRows() override;
    int32_t RowTag(int32_t row) const override;
    void SetRowTag(int32_t row, int32_t tag) override;
    int32_t KindAt(int32_t row, int32_t col) const override;

    // A text literal would otherwise match the attribute setters' mark
    // argument as well as the cell setters' text and make the call ambiguous.
    void SetString(int32_t row, const std::string& column, const char* text) { SetString(row, column, std::string(text)); }
    void SetStringAt(int32_t row, int32_t col, const char* text) { SetStringAt(row, col, std::string(text)); }

    // The table behind this handle, for diagnostics and tests.
    IRowSet* Table() const noexcept { return m_table.get(); }
    bool SharesTableWith(const RowSet& other) const noexcept { return m_table == other.m_table; }

private:
    com_disp_evt::safe_ptr<IRowSet> m_table;
};

} // namespace common
