// Row sets in both storage forms: columns, rows, cells, the choice of the
// compact form and its shared text store.
#include "common/RowSet.h"
#include "tests/common/records_test_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

using common::IRowSet;
using common::RowSet;
using common::RowSetInnerImpl;
using common::RowSetInnerImpl2;

namespace {

struct Form {
    const char* name;
    std::function<RowSet()> make;
    bool compact;
};

const Form kForms[] = {
    {"general", [] { return RowSet(); }, false},
    {"compact", [] { return RowSet(16); }, true},
};

bool IsCompact(const RowSet& rs) { return dynamic_cast<RowSetInnerImpl2*>(rs.Table()) != nullptr; }

RowSetInnerImpl2& Store(const RowSet& rs)
{
    auto* impl = dynamic_cast<RowSetInnerImpl2*>(rs.Table());
    if (!impl)
        throw std::bad_cast();
    return *impl;
}

std::vector<std::string> Columns(const IRowSet& rs)
{
    return records_test::Collect(rs.ColumnCount(), [&](int32_t c) { return rs.ColumnName(c); });
}

std::vector<int32_t> Tags(const IRowSet& rs)
{
    return records_test::Collect(rs.RowCount(), [&](int32_t r) { return rs.RowTag(r); });
}

} // namespace

TEST(RowSet, CompactFormIsChosenOnlyForAnEmptyTableOfTenRowsOrMore)
{
    struct Case {
        const char* what;
        std::function<void(RowSet&)> before;
        int32_t n;
        bool compact;
        int32_t rows;
    };
    const Case cases[] = {
        {"100 before any column", [](RowSet&) {}, 100, true, 100},
        {"exactly 10", [](RowSet&) {}, 10, true, 10},
        {"9", [](RowSet&) {}, 9, false, 9},
        {"100 after a column", [](RowSet& rs) { rs.AddColumn("a"); }, 100, false, 100},
        {"100 after a row", [](RowSet& rs) { rs.AddRow(); }, 100, false, 100},
        {"100 after rows came and went", [](RowSet& rs) { rs.AddRow(); rs.ClearRows(); }, 100, true, 100},
        {"negative", [](RowSet&) {}, -5, false, 0},
        {"above the limit", [](RowSet&) {}, INT_MAX, true, 1000000},
        {"100 while another handle shares the table", [](RowSet& rs) { static RowSet keep; keep = rs; }, 100, false, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RowSet rs;
        rs.SetName("orders");
        c.before(rs);
        rs.SetRowCount(c.n);
        EXPECT_EQ(c.compact, IsCompact(rs));
        EXPECT_EQ(c.rows, rs.RowCount());
        EXPECT_EQ("orders", rs.Name()); // the name survives the switch
        EXPECT_EQ(0, rs.RowTag(0));
        EXPECT_EQ(0, rs.KindAt(0, 0));
    }
}

TEST(RowSet, FormStaysOnceChosenAndClonesKeepIt)
{
    RowSet rs;
    rs.SetRowCount(20);
    ASSERT_TRUE(IsCompact(rs));
    rs.SetRowCount(3);
    rs.SetRowCount(0);
    rs.AddColumn("a");
    rs.SetRowCount(50);
    EXPECT_TRUE(IsCompact(rs));
    std::unique_ptr<IRowSet> clone(rs.Clone());
    EXPECT_NE(nullptr, dynamic_cast<RowSetInnerImpl2*>(clone.get()));

    RowSet general;
    general.SetRowCount(5);
    std::unique_ptr<IRowSet> generalClone(general.Clone());
    EXPECT_NE(nullptr, dynamic_cast<RowSetInnerImpl*>(generalClone.get()));
    EXPECT_EQ(5, generalClone->RowCount());
}

TEST(RowSet, SwitchThroughAnotherHandleKeepsCopiesInStep)
{
    // A copy handed out earlier must keep seeing the same table.
    RowSet a;
    RowSet b = a;
    b.SetRowCount(100);
    b.AddColumn("x");
    b.SetIntAt(99, 0, 7);
    EXPECT_EQ(100, a.RowCount());
    EXPECT_EQ(7, a.GetInt(99, "x", -1));
    EXPECT_TRUE(a.SharesTableWith(b));
}

TEST(RowSet, CellsAreWrittenOnlyInsideTheTable)
{
    for (const auto& form : kForms) {
        SCOPED_TRACE(form.name);
        RowSet rs = form.make();
        rs.AddColumns("a,b");
        rs.SetRowCount(2);
        struct Case {
            int32_t row, col;
        };
        const Case outside[] = {{0, 2}, {0, -1}, {-1, 0}, {2, 0}, {INT_MAX, 0}, {0, INT_MAX}, {INT_MIN, INT_MIN}};
        for (const auto& c : outside) {
            SCOPED_TRACE(testing::Message() << "row " << c.row << " col " << c.col);
            rs.SetIntAt(c.row, c.col, 1);
            rs.SetDoubleAt(c.row, c.col, 1.5);
            rs.SetStringAt(c.row, c.col, "t");
            rs.SetMarkedStringAt(c.row, c.col, "m");
            rs.SetNullAt(c.row, c.col);
            EXPECT_EQ(-1, rs.GetIntAt(c.row, c.col, -1));
            EXPECT_EQ(-1.5, rs.GetDoubleAt(c.row, c.col, -1.5));
            EXPECT_EQ("d", rs.GetStringAt(c.row, c.col, "d"));
            EXPECT_EQ(0, rs.KindAt(c.row, c.col));
        }
        // A missing column name behaves like an index out of range.
        rs.SetInt(0, "zz", 5);
        rs.SetString(0, "zz", "t");
        EXPECT_EQ(-1, rs.GetInt(0, "zz", -1));
        EXPECT_EQ(0, rs.KindOf(0, "zz"));
        EXPECT_EQ(2, rs.ColumnCount());
        EXPECT_EQ(2, rs.RowCount());
        // Nothing above created a cell.
        EXPECT_EQ(0, rs.KindAt(0, 0));
        EXPECT_EQ(0, rs.KindAt(1, 1));
    }
}

TEST(RowSet, CellsByNameAndIndexWithTheirKinds)
{
    for (const auto& form : kForms) {
        SCOPED_TRACE(form.name);
        RowSet rs = form.make();
        rs.AddColumns("i,d,s,m,n");
        rs.AddRow();
        rs.SetInt(0, "i", -42);
        rs.SetDouble(0, "d", -2.75);
        rs.SetString(0, "s", "12abc");
        rs.SetMarkedString(0, "m", "abc");
        rs.SetString(0, "n", "x");
        rs.SetNull(0, "n");
        struct Expect {
            const char* col;
            int32_t kind, asInt;
            double asDouble;
            const char* asText;
        };
        const Expect expected[] = {
            {"i", 1, -42, -42.0, "-42"},
            {"d", 3, -2, -2.75, "-2.75"},
            {"s", 4, 12, 12.0, "12abc"},
            // abc as a double: 0.0 in the general form, the default in the compact one
            {"m", 5, -9, form.compact ? -9.5 : 0.0, "abc"},
            {"n", 0, -9, -9.5, "dflt"},
        };
        for (const auto& e : expected) {
            SCOPED_TRACE(e.col);
            const int32_t col = rs.ColumnIndex(e.col);
            EXPECT_EQ(e.kind, rs.KindOf(0, e.col));
            EXPECT_EQ(e.kind, rs.KindAt(0, col));
            EXPECT_EQ(e.asInt, rs.GetInt(0, e.col, -9));
            EXPECT_EQ(e.asInt, rs.GetIntAt(0, col, -9));
            EXPECT_EQ(e.asDouble, rs.GetDouble(0, e.col, -9.5));
            EXPECT_EQ(e.asDouble, rs.GetDoubleAt(0, col, -9.5));
            EXPECT_EQ(e.asText, rs.GetString(0, e.col, "dflt"));
            EXPECT_EQ(e.asText, rs.GetStringAt(0, col, "dflt"));
        }
        // Every setter replaces the whole cell.
        rs.SetIntAt(0, 2, 8);
        EXPECT_EQ("8", rs.GetStringAt(0, 2, ""));
        rs.SetStringAt(0, 0, "");
        EXPECT_EQ(4, rs.KindAt(0, 0));
        EXPECT_EQ("", rs.GetStringAt(0, 0, "dflt"));
        EXPECT_EQ(-9, rs.GetIntAt(0, 0, -9));
    }
}

TEST(RowSet, Columns)
{
    for (const auto& form : kForms) {
        SCOPED_TRACE(form.name);
        RowSet rs = form.make();
        EXPECT_EQ(0, rs.AddColumn("a"));
        EXPECT_EQ(1, rs.AddColumn("b"));
        EXPECT_EQ(0, rs.AddColumn("a")); // existing: nothing added
        EXPECT_EQ(2, rs.ColumnCount());
        EXPECT_EQ(1, rs.ColumnIndex("b"));
        EXPECT_EQ(-1, rs.ColumnIndex("B")); // case-sensitive
        EXPECT_EQ("", rs.ColumnName(2));
        EXPECT_EQ("", rs.ColumnName(-1));

        // Renaming: the new name finds the column, the old one no longer does.
        rs.RenameColumn(0, "x");
        EXPECT_EQ((std::vector<std::string>{"x", "b"}), Columns(rs));
        EXPECT_EQ(0, rs.ColumnIndex("x"));
        EXPECT_EQ(-1, rs.ColumnIndex("a"));
        EXPECT_EQ(2, rs.AddColumn("a"));
        // A clash: the renamed column wins the name; once it moves on, the
        // other column with that name is found again.
        rs.RenameColumn(0, "b");
        EXPECT_EQ(0, rs.ColumnIndex("b"));
        rs.RenameColumn(0, "y");
        EXPECT_EQ(1, rs.ColumnIndex("b"));
        EXPECT_EQ(0, rs.ColumnIndex("y"));
        rs.RenameColumn(7, "z"); // out of range: nothing
        EXPECT_EQ(-1, rs.ColumnIndex("z"));
        EXPECT_EQ((std::vector<std::string>{"y", "b", "a"}), Columns(rs));
    }
}

TEST(RowSet, AddColumnsSplitsAndTrims)
{
    struct Case {
        const char* list;
        int32_t result;
        std::vector<std::string> columns; // after "id" was added first
    };
    const Case cases[] = {
        {" a , b;c ", 3, {"id", "a", "b", "c"}},
        {"a;\tb ,\r\nc\n", 3, {"id", "a", "b", "c"}},
        {"first name, last name", 2, {"id", "first name", "last name"}},
        {"a,,b", 2, {"id", "a", "b"}},
        {",a;", 1, {"id", "a"}},
        {"", -1, {"id"}},
        {" ; , \t", -1, {"id"}},
        {"a;a", 1, {"id", "a"}},
        {"x,id", 0, {"id", "x"}},
    };
    for (const auto& form : kForms) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << form.name << " [" << c.list << "]");
            RowSet rs = form.make();
            rs.AddColumn("id");
            EXPECT_EQ(c.result, rs.AddColumns(c.list));
            EXPECT_EQ(c.columns, Columns(rs));
        }
    }
}

