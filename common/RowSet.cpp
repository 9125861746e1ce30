// Row sets in both storage forms: columns, rows and cells of RowSetInnerImpl,
// the compact RowSetInnerImpl2 with its shared text store, and the RowSet
// handle over either.
#include "common/RowSet.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace common {
namespace {

const std::string kNoName;

using ColumnIndexMap = std::map<std::string, int32_t>;

bool ColumnInRange(const std::vector<std::string>& columns, int32_t col)
{
    return col >= 0 && static_cast<size_t>(col) < columns.size();
}

const std::string& NameOfColumn(const std::vector<std::string>& columns, int32_t col)
{
    return ColumnInRange(columns, col) ? columns[static_cast<size_t>(col)] : kNoName;
}

int32_t IndexOfColumn(const ColumnIndexMap& index, const std::string& name)
{
    auto it = index.find(name);
    return it == index.end() ? -1 : it->second;
}

int32_t AddColumnTo(std::vector<std::string>& columns, ColumnIndexMap& index, const std::string& name)
{
    auto it = index.find(name);
    if (it != index.end())
        return it->second;
    const auto col = static_cast<int32_t>(columns.size());
    columns.push_back(name);
    try {
        index.emplace(name, col);
    } catch (...) {
        columns.pop_back();
        throw;
    }
    return col;
}

// Pieces are separated by "," or ";" and trimmed; an empty piece (",,", a
// trailing separator, only blanks) names no column and is skipped.
int32_t AddColumnsTo(std::vector<std::string>& columns, ColumnIndexMap& index, const std::string& list)
{
    static const char kTrim[] = " \t\r\n,;";
    int32_t last = -1;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find_first_of(",;", start);
        if (end == std::string::npos)
            end = list.size();
        size_t b = list.find_first_not_of(kTrim, start);
        if (b != std::string::npos && b < end) {
            size_t e = list.find_last_not_of(kTrim, end - 1);
            last = AddColumnTo(columns, index, list.substr(b, e - b + 1));
        }
        start = end + 1;
    }
    return last;
}

// The column takes newName, and newName finds it even when another column
// has that name too. The old name stops finding it: a stale entry would make
// ColumnIndex and AddColumn answer with a column of another name.
void RenameColumnIn(std::vector<std::string>& columns, ColumnIndexMap& index, int32_t col, const std::string& newName)
{
    if (!ColumnInRange(columns, col))
        return;
    std::string& name = columns[static_cast<size_t>(col)];
    if (name == newName)
        return;
    index[newName] = col;
    std::string oldName = std::move(name);
    name = newName;
    auto it = index.find(oldName);
    if (it == index.end() || it->second != col)
        return;
    index.erase(it);
    // Another column may still carry the old name (after an earlier clash).
    for (size_t j = 0; j < columns.size(); ++j) {
        if (columns[j] == oldName) {
            index.emplace(oldName, static_cast<int32_t>(j));
            break;
        }
    }
}

int32_t ClampRowCount(int32_t n) { return std::min(std::max(n, 0), IRowSet::kMaxRows); }

// Rows are usually filled across, so make room for the whole row at once.
template <class Cells>
void ExtendCells(Cells& cells, int32_t col, int32_t columnCount)
{
    const size_t need = static_cast<size_t>(col) + 1;
    if (cells.size() >= need)
        return;
    if (cells.capacity() < need)
        cells.reserve(std::max(need, static_cast<size_t>(columnCount)));
    if (cells.size() + 1 == need)
        cells.emplace_back(); // the usual case, writing across a row
    else
        cells.resize(need);
}

// The range [first, last) of rows that RemoveRows(first, count) takes, or an
// empty range.
std::pair<size_t, size_t> RowsToRemove(size_t rowCount, int32_t first, int32_t count)
{
    if (count < 1 || first < 0 || static_cast<size_t>(first) >= rowCount)
        return {0, 0};
    const size_t f = static_cast<size_t>(first);
    return {f, f + std::min(static_cast<size_t>(count), rowCount - f)};
}

} // namespace

// ---- IRowSet and RowSetTable ----

const std::string& RowSetTable::ColumnName(int32_t col) const { return NameOfColumn(m_columns, col); }
void RowSetTable::RenameColumn(int32_t col, const std::string& newName) { RenameColumnIn(m_columns, m_columnIndex, col, newName); }
int32_t RowSetTable::ColumnIndex(const std::string& name) const { return IndexOfColumn(m_columnIndex, name); }
int32_t RowSetTable::AddColumn(const std::string& name) { return AddColumnTo(m_columns, m_columnIndex, name); }
int32_t RowSetTable::AddColumns(const std::string& list) { return AddColumnsTo(m_columns, m_columnIndex, list); }

