// The plug-in registry: start-up registration, name order and case, and
// factories replacing one another.
#include "plugin/PlugIn.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {
struct OtherPlugIn : PlugIn {
    long Execute(long a, long b, long c) override { return a + b + c; }
};

std::vector<std::string> Keys()
{
    std::vector<std::string> keys;
    if (PlugInMap* map = PlugInFactory::Registry())
        for (const auto& entry : *map)
            keys.push_back(entry.first);
    return keys;
}
} // namespace

TEST(PlugInRegistry, TestPlugInIsRegisteredAtStartUp)
{
    PlugInFactory* factory = PlugInFactory::Find("TestPlugIn");
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ("TestPlugIn", factory->Name());
    std::unique_ptr<PlugIn> p(factory->Create());
    ASSERT_NE(nullptr, p);
    EXPECT_NE(nullptr, dynamic_cast<TestPlugIn*>(p.get()));
    EXPECT_EQ(0, p->Param());
    EXPECT_EQ(0, p->Execute(1, 2, 3));
    EXPECT_EQ(42, p->SetParam(42));
    EXPECT_EQ(42, p->Param());
}

TEST(PlugInRegistry, ShorterNamesFirstThenLettersIgnoringCase)
{
    PlugInRegister<OtherPlugIn> z("z"), bb("bb"), Ab("Ab"), abc("abc"), aa("AA");
    EXPECT_EQ((std::vector<std::string>{"z", "AA", "Ab", "bb", "abc", "TestPlugIn"}), Keys());
}

TEST(PlugInRegistry, SameNameInAnyCaseIsOneKeyAndTheLaterFactoryWins)
{
    const size_t before = Keys().size();
    {
        PlugInRegister<TestPlugIn> first("Echo");
        {
            PlugInRegister<OtherPlugIn> second("ECHO");
            EXPECT_EQ(before + 1, Keys().size());
            EXPECT_EQ(&second, PlugInFactory::Find("echo"));
            std::unique_ptr<PlugIn> p(PlugInFactory::Find("Echo")->Create());
            EXPECT_EQ(6, p->Execute(1, 2, 3));
        }
        // The later one went first: its own entry is gone, nothing else.
        EXPECT_EQ(nullptr, PlugInFactory::Find("Echo"));
        EXPECT_EQ(before, Keys().size());
    }
    EXPECT_EQ(before, Keys().size());
}

TEST(PlugInRegistry, AnEarlierFactoryGoingAwayLeavesItsReplacement)
{
    auto first = std::make_unique<PlugInRegister<TestPlugIn>>("Twice");
    PlugInRegister<OtherPlugIn> second("twice");
    first.reset();
    EXPECT_EQ(&second, PlugInFactory::Find("TWICE"));
}

TEST(PlugInRegistry, NullNameIsNotRegisteredAndBaseFactoryCreatesNothing)
{
    const size_t before = Keys().size();
    PlugInRegister<TestPlugIn> unnamed(nullptr);
    EXPECT_EQ(before, Keys().size());
    std::unique_ptr<PlugIn> p(unnamed.Create());
    EXPECT_NE(nullptr, p);
    PlugInFactory base;
    EXPECT_EQ(nullptr, base.Create());
    EXPECT_EQ(nullptr, PlugInFactory::Find(nullptr));
    EXPECT_EQ(nullptr, PlugInFactory::Find("Nobody"));
}