TEST(RowSet, ClearColumnsKeepsTheCells)
{
    for (const auto& form : kForms) {
        SCOPED_TRACE(form.name);
        RowSet rs = form.make();
        rs.AddColumns("a,b");
        rs.AddRow();
        rs.SetIntAt(0, 1, 5);
        rs.ClearColumns();
        EXPECT_EQ(0, rs.ColumnCount());
        EXPECT_EQ(-1, rs.ColumnIndex("b"));
        EXPECT_EQ(5, rs.GetIntAt(0, 1, -1)); // cells of removed columns still read
        rs.SetIntAt(0, 1, 6);                // but are not written
        EXPECT_EQ(5, rs.GetIntAt(0, 1, -1));
        rs.AddColumns("p,q"); // new columns reuse the old cells by index
        EXPECT_EQ(5, rs.GetInt(0, "q", -1));
    }
}

TEST(RowSet, RowsAndTags)
{
    struct Case {
        int32_t first, count;
        std::vector<int32_t> tags;
    };
    const Case cases[] = {
        {2, 100, {10, 11}},
        {0, 1, {11, 12, 13, 14}},
        {1, 2, {10, 13, 14}},
        {4, INT_MAX, {10, 11, 12, 13}},
        {0, 5, {}},
        {5, 1, {10, 11, 12, 13, 14}},
        {-1, 2, {10, 11, 12, 13, 14}},
        {2, 0, {10, 11, 12, 13, 14}},
        {2, -1, {10, 11, 12, 13, 14}},
        {INT_MIN, INT_MAX, {10, 11, 12, 13, 14}},
    };
    for (const auto& form : kForms) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << form.name << " RemoveRows(" << c.first << ", " << c.count << ")");
            RowSet rs = form.make();
            rs.AddColumn("v");
            for (int32_t r = 0; r < 5; ++r) {
                EXPECT_EQ(r, rs.AddRow());
                EXPECT_EQ(0, rs.RowTag(r));
                rs.SetRowTag(r, 10 + r);
                rs.SetStringAt(r, 0, "row" + std::to_string(r));
            }
            rs.RemoveRows(c.first, c.count);
            EXPECT_EQ(c.tags, Tags(rs));
            for (int32_t r = 0; r < rs.RowCount(); ++r)
                EXPECT_EQ("row" + std::to_string(c.tags[static_cast<size_t>(r)] - 10), rs.GetStringAt(r, 0, ""));
        }
    }
    for (const auto& form : kForms) {
        SCOPED_TRACE(form.name);
        RowSet rs = form.make();
        rs.SetRowCount(3);
        rs.SetRowTag(3, 9);
        rs.SetRowTag(-1, 9);
        EXPECT_EQ((std::vector<int32_t>{0, 0, 0}), Tags(rs));
        EXPECT_EQ(0, rs.RowTag(3));
        rs.SetRowCount(1);
        EXPECT_EQ(1, rs.RowCount());
        rs.ClearRows();
        EXPECT_EQ(0, rs.RowCount());
    }
}