void RowSetTable::ClearColumns()
{
    m_columns.clear();
    m_columnIndex.clear();
}

int32_t IRowSet::GetInt(int32_t row, const std::string& column, int32_t def) const { return GetIntAt(row, ColumnIndex(column), def); }
double IRowSet::GetDouble(int32_t row, const std::string& column, double def) const { return GetDoubleAt(row, ColumnIndex(column), def); }
std::string IRowSet::GetString(int32_t row, const std::string& column, const std::string& def) const { return GetStringAt(row, ColumnIndex(column), def); }
int32_t IRowSet::KindOf(int32_t row, const std::string& column) const { return KindAt(row, ColumnIndex(column)); }
void IRowSet::SetString(int32_t row, const std::string& column, const std::string& text) { SetStringAt(row, ColumnIndex(column), text); }
void IRowSet::SetMarkedString(int32_t row, const std::string& column, const std::string& text) { SetMarkedStringAt(row, ColumnIndex(column), text); }
void IRowSet::SetDouble(int32_t row, const std::string& column, double value) { SetDoubleAt(row, ColumnIndex(column), value); }
void IRowSet::SetInt(int32_t row, const std::string& column, int32_t value) { SetIntAt(row, ColumnIndex(column), value); }
void IRowSet::SetNull(int32_t row, const std::string& column) { SetNullAt(row, ColumnIndex(column)); }

// ---- RowSetInnerImpl ----

RowSetInnerImpl* RowSetInnerImpl::Clone()
{
    auto* copy = new RowSetInnerImpl;
    try {
        copy->m_columns = m_columns;
        copy->m_columnIndex = m_columnIndex;
        copy->m_rows = m_rows;
        copy->m_name = m_name;
    } catch (...) {
        delete copy;
        throw;
    }
    return copy;
}

void RowSetInnerImpl::SetRowCount(int32_t n) { m_rows.resize(static_cast<size_t>(ClampRowCount(n))); }

const AttrValue* RowSetInnerImpl::Cell(int32_t row, int32_t col) const
{
    if (row < 0 || static_cast<size_t>(row) >= m_rows.size() || col < 0)
        return nullptr;
    const auto& cells = m_rows[static_cast<size_t>(row)].cells;
    return static_cast<size_t>(col) < cells.size() ? &cells[static_cast<size_t>(col)] : nullptr;
}

AttrValue* RowSetInnerImpl::WritableCell(int32_t row, int32_t col)
{
    if (row < 0 || static_cast<size_t>(row) >= m_rows.size() || !ColumnInRange(m_columns, col))
        return nullptr;
    auto& cells = m_rows[static_cast<size_t>(row)].cells;
    ExtendCells(cells, col, ColumnCount());
    return &cells[static_cast<size_t>(col)];
}

int32_t RowSetInnerImpl::GetIntAt(int32_t row, int32_t col, int32_t def) const
{
    const AttrValue* v = Cell(row, col);
    return v ? v->ToInt(def) : def;
}

double RowSetInnerImpl::GetDoubleAt(int32_t row, int32_t col, double def) const
{
    const AttrValue* v = Cell(row, col);
    return v ? v->ToDouble(def) : def;
}

std::string RowSetInnerImpl::GetStringAt(int32_t row, int32_t col, const std::string& def) const
{
    const AttrValue* v = Cell(row, col);
    return v ? v->ToString(def) : def;
}

int32_t RowSetInnerImpl::KindAt(int32_t row, int32_t col) const
{
    const AttrValue* v = Cell(row, col);
    return v ? v->Kind() : ATTR_KIND_EMPTY;
}

void RowSetInnerImpl::SetStringAt(int32_t row, int32_t col, const std::string& text)
{
    if (AttrValue* v = WritableCell(row, col))
        v->SetString(text, false);
}

void RowSetInnerImpl::SetMarkedStringAt(int32_t row, int32_t col, const std::string& text)
{
    if (AttrValue* v = WritableCell(row, col))
        v->SetString(text, true);
}

void RowSetInnerImpl::SetDoubleAt(int32_t row, int32_t col, double value)
{
    if (AttrValue* v = WritableCell(row, col))
        v->SetDouble(value);
}

