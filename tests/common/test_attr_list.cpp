// Attribute lists: slots, compaction, names, shared handles and clones.
#include "common/AttrList.h"
#include "tests/common/records_test_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using common::AttrList;
using common::AttrListInnerImpl;
using common::IAttrList;

namespace {

// Names and integer values by position, for comparing whole lists.
std::vector<std::string> Names(const IAttrList& l)
{
    return records_test::Collect(l.Count(), [&](int32_t p) { return l.NameAt(p); });
}

std::vector<int32_t> Ints(const IAttrList& l)
{
    return records_test::Collect(l.Count(), [&](int32_t p) { return l.GetIntAt(p, -1); });
}

} // namespace

TEST(AttrList, RemovedSlotIsReusedByTheNextAddition)
{
    AttrListInnerImpl l;
    l.SetInt("a", 1);
    l.SetInt("b", 2);
    l.SetInt("c", 3);
    const int32_t slotOfB = l.SlotAt(1);

    l.Remove("b");
    EXPECT_EQ((std::vector<std::string>{"a", "c"}), Names(l));
    EXPECT_EQ((std::vector<int32_t>{1, 3}), Ints(l));
    EXPECT_EQ(3, l.SlotCount()); // the slot stays reserved
    EXPECT_FALSE(l.Has("b"));

    // The new attribute takes b's slot and none of b's old value.
    l.SetNull("d");
    EXPECT_EQ(3, l.Count());
    EXPECT_EQ(3, l.SlotCount());
    EXPECT_EQ("d", l.NameAt(2));
    EXPECT_EQ(slotOfB, l.SlotAt(2));
    EXPECT_EQ(common::ATTR_KIND_EMPTY, l.KindOf("d"));
    EXPECT_EQ(-1, l.GetInt("d", -1));
    EXPECT_EQ("none", l.GetString("d", "none"));

    l.SetInt("e", 5); // no free slot left: the arrays grow
    EXPECT_EQ(4, l.SlotCount());
    EXPECT_EQ((std::vector<std::string>{"a", "c", "d", "e"}), Names(l));
}

TEST(AttrList, CompactsWhenFewerThanAThirdOfTheSlotsAreLive)
{
    AttrListInnerImpl l;
    std::vector<std::pair<std::string, int32_t>> model;
    for (int32_t i = 0; i < 10; ++i) {
        l.SetInt("n" + std::to_string(i), i * 10);
        model.emplace_back("n" + std::to_string(i), i * 10);
    }
    // Remove from the middle and both ends so positions really shift.
    const char* removals[] = {"n4", "n0", "n9", "n5", "n2", "n7", "n1"};
    for (const char* name : removals) {
        SCOPED_TRACE(name);
        l.Remove(name);
        for (auto it = model.begin(); it != model.end(); ++it)
            if (it->first == name) {
                model.erase(it);
                break;
            }
        ASSERT_EQ(static_cast<int32_t>(model.size()), l.Count());
        // 3 live of 10 slots is the first count whose triple is below 10.
        EXPECT_EQ(l.Count() * 3 < 10 ? l.Count() : 10, l.SlotCount());
        for (int32_t p = 0; p < l.Count(); ++p) {
            EXPECT_EQ(model[static_cast<size_t>(p)].first, l.NameAt(p)) << "position " << p;
            EXPECT_EQ(model[static_cast<size_t>(p)].second, l.GetIntAt(p, -1)) << "position " << p;
            EXPECT_EQ(model[static_cast<size_t>(p)].second, l.GetInt(model[static_cast<size_t>(p)].first, -1));
        }
    }
    EXPECT_EQ(3, l.SlotCount());
    EXPECT_EQ(0, l.SlotAt(0));
    EXPECT_EQ(2, l.SlotAt(2));
}