TEST(RowSet, CloneIsIndependentAndComplete)
{
    for (const auto& form : kForms) {
        SCOPED_TRACE(form.name);
        RowSet rs = form.make();
        rs.SetName("t");
        rs.AddColumns("a,b");
        rs.SetRowCount(2);
        rs.SetIntAt(0, 0, 1);
        rs.SetStringAt(1, 1, "one");
        rs.SetStringAt(1, 1, "two"); // leaves dead text in the compact store
        rs.SetMarkedStringAt(0, 1, "m");
        rs.SetRowTag(1, 77);

        RowSet clone(rs.Clone());
        EXPECT_FALSE(clone.SharesTableWith(rs));
        EXPECT_EQ(form.compact, IsCompact(clone));
        EXPECT_EQ("t", clone.Name());
        EXPECT_EQ((std::vector<std::string>{"a", "b"}), Columns(clone));
        EXPECT_EQ(1, clone.ColumnIndex("b"));
        EXPECT_EQ(1, clone.GetIntAt(0, 0, -1));
        EXPECT_EQ("two", clone.GetStringAt(1, 1, ""));
        EXPECT_EQ(5, clone.KindAt(0, 1));
        EXPECT_EQ("m", clone.GetStringAt(0, 1, ""));
        EXPECT_EQ(77, clone.RowTag(1));

        clone.SetStringAt(1, 1, "changed");
        clone.AddColumn("c");
        EXPECT_EQ("two", rs.GetStringAt(1, 1, ""));
        EXPECT_EQ(2, rs.ColumnCount());
        if (form.compact) {
            EXPECT_EQ(0, Store(rs).DeadText()); // compacted before copying
            EXPECT_EQ(4, Store(rs).TextLength());
        }
    }
}