void RowSetInnerImpl::SetIntAt(int32_t row, int32_t col, int32_t value)
{
    if (AttrValue* v = WritableCell(row, col))
        v->SetInt(value);
}

void RowSetInnerImpl::SetNullAt(int32_t row, int32_t col)
{
    if (AttrValue* v = WritableCell(row, col))
        v->SetNull();
}

int32_t RowSetInnerImpl::AddRow()
{
    m_rows.emplace_back();
    return static_cast<int32_t>(m_rows.size() - 1);
}

void RowSetInnerImpl::RemoveRows(int32_t first, int32_t count)
{
    auto range = RowsToRemove(m_rows.size(), first, count);
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(range.first),
                 m_rows.begin() + static_cast<std::ptrdiff_t>(range.second));
}

int32_t RowSetInnerImpl::RowTag(int32_t row) const
{
    return row >= 0 && static_cast<size_t>(row) < m_rows.size() ? m_rows[static_cast<size_t>(row)].tag : 0;
}

void RowSetInnerImpl::SetRowTag(int32_t row, int32_t tag)
{
    if (row >= 0 && static_cast<size_t>(row) < m_rows.size())
        m_rows[static_cast<size_t>(row)].tag = tag;
}

// ---- RowSetInnerImpl2 ----

namespace {
constexpr int32_t kMinTextCapacity = 100;
constexpr int32_t kFirstTextGrowth = 1024;
constexpr int32_t kCompactDeadText = 2048;
} // namespace

RowSetInnerImpl2::RowSetInnerImpl2(int32_t sizeHint) : m_textCapacity(std::max(sizeHint, kMinTextCapacity))
{
    m_text.reserve(static_cast<size_t>(m_textCapacity));
}

RowSetInnerImpl2* RowSetInnerImpl2::Clone()
{
    if (m_deadText >= 1)
        CompactText();
    if (m_poolWaste > 0)
        CompactCells();
    auto* copy = new RowSetInnerImpl2(kMinTextCapacity);
    try {
        copy->m_name = m_name;
        copy->m_columns = m_columns;
        copy->m_columnIndex = m_columnIndex;
        copy->m_text = m_text;
        copy->m_textCapacity = m_textCapacity;
        copy->m_deadText = m_deadText;
        copy->m_rows = m_rows;
        copy->m_chunks.reserve(m_chunks.size());
        for (const auto& chunk : m_chunks) {
            std::unique_ptr<Cell[]> c(new Cell[kChunkCells]);
            std::memcpy(c.get(), chunk.get(), sizeof(Cell) * kChunkCells);
            copy->m_chunks.push_back(std::move(c));
        }
        copy->m_poolUsed = m_poolUsed;
        copy->m_poolWaste = m_poolWaste;
    } catch (...) {
        delete copy;
        throw;
    }
    return copy;
}

void RowSetInnerImpl2::SetRowCount(int32_t n)
{
    const auto count = static_cast<size_t>(ClampRowCount(n));
    if (count < m_rows.size())
        DropRowsFrom(count, m_rows.size());
    else
        m_rows.resize(count);
    CompactIfWorthIt();
}

const RowSetInnerImpl2::Cell* RowSetInnerImpl2::FindCell(int32_t row, int32_t col) const
{
    if (row < 0 || static_cast<size_t>(row) >= m_rows.size() || col < 0)
        return nullptr;
    const Row& r = m_rows[static_cast<size_t>(row)];
    return static_cast<uint32_t>(col) < r.size ? &PoolCell(r.first + static_cast<uint32_t>(col)) : nullptr;
}

RowSetInnerImpl2::Cell* RowSetInnerImpl2::WritableCell(int32_t row, int32_t col)
{
    if (row < 0 || static_cast<size_t>(row) >= m_rows.size() || !ColumnInRange(m_columns, col))
        return nullptr;
    Row& r = m_rows[static_cast<size_t>(row)];
    const auto c = static_cast<uint32_t>(col);
    if (c < r.size)
        return &PoolCell(r.first + c);
    const uint32_t need = c + 1;
    if (need > r.capacity) {
        // Rows are usually filled across: make room for the whole row at once.
        const uint32_t capacity = std::max(need, static_cast<uint32_t>(m_columns.size()));
        const uint32_t first = AllocateCells(capacity);
        for (uint32_t i = 0; i < r.size; ++i)
            PoolCell(first + i) = PoolCell(r.first + i);
        m_poolWaste += r.capacity;
        r.first = first;
        r.capacity = capacity;
    }
    for (uint32_t i = r.size; i < need; ++i)
        PoolCell(r.first + i) = Cell{ATTR_KIND_EMPTY, {0, 0}};
    r.size = need;
    CompactCellsIfWorthIt(); // may move the row's block
    return &PoolCell(r.first + c);
}