TEST(AttrList, OutOfRangePositionsAndAbsentNames)
{
    AttrListInnerImpl l;
    l.SetInt("a", 1);
    l.SetString("b", "x");
    for (int32_t pos : {-1, 2, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(pos);
        EXPECT_EQ("", l.NameAt(pos));
        EXPECT_EQ(0, l.KindAt(pos));
        EXPECT_EQ(-3, l.GetIntAt(pos, -3));
        EXPECT_EQ(-3.5, l.GetDoubleAt(pos, -3.5));
        EXPECT_EQ("dflt", l.GetStringAt(pos, "dflt"));
        EXPECT_FALSE(l.RenameAt(pos, "zz"));
        l.SetIntAt(pos, 9);
        l.SetDoubleAt(pos, 9.5);
        l.SetStringAt(pos, "9", true);
        l.SetNullAt(pos);
        EXPECT_EQ(2, l.Count());
        EXPECT_EQ(1, l.GetInt("a", -1));
        EXPECT_EQ("x", l.GetString("b", ""));
    }
    EXPECT_FALSE(l.Has("zz"));
    EXPECT_EQ(0, l.KindOf("zz"));
    EXPECT_EQ(-3, l.GetInt("zz", -3));
    EXPECT_EQ(-3.5, l.GetDouble("zz", -3.5));
    EXPECT_EQ("dflt", l.GetString("zz", "dflt"));
    EXPECT_FALSE(l.Rename("zz", "yy"));
    l.Remove("zz");
    EXPECT_EQ(2, l.Count());
}

TEST(AttrList, SettersByNameAndPosition)
{
    AttrListInnerImpl l;
    l.SetNull("n");
    EXPECT_TRUE(l.Has("n"));
    EXPECT_EQ(1, l.Count());
    EXPECT_EQ(0, l.KindOf("n"));
    EXPECT_EQ(-1, l.GetInt("n", -1));
    EXPECT_EQ(-1.5, l.GetDouble("n", -1.5));
    EXPECT_EQ("d", l.GetString("n", "d"));

    l.SetString("n", "12abc", true); // replaces, does not add
    EXPECT_EQ(1, l.Count());
    EXPECT_EQ(common::ATTR_KIND_MARKED_STRING, l.KindOf("n"));
    EXPECT_EQ(12, l.GetInt("n", -1));
    l.SetStringAt(0, "abc");
    EXPECT_EQ(common::ATTR_KIND_STRING, l.KindAt(0));
    EXPECT_EQ(-1, l.GetIntAt(0, -1));
    EXPECT_EQ(0.0, l.GetDoubleAt(0, -1.5)); // a text without a number reads 0.0
    l.SetDoubleAt(0, -2.75);
    EXPECT_EQ(-2, l.GetInt("n", 0));
    EXPECT_EQ("-2.75", l.GetString("n", ""));
    l.SetIntAt(0, 7);
    EXPECT_EQ(7.0, l.GetDouble("n", 0));
    l.SetNullAt(0);
    EXPECT_EQ(0, l.KindAt(0));
    EXPECT_TRUE(l.Has("n"));
}

TEST(AttrList, EmptyNameAlwaysAddsAndIsReachableOnlyByPosition)
{
    AttrListInnerImpl l;
    l.SetInt("", 1);
    l.SetString("", "two");
    EXPECT_EQ(2, l.Count());
    EXPECT_FALSE(l.Has(""));
    EXPECT_EQ(0, l.KindOf(""));
    EXPECT_EQ(-1, l.GetInt("", -1));
    EXPECT_EQ(1, l.GetIntAt(0, -1));
    EXPECT_EQ("two", l.GetStringAt(1, ""));
    l.Remove(""); // nothing to remove by name
    EXPECT_EQ(2, l.Count());
    EXPECT_FALSE(l.Rename("", "x"));
    EXPECT_TRUE(l.RenameAt(1, "x"));
    EXPECT_EQ("two", l.GetString("x", ""));
}

TEST(AttrList, RenameRules)
{
    struct Case {
        const char* what;
        std::function<bool(AttrListInnerImpl&)> op;
        bool result;
        std::vector<std::string> names; // by position afterwards
    };
    const Case cases[] = {
        {"rename to another's name", [](AttrListInnerImpl& l) { return l.Rename("a", "b"); }, false, {"a", "b", "c"}},
        {"rename to its own name", [](AttrListInnerImpl& l) { return l.Rename("a", "a"); }, false, {"a", "b", "c"}},
        {"rename a missing name", [](AttrListInnerImpl& l) { return l.Rename("x", "y"); }, false, {"a", "b", "c"}},
        {"renameAt to another's name", [](AttrListInnerImpl& l) { return l.RenameAt(2, "a"); }, false, {"a", "b", "c"}},
        {"renameAt out of range", [](AttrListInnerImpl& l) { return l.RenameAt(3, "z"); }, false, {"a", "b", "c"}},
        {"rename", [](AttrListInnerImpl& l) { return l.Rename("b", "z"); }, true, {"a", "z", "c"}},
        {"renameAt", [](AttrListInnerImpl& l) { return l.RenameAt(0, "z"); }, true, {"z", "b", "c"}},
        {"rename to the empty name", [](AttrListInnerImpl& l) { return l.Rename("c", ""); }, true, {"a", "b", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AttrListInnerImpl l;
        l.SetInt("a", 1);
        l.SetInt("b", 2);
        l.SetInt("c", 3);
        EXPECT_EQ(c.result, c.op(l));
        EXPECT_EQ(c.names, Names(l));
        EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), Ints(l)); // values keep their positions
        for (const auto& n : c.names) {
            EXPECT_EQ(!n.empty(), l.Has(n)) << n;
        }
        for (const char* old : {"a", "b", "c"}) {
            bool kept = false;
            for (const auto& n : c.names)
                kept = kept || n == old;
            EXPECT_EQ(kept, l.Has(old)) << old;
        }
    }
}

TEST(AttrList, RenamedAttributeCanBeRemovedAndItsOldNameReused)
{
    AttrListInnerImpl l;
    l.SetInt("a", 1);
    l.SetInt("b", 2);
    ASSERT_TRUE(l.Rename("a", "x"));
    l.SetInt("a", 3); // a is free again: a new attribute
    EXPECT_EQ((std::vector<std::string>{"x", "b", "a"}), Names(l));
    l.Remove("x");
    EXPECT_EQ((std::vector<std::string>{"b", "a"}), Names(l));
    EXPECT_EQ(3, l.GetInt("a", -1));
}

TEST(AttrList, ClearEmptiesEverything)
{
    AttrListInnerImpl l;
    l.SetInt("a", 1);
    l.SetInt("b", 2);
    l.Remove("a");
    l.Clear();
    EXPECT_EQ(0, l.Count());
    EXPECT_EQ(0, l.SlotCount());
    EXPECT_FALSE(l.Has("b"));
    l.SetInt("b", 5);
    EXPECT_EQ(5, l.GetIntAt(0, -1));
}

TEST(AttrList, CopiesShareAndClonesDoNot)
{
    AttrList a;
    a.SetInt("x", 1);
    AttrList copy = a;
    copy.SetInt("y", 2);
    EXPECT_EQ(2, a.GetInt("y", -1));
    EXPECT_TRUE(a.SharesWith(copy));

    AttrList clone = a.Clone();
    EXPECT_FALSE(clone.SharesWith(a));
    EXPECT_EQ((std::vector<std::string>{"x", "y"}), Names(clone));
    clone.SetInt("x", 10);
    clone.SetInt("z", 3);
    a.Remove("y");
    EXPECT_EQ(1, a.GetInt("x", -1));
    EXPECT_FALSE(a.Has("z"));
    EXPECT_EQ(2, clone.GetInt("y", -1));
    EXPECT_EQ(10, clone.GetInt("x", -1));

    // Through the interface, Clone hands over a raw list owned by the caller.
    const IAttrList& asInterface = a;
    std::unique_ptr<IAttrList> raw(asInterface.Clone());
    raw->SetInt("x", 99);
    EXPECT_EQ(1, a.GetInt("x", -1));
    EXPECT_EQ((std::vector<std::string>{"x"}), Names(*raw));
}

TEST(AttrList, CloneCompactsAndKeepsOrder)
{
    AttrListInnerImpl l;
    for (const char* n : {"a", "b", "c", "d", "e"})
        l.SetString(n, n);
    l.SetInt("", 6);
    l.Remove("b");
    l.Remove("d");
    ASSERT_EQ(6, l.SlotCount());

    std::unique_ptr<AttrListInnerImpl> clone(l.Clone());
    EXPECT_EQ(4, l.SlotCount()); // the original was compacted first
    EXPECT_EQ(4, clone->SlotCount());
    EXPECT_EQ((std::vector<std::string>{"a", "c", "e", ""}), Names(*clone));
    EXPECT_EQ(Names(l), Names(*clone));
    EXPECT_EQ("e", clone->GetString("e", ""));
    EXPECT_EQ(6, clone->GetIntAt(3, -1));
    for (int32_t p = 0; p < 4; ++p)
        EXPECT_EQ(p, clone->SlotAt(p));
    // After compaction the names still find their attributes.
    EXPECT_EQ("c", l.GetString("c", ""));
    l.SetInt("f", 7);
    EXPECT_EQ(4, clone->Count());
    EXPECT_FALSE(clone->Has("f"));
}

TEST(AttrList, EmptyHandleThrowsNullRef)
{
    AttrList empty(nullptr);
    const records_test::Operations ops = {
        {"Count", [&] { (void)empty.Count(); }},
        {"NameAt", [&] { (void)empty.NameAt(0); }},
        {"Has", [&] { (void)empty.Has("a"); }},
        {"GetInt", [&] { (void)empty.GetInt("a", 0); }},
        {"GetStringAt", [&] { (void)empty.GetStringAt(0, ""); }},
        {"SetString", [&] { empty.SetString("a", "b"); }},
        {"SetIntAt", [&] { empty.SetIntAt(0, 1); }},
        {"Rename", [&] { (void)empty.Rename("a", "b"); }},
        {"Remove", [&] { empty.Remove("a"); }},
        {"Clear", [&] { empty.Clear(); }},
        {"Clone", [&] { AttrList c = empty.Clone(); }},
    };
    records_test::ExpectEachThrowsNullRef(ops);
}