TEST(RowSet, HandleSharesAttributesAndTableButNotWithClones)
{
    RowSet rs;
    rs.SetInt("version", 3); // an attribute, not a cell
    rs.AddColumn("version");
    rs.AddRow();
    rs.SetInt(0, "version", 4);
    EXPECT_EQ(3, rs.GetInt("version", -1));
    EXPECT_EQ(4, rs.GetInt(0, "version", -1));
    EXPECT_EQ(1, rs.Count());

    RowSet copy = rs;
    copy.SetString("owner", "me");
    copy.SetStringAt(0, 0, "5");
    EXPECT_EQ("me", rs.GetString("owner", ""));
    EXPECT_EQ(5, rs.GetIntAt(0, 0, -1));

    rs.Clear(); // the attributes only
    EXPECT_EQ(0, copy.Count());
    EXPECT_EQ(1, copy.RowCount());
}

TEST(RowSet, EmptyTableHandleThrowsNullRef)
{
    RowSet empty(static_cast<IRowSet*>(nullptr));
    const records_test::Operations ops = {
        {"Name", [&] { (void)empty.Name(); }},
        {"AddColumn", [&] { (void)empty.AddColumn("a"); }},
        {"RowCount", [&] { (void)empty.RowCount(); }},
        {"SetRowCount", [&] { empty.SetRowCount(100); }},
        {"GetIntAt", [&] { (void)empty.GetIntAt(0, 0, 0); }},
        {"SetStringAt", [&] { empty.SetStringAt(0, 0, "x"); }},
        {"RemoveRows", [&] { empty.RemoveRows(0, 1); }},
        {"Clone", [&] { delete empty.Clone(); }},
    };
    records_test::ExpectEachThrowsNullRef(ops);
    empty.SetInt("attr", 1); // its attribute list is there
    EXPECT_EQ(1, empty.GetInt("attr", 0));
}