uint32_t RowSetInnerImpl2::AllocateCells(uint32_t count)
{
    const uint64_t end = static_cast<uint64_t>(m_poolUsed) + count;
    if (end > std::numeric_limits<uint32_t>::max())
        throw std::length_error("row set cell pool full");
    while ((static_cast<uint64_t>(m_chunks.size()) << kChunkBits) < end) {
        std::unique_ptr<Cell[]> chunk(new Cell[kChunkCells]);
        m_chunks.push_back(std::move(chunk));
    }
    const uint32_t first = m_poolUsed;
    m_poolUsed = static_cast<uint32_t>(end);
    return first;
}

// Blocks of removed or relocated rows are reclaimed once they are at least
// a chunk and more than half the pool.
void RowSetInnerImpl2::CompactCellsIfWorthIt()
{
    if (m_poolWaste > 0 && m_poolWaste == m_poolUsed) { // no row holds a cell
        m_chunks.clear();
        m_poolUsed = 0;
        m_poolWaste = 0;
    } else if (m_poolWaste >= kChunkCells && m_poolWaste > m_poolUsed / 2) {
        CompactCells();
    }
}

void RowSetInnerImpl2::CompactCells()
{
    // Copy into a new pool first; the rows change only once it exists.
    std::vector<std::unique_ptr<Cell[]>> chunks;
    uint32_t used = 0;
    for (const Row& r : m_rows) {
        for (uint32_t i = 0; i < r.size; ++i, ++used) {
            if ((used & (kChunkCells - 1)) == 0) {
                std::unique_ptr<Cell[]> chunk(new Cell[kChunkCells]);
                chunks.push_back(std::move(chunk));
            }
            chunks[used >> kChunkBits][used & (kChunkCells - 1)] = PoolCell(r.first + i);
        }
    }
    uint32_t first = 0;
    for (Row& r : m_rows) {
        r.first = first;
        r.capacity = r.size;
        first += r.size;
    }
    m_chunks.swap(chunks);
    m_poolUsed = used;
    m_poolWaste = 0;
}

AttrValueRef RowSetInnerImpl2::RefOf(const Cell& c) const
{
    AttrValueRef ref{c.kind, {}, {}};
    if (IsTextKind(c.kind))
        ref.text = std::string_view(m_text.data() + c.word[0], c.word[1]);
    else
        std::memcpy(&ref.number, c.word, sizeof c.word);
    return ref;
}

int32_t RowSetInnerImpl2::GetIntAt(int32_t row, int32_t col, int32_t def) const
{
    const Cell* c = FindCell(row, col);
    if (c && c->kind == ATTR_KIND_INT)
        return static_cast<int32_t>(c->word[0]);
    return c ? conv::ToInt(RefOf(*c), def) : def;
}

// Unlike AttrValue, a text without a number reads as the caller's default.
double RowSetInnerImpl2::GetDoubleAt(int32_t row, int32_t col, double def) const
{
    const Cell* c = FindCell(row, col);
    return c ? conv::ToDouble(RefOf(*c), def, def) : def;
}

std::string RowSetInnerImpl2::GetStringAt(int32_t row, int32_t col, const std::string& def) const
{
    const Cell* c = FindCell(row, col);
    if (c && IsTextKind(c->kind))
        return std::string(m_text.data() + c->word[0], c->word[1]);
    return c ? conv::ToString(RefOf(*c), def) : def;
}

int32_t RowSetInnerImpl2::KindAt(int32_t row, int32_t col) const
{
    const Cell* c = FindCell(row, col);
    return c ? c->kind : ATTR_KIND_EMPTY;
}

void RowSetInnerImpl2::Forget(const Cell& c)
{
    if (IsTextKind(c.kind))
        m_deadText += static_cast<int32_t>(c.word[1]);
}

void RowSetInnerImpl2::SetNumber(int32_t row, int32_t col, int32_t kind, const AttrNumber& number)
{
    Cell* c = WritableCell(row, col);
    if (!c)
        return;
    Forget(*c);
    c->kind = kind;
    std::memcpy(c->word, &number, sizeof c->word);
}

