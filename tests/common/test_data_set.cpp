// Data sets: named row sets kept in order, their own attributes, shared
// handles.
#include "common/DataSet.h"
#include "tests/common/records_test_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using common::DataSet;
using common::IAttrList;
using common::RowSet;
using common::row_set_not_found;

namespace {

std::vector<std::string> RowSetNames(const DataSet& ds)
{
    return records_test::Collect(ds.RowSetCount(), [&](int32_t i) { return ds.RowSetNameAt(i); });
}

} // namespace

TEST(DataSet, ReplacingARowSetKeepsItsIndex)
{
    DataSet ds;
    RowSet first, second, other;
    ds.SetRowSet("a", first);
    ds.SetRowSet("b", other);
    ds.SetRowSet("a", second);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), RowSetNames(ds));
    EXPECT_EQ(0, ds.RowSetIndex("a"));
    EXPECT_TRUE(ds.GetRowSet("a").SharesTableWith(second));
    EXPECT_FALSE(ds.GetRowSet("a").SharesTableWith(first));
    EXPECT_TRUE(ds.RowSetAt(1).SharesTableWith(other));
}

TEST(DataSet, RemovalMovesLaterRowSetsDown)
{
    struct Case {
        const char* removed;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"t1", {"t2", "t3"}},
        {"t2", {"t1", "t3"}},
        {"t3", {"t1", "t2"}},
        {"t4", {"t1", "t2", "t3"}},
        {"", {"t1", "t2", "t3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.removed);
        DataSet ds;
        std::vector<RowSet> sets(3);
        for (int i = 0; i < 3; ++i)
            ds.SetRowSet("t" + std::to_string(i + 1), sets[static_cast<size_t>(i)]);
        ds.RemoveRowSet(c.removed);
        EXPECT_EQ(c.names, RowSetNames(ds));
        for (size_t i = 0; i < c.names.size(); ++i) {
            EXPECT_EQ(static_cast<int32_t>(i), ds.RowSetIndex(c.names[i])) << c.names[i];
            const size_t original = static_cast<size_t>(c.names[i][1] - '1');
            EXPECT_TRUE(ds.RowSetAt(static_cast<int32_t>(i)).SharesTableWith(sets[original])) << c.names[i];
        }
        EXPECT_EQ(-1, ds.RowSetIndex(c.removed));
    }
}

TEST(DataSet, MissingRowSets)
{
    DataSet ds;
    ds.SetRowSet("present", RowSet());
    const std::vector<std::pair<const char*, std::function<void()>>> throwing = {
        {"GetRowSet missing", [&] { (void)ds.GetRowSet("missing"); }},
        {"GetRowSet other case", [&] { (void)ds.GetRowSet("Present"); }},
        {"RowSetAt -1", [&] { (void)ds.RowSetAt(-1); }},
        {"RowSetAt count", [&] { (void)ds.RowSetAt(1); }},
    };
    for (const auto& op : throwing) {
        SCOPED_TRACE(op.first);
        try {
            op.second();
            ADD_FAILURE() << "no exception";
        } catch (const row_set_not_found& e) {
            EXPECT_STREQ("RowSet not found", e.what());
        }
    }
    EXPECT_THROW(ds.GetRowSet("missing"), std::runtime_error);

    // FindRowSet leaves its out-parameter alone when it finds nothing.
    RowSet sentinel;
    RowSet out = sentinel;
    EXPECT_FALSE(ds.FindRowSet("missing", out));
    EXPECT_TRUE(out.SharesTableWith(sentinel));
    EXPECT_TRUE(ds.FindRowSet("present", out));
    EXPECT_TRUE(out.SharesTableWith(ds.GetRowSet("present")));

    EXPECT_EQ(-1, ds.RowSetIndex("missing"));
    EXPECT_EQ("", ds.RowSetNameAt(1));
    EXPECT_EQ("", ds.RowSetNameAt(-1));
    ds.RemoveRowSet("missing");
    EXPECT_EQ(1, ds.RowSetCount());
}

TEST(DataSet, ChangesThroughReturnedHandlesAreSeenInside)
{
    DataSet ds;
    ds.SetRowSet("orders", RowSet());

    RowSet viaGet = ds.GetRowSet("orders");
    viaGet.SetName("orders");
    viaGet.SetRowCount(100); // shared with the data set: stays in step
    viaGet.AddColumns("id,item");
    viaGet.SetIntAt(99, 0, 7);
    viaGet.SetString("source", "shop"); // the row set's own attributes too

    RowSet viaFind;
    ASSERT_TRUE(ds.FindRowSet("orders", viaFind));
    viaFind.SetStringAt(0, 1, "pen");

    RowSet viaIndex = ds.RowSetAt(0);
    EXPECT_EQ(100, viaIndex.RowCount());
    EXPECT_EQ(7, viaIndex.GetInt(99, "id", -1));
    EXPECT_EQ("pen", viaIndex.GetString(0, "item", ""));
    EXPECT_EQ("shop", viaIndex.GetString("source", ""));
    EXPECT_EQ("orders", viaIndex.Name());
}

TEST(DataSet, AttributesClearAndClone)
{
    DataSet ds;
    ds.SetString("title", "report");
    ds.SetInt("pages", 3);
    RowSet table;
    table.AddColumn("x");
    ds.SetRowSet("t", table);
    EXPECT_EQ(2, ds.Count());
    EXPECT_EQ("pages", ds.NameAt(1));
    EXPECT_EQ(3, ds.GetIntAt(1, -1));

    std::unique_ptr<IAttrList> clone(ds.Clone()); // the attributes only
    EXPECT_EQ(2, clone->Count());
    EXPECT_EQ("report", clone->GetString("title", ""));
    clone->SetInt("pages", 4);
    EXPECT_EQ(3, ds.GetInt("pages", -1));

    DataSet copy = ds;
    copy.Clear();
    EXPECT_EQ(0, ds.Count());
    EXPECT_EQ(0, ds.RowSetCount());
    EXPECT_EQ(-1, ds.RowSetIndex("t"));
    EXPECT_EQ(1, table.ColumnCount()); // the caller's handle lives on
    EXPECT_EQ("report", clone->GetString("title", ""));

    ds.SetRowSet("t", table); // usable after Clear
    EXPECT_EQ(0, copy.RowSetIndex("t"));
}

TEST(DataSet, EmptyHandleThrowsNullRef)
{
    DataSet empty(nullptr);
    RowSet out;
    const records_test::Operations ops = {
        {"Count", [&] { (void)empty.Count(); }},
        {"SetInt", [&] { empty.SetInt("a", 1); }},
        {"Clear", [&] { empty.Clear(); }},
        {"Clone", [&] { delete empty.Clone(); }},
        {"RowSetCount", [&] { (void)empty.RowSetCount(); }},
        {"RowSetNameAt", [&] { (void)empty.RowSetNameAt(0); }},
        {"FindRowSet", [&] { (void)empty.FindRowSet("a", out); }},
        {"GetRowSet", [&] { (void)empty.GetRowSet("a"); }},
        {"SetRowSet", [&] { empty.SetRowSet("a", out); }},
        {"RemoveRowSet", [&] { empty.RemoveRowSet("a"); }},
    };
    records_test::ExpectEachThrowsNullRef(ops);
}