// ---- the compact form's text store ----

TEST(RowSetTextStore, GrowsByDoublingFrom1024)
{
    RowSet rs(16);
    rs.AddColumn("t");
    rs.SetRowCount(3);
    RowSetInnerImpl2& store = Store(rs);
    EXPECT_EQ(100, store.TextCapacity());
    const struct {
        int32_t row;
        size_t length;
        int32_t capacity, textLength;
    } steps[] = {
        {0, 100, 100, 100},   // fits exactly
        {1, 1, 1024, 101},    // first growth: 1024
        {2, 923, 1024, 1024}, // fits exactly again
        {0, 1, 2048, 1025},   // then doubling
        {1, 3000, 4096, 4025},
        {2, 5000, 16384, 9025},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << "row " << s.row << " length " << s.length);
        rs.SetStringAt(s.row, 0, std::string(s.length, 'x'));
        EXPECT_EQ(s.capacity, store.TextCapacity());
        EXPECT_EQ(s.textLength, store.TextLength());
        EXPECT_EQ(std::string(s.length, 'x'), rs.GetStringAt(s.row, 0, ""));
    }
    EXPECT_EQ(100 + 1 + 923, store.DeadText());
}

TEST(RowSetTextStore, CompactsWhenTheDeadPartIsLargeAndAThird)
{
    struct Case {
        const char* what;
        size_t length; // old and new text of cell 1
        bool compacts;
        int32_t textAfter, deadAfter;
    };
    const Case cases[] = {
        {"3000 replaced by 3000", 3000, true, 3000 + 8, 0},
        {"1000 replaced by 1000", 1000, false, 2000 + 8, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RowSet rs(16);
        rs.AddColumns("a,b");
        rs.SetRowCount(3);
        rs.SetStringAt(0, 0, "before");
        rs.SetStringAt(1, 1, std::string(c.length, 'A'));
        rs.SetMarkedStringAt(2, 0, "af");
        rs.SetIntAt(2, 1, 5);
        RowSetInnerImpl2& store = Store(rs);
        ASSERT_EQ(0, store.DeadText());

        rs.SetStringAt(1, 1, std::string(c.length, 'B'));
        EXPECT_EQ(c.textAfter, store.TextLength());
        EXPECT_EQ(c.deadAfter, store.DeadText());
        if (c.compacts) {
            EXPECT_EQ(c.textAfter, store.TextCapacity());
        }
        // Every cell reads what it read before.
        EXPECT_EQ("before", rs.GetStringAt(0, 0, ""));
        EXPECT_EQ(std::string(c.length, 'B'), rs.GetStringAt(1, 1, ""));
        EXPECT_EQ("af", rs.GetStringAt(2, 0, ""));
        EXPECT_EQ(5, rs.KindAt(2, 0));
        EXPECT_EQ(5, rs.GetIntAt(2, 1, -1));
        // Writing after a compaction appends behind the survivors.
        rs.SetStringAt(0, 1, "next");
        EXPECT_EQ("next", rs.GetStringAt(0, 1, ""));
        EXPECT_EQ("before", rs.GetStringAt(0, 0, ""));
    }
}

TEST(RowSetTextStore, ThirdIsAStrictBound)
{
    RowSet rs(16);
    rs.AddColumn("t");
    rs.SetRowCount(3);
    RowSetInnerImpl2& store = Store(rs);
    rs.SetStringAt(0, 0, std::string(2048, 'a'));
    rs.SetStringAt(1, 0, std::string(2048, 'b'));
    rs.SetStringAt(0, 0, std::string(2048, 'c')); // dead 2048 of 6144: exactly a third
    EXPECT_EQ(6144, store.TextLength());
    EXPECT_EQ(2048, store.DeadText());
    rs.SetStringAt(2, 0, "d"); // 2048 of 6145: below a third
    EXPECT_EQ(6145, store.TextLength());
    rs.SetStringAt(2, 0, "e"); // 2049 of 6146: above
    EXPECT_EQ(0, store.DeadText());
    EXPECT_EQ(4097, store.TextLength());
    EXPECT_EQ(std::string(2048, 'c'), rs.GetStringAt(0, 0, ""));
    EXPECT_EQ(std::string(2048, 'b'), rs.GetStringAt(1, 0, ""));
    EXPECT_EQ("e", rs.GetStringAt(2, 0, ""));
}

TEST(RowSetTextStore, RemovedRowsLeaveDeadText)
{
    struct Case {
        const char* what;
        std::function<void(RowSet&)> drop;
        int32_t deadAfterDrop; // SetRowCount compacts by itself
        int32_t deadAfterWrite, textAfterWrite;
    };
    const Case cases[] = {
        {"RemoveRows", [](RowSet& rs) { rs.RemoveRows(1, 2); }, 3000, 0, 1},
        {"SetRowCount", [](RowSet& rs) { rs.SetRowCount(1); }, 0, 4, 5},
        {"overwritten by numbers", [](RowSet& rs) { rs.SetIntAt(1, 0, 1); rs.SetNullAt(2, 0); }, 3000, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RowSet rs(16);
        rs.AddColumn("t");
        rs.SetRowCount(3);
        rs.SetStringAt(0, 0, "keep");
        rs.SetStringAt(1, 0, std::string(1500, 'x'));
        rs.SetStringAt(2, 0, std::string(1500, 'y'));
        RowSetInnerImpl2& store = Store(rs);
        c.drop(rs);
        EXPECT_EQ(c.deadAfterDrop, store.DeadText());
        rs.SetStringAt(0, 0, "z"); // the next text write compacts
        EXPECT_EQ(c.deadAfterWrite, store.DeadText());
        EXPECT_EQ(c.textAfterWrite, store.TextLength());
        EXPECT_EQ("z", rs.GetStringAt(0, 0, ""));
    }
}

TEST(RowSetTextStore, ClearRowsEmptiesTheStore)
{
    RowSet rs(5000);
    rs.AddColumn("t");
    rs.SetRowCount(2);
    rs.SetStringAt(0, 0, "abc");
    rs.SetStringAt(0, 0, "abd");
    RowSetInnerImpl2& store = Store(rs);
    EXPECT_EQ(5000, store.TextCapacity());
    rs.ClearRows();
    EXPECT_EQ(0, store.TextCapacity());
    EXPECT_EQ(0, store.TextLength());
    EXPECT_EQ(0, store.DeadText());
    rs.AddRow();
    rs.SetStringAt(0, 0, "new");
    EXPECT_EQ(1024, store.TextCapacity());
    EXPECT_EQ("new", rs.GetStringAt(0, 0, ""));
}

TEST(RowSetTextStore, TextsDoNotRunIntoTheirNeighbours)
{
    RowSet rs(16);
    rs.AddColumns("a,b");
    rs.SetRowCount(1);
    rs.SetStringAt(0, 0, "12");
    rs.SetStringAt(0, 1, "34.5");
    EXPECT_EQ(12, rs.GetIntAt(0, 0, -1));
    EXPECT_EQ(12.0, rs.GetDoubleAt(0, 0, -1));
    EXPECT_EQ("12", rs.GetStringAt(0, 0, ""));
    EXPECT_EQ(34.5, rs.GetDoubleAt(0, 1, -1));
}

// ---- the compact form's cell pool ----

TEST(RowSetCellPool, RowsGrowAndShrinkWithoutLosingCells)
{
    RowSet rs(16);
    rs.AddColumn("c0");
    rs.SetRowCount(5000);
    RowSetInnerImpl2& pool = Store(rs);
    for (int32_t r = 0; r < 5000; ++r)
        rs.SetIntAt(r, 0, r);
    EXPECT_EQ(5000u, pool.PoolCells());

    // More columns after the data: the rows move to larger blocks, and the
    // pool reclaims the old ones once they are more than half of it.
    rs.AddColumns("c1,c2");
    for (int32_t r = 0; r < 5000; ++r) {
        rs.SetStringAt(r, 2, "t" + std::to_string(r));
        rs.SetRowTag(r, r + 1);
    }
    EXPECT_LT(pool.PoolWaste(), pool.PoolCells() / 2 + 1);
    for (int32_t r = 0; r < 5000; r += 499) {
        SCOPED_TRACE(r);
        EXPECT_EQ(r, rs.GetIntAt(r, 0, -1));
        EXPECT_EQ(0, rs.KindAt(r, 1)); // the gap reads empty
        EXPECT_EQ("t" + std::to_string(r), rs.GetStringAt(r, 2, ""));
    }

    // Removing most rows leaves their blocks unused until the pool compacts.
    rs.RemoveRows(0, 4000);
    EXPECT_EQ(0u, pool.PoolWaste());
    EXPECT_EQ(3000u, pool.PoolCells());
    ASSERT_EQ(1000, rs.RowCount());
    for (int32_t r = 0; r < 1000; r += 111) {
        SCOPED_TRACE(r);
        EXPECT_EQ(4000 + r, rs.GetIntAt(r, 0, -1));
        EXPECT_EQ("t" + std::to_string(4000 + r), rs.GetStringAt(r, 2, ""));
        EXPECT_EQ(4001 + r, rs.RowTag(r));
    }
    // Rows added later get blocks of their own.
    const int32_t added = rs.AddRow();
    rs.SetIntAt(added, 1, 42);
    EXPECT_EQ(42, rs.GetIntAt(added, 1, -1));
    EXPECT_EQ(4999, rs.GetIntAt(added - 1, 0, -1));

    std::unique_ptr<IRowSet> clone(rs.Clone());
    EXPECT_EQ(42, clone->GetIntAt(added, 1, -1));
    EXPECT_EQ("t4500", clone->GetStringAt(500, 2, ""));

    rs.SetRowCount(0);
    EXPECT_EQ(0u, pool.PoolCells());
    EXPECT_EQ("t4500", clone->GetStringAt(500, 2, ""));
}

TEST(RowSetCellPool, CellsARowHasNotWrittenReadEmpty)
{
    // A row's block is sized for every column but holds only the cells
    // written so far. Fill the pool with numbers, free it, and let new rows
    // take (most likely) the same memory: reading past a row's written cells
    // must still give the default, not what the memory held before.
    RowSet rs(16);
    rs.AddColumns("a,b,c");
    rs.SetRowCount(3000);
    ASSERT_TRUE(IsCompact(rs));
    for (int32_t r = 0; r < 3000; ++r)
        for (int32_t c = 0; c < 3; ++c)
            rs.SetIntAt(r, c, 7);
    rs.ClearRows();
    rs.SetRowCount(3000);
    for (int32_t r = 0; r < 3000; ++r)
        rs.SetIntAt(r, 0, r);
    for (int32_t r = 0; r < 3000; r += 97) {
        SCOPED_TRACE(r);
        EXPECT_EQ(r, rs.GetIntAt(r, 0, -1));
        EXPECT_EQ(common::ATTR_KIND_EMPTY, rs.KindAt(r, 1));
        EXPECT_EQ(common::ATTR_KIND_EMPTY, rs.KindAt(r, 2));
        EXPECT_EQ(-1, rs.GetIntAt(r, 2, -1));
        EXPECT_EQ("none", rs.GetStringAt(r, 1, "none"));
    }
}