void RowSetInnerImpl2::SetText(int32_t row, int32_t col, const std::string& text, int32_t kind)
{
    Cell* c = WritableCell(row, col);
    if (!c)
        return;
    uint32_t offset = 0;
    const size_t length = text.size();
    if (length > 0) {
        // Offsets and lengths are 32-bit: the store cannot pass 2 GB.
        const int64_t need = static_cast<int64_t>(m_text.size()) + static_cast<int64_t>(length);
        if (need > std::numeric_limits<int32_t>::max())
            throw std::length_error("row set text store full");
        int64_t capacity = m_textCapacity;
        while (need > capacity)
            capacity = capacity < kFirstTextGrowth ? kFirstTextGrowth : capacity * 2;
        if (capacity != m_textCapacity || m_text.capacity() < static_cast<size_t>(need)) {
            capacity = std::min<int64_t>(capacity, std::numeric_limits<int32_t>::max());
            m_text.reserve(static_cast<size_t>(capacity));
            m_textCapacity = static_cast<int32_t>(capacity);
        }
        offset = static_cast<uint32_t>(m_text.size());
        m_text.append(text);
    }
    Forget(*c);
    c->kind = kind;
    c->word[0] = offset;
    c->word[1] = static_cast<uint32_t>(length);
    CompactIfWorthIt();
}

void RowSetInnerImpl2::SetStringAt(int32_t row, int32_t col, const std::string& text) { SetText(row, col, text, ATTR_KIND_STRING); }
void RowSetInnerImpl2::SetMarkedStringAt(int32_t row, int32_t col, const std::string& text) { SetText(row, col, text, ATTR_KIND_MARKED_STRING); }

void RowSetInnerImpl2::SetDoubleAt(int32_t row, int32_t col, double value)
{
    AttrNumber n;
    n.d = value;
    SetNumber(row, col, ATTR_KIND_DOUBLE, n);
}

void RowSetInnerImpl2::SetIntAt(int32_t row, int32_t col, int32_t value)
{
    AttrNumber n;
    n.i64 = 0;
    n.i32 = value;
    SetNumber(row, col, ATTR_KIND_INT, n);
}

void RowSetInnerImpl2::SetNullAt(int32_t row, int32_t col)
{
    AttrNumber n;
    n.i64 = 0;
    SetNumber(row, col, ATTR_KIND_EMPTY, n);
}

int32_t RowSetInnerImpl2::AddRow()
{
    m_rows.emplace_back();
    return static_cast<int32_t>(m_rows.size() - 1);
}

// Rows that go take their texts with them: those bytes are dead, also when
// SetRowCount shortens the table, so that compaction can reclaim them.
void RowSetInnerImpl2::DropRowsFrom(size_t first, size_t last)
{
    for (size_t r = first; r < last; ++r) {
        const Row& row = m_rows[r];
        for (uint32_t i = 0; i < row.size; ++i)
            Forget(PoolCell(row.first + i));
        m_poolWaste += row.capacity;
    }
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(first), m_rows.begin() + static_cast<std::ptrdiff_t>(last));
    CompactCellsIfWorthIt();
}

void RowSetInnerImpl2::RemoveRows(int32_t first, int32_t count)
{
    auto range = RowsToRemove(m_rows.size(), first, count);
    if (range.first < range.second)
        DropRowsFrom(range.first, range.second);
}

void RowSetInnerImpl2::ClearRows()
{
    m_rows.clear();
    m_chunks.clear();
    m_poolUsed = 0;
    m_poolWaste = 0;
    std::string().swap(m_text);
    m_textCapacity = 0;
    m_deadText = 0; // nothing is left to be dead
}

int32_t RowSetInnerImpl2::RowTag(int32_t row) const
{
    return row >= 0 && static_cast<size_t>(row) < m_rows.size() ? m_rows[static_cast<size_t>(row)].tag : 0;
}

void RowSetInnerImpl2::SetRowTag(int32_t row, int32_t tag)
{
    if (row >= 0 && static_cast<size_t>(row) < m_rows.size())
        m_rows[static_cast<size_t>(row)].tag = tag;
}

// Compaction waits until the dead part is both sizeable and a third of the store.
void RowSetInnerImpl2::CompactIfWorthIt()
{
    if (m_deadText >= kCompactDeadText && 3LL * m_deadText > static_cast<long long>(m_text.size()))
        CompactText();
}

void RowSetInnerImpl2::CompactText()
{
    // Build the new store first; the cells change only once it exists.
    std::string store;
    store.reserve(m_text.size() - static_cast<size_t>(std::min<int32_t>(m_deadText, static_cast<int32_t>(m_text.size()))));
    for (const Row& row : m_rows)
        for (uint32_t i = 0; i < row.size; ++i) {
            const Cell& c = PoolCell(row.first + i);
            if (IsTextKind(c.kind) && c.word[1] > 0)
                store.append(m_text, c.word[0], c.word[1]);
        }
    uint32_t offset = 0;
    for (Row& row : m_rows)
        for (uint32_t i = 0; i < row.size; ++i) {
            Cell& c = PoolCell(row.first + i);
            if (IsTextKind(c.kind) && c.word[1] > 0) {
                c.word[0] = offset;
                offset += c.word[1];
            }
        }
    m_text.swap(store);
    m_deadText = 0;
    m_textCapacity = static_cast<int32_t>(m_text.size());
}

// ---- RowSet ----

RowSet::RowSet() : m_table(new RowSetInnerImpl) {}

RowSet::RowSet(int32_t sizeHint) : m_table(new RowSetInnerImpl2(sizeHint)) {}

RowSet::RowSet(IRowSet* impl) : m_table(impl) {}

void RowSet::SetRowCount(int32_t n)
{
    IRowSet& table = *m_table;
    n = ClampRowCount(n);
    // The compact form is chosen only while the table is empty. It is not
    // chosen for a table that other handles share: they would keep the old
    // table and no longer see this one's rows. The name carries over.
    if (n >= 10 && table.RowCount() == 0 && table.ColumnCount() == 0 && m_table.use_count() == 1) {
        com_disp_evt::safe_ptr<IRowSet> compact(new RowSetInnerImpl2(n));
        compact->SetName(table.Name());
        compact->SetRowCount(n);
        m_table = std::move(compact);
        return;
    }
    table.SetRowCount(n);
}

const std::string& RowSet::Name() const { return m_table->Name(); }
void RowSet::SetName(const std::string& name) { m_table->SetName(name); }
int32_t RowSet::ColumnCount() const { return m_table->ColumnCount(); }
const std::string& RowSet::ColumnName(int32_t col) const { return m_table->ColumnName(col); }
void RowSet::RenameColumn(int32_t col, const std::string& newName) { m_table->RenameColumn(col, newName); }
int32_t RowSet::ColumnIndex(const std::string& name) const { return m_table->ColumnIndex(name); }
int32_t RowSet::AddColumn(const std::string& name) { return m_table->AddColumn(name); }
int32_t RowSet::AddColumns(const std::string& list) { return m_table->AddColumns(list); }
void RowSet::ClearColumns() { m_table->ClearColumns(); }
IRowSet* RowSet::Clone() { return m_table->Clone(); }
int32_t RowSet::RowCount() const { return m_table->RowCount(); }
int32_t RowSet::GetIntAt(int32_t row, int32_t col, int32_t def) const { return m_table->GetIntAt(row, col, def); }
double RowSet::GetDoubleAt(int32_t row, int32_t col, double def) const { return m_table->GetDoubleAt(row, col, def); }
std::string RowSet::GetStringAt(int32_t row, int32_t col, const std::string& def) const { return m_table->GetStringAt(row, col, def); }
void RowSet::SetStringAt(int32_t row, int32_t col, const std::string& text) { m_table->SetStringAt(row, col, text); }
void RowSet::SetDoubleAt(int32_t row, int32_t col, double value) { m_table->SetDoubleAt(row, col, value); }
void RowSet::SetIntAt(int32_t row, int32_t col, int32_t value) { m_table->SetIntAt(row, col, value); }
void RowSet::SetMarkedStringAt(int32_t row, int32_t col, const std::string& text) { m_table->SetMarkedStringAt(row, col, text); }
void RowSet::SetNullAt(int32_t row, int32_t col) { m_table->SetNullAt(row, col); }
int32_t RowSet::AddRow() { return m_table->AddRow(); }
void RowSet::RemoveRows(int32_t first, int32_t count) { m_table->RemoveRows(first, count); }
void RowSet::ClearRows() { m_table->ClearRows(); }
int32_t RowSet::RowTag(int32_t row) const { return m_table->RowTag(row); }
void RowSet::SetRowTag(int32_t row, int32_t tag) { m_table->SetRowTag(row, tag); }
int32_t RowSet::KindAt(int32_t row, int32_t col) const { return m_table->KindAt(row, col); }

} // namespace common
