// tarvick-tool dbf, run through its registered entry with captured output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "tests/common/CaseName.h"
#include "tests/dbf/DbfTestUtil.h"
#include "tools/Tool.h"

using namespace dbftest;

namespace {
ToolRun gRun = nullptr;
}  // namespace

ToolRegistration::ToolRegistration(const char* name, const char*, ToolRun run) {
    if (std::string(name) == "dbf") gRun = run;
}

namespace {

struct TResult {
    int rc;
    std::string out, err;
};

TResult Tool(const ToolArgs& args) {
    std::ostringstream out, err;
    auto* oldOut = std::cout.rdbuf(out.rdbuf());
    auto* oldErr = std::cerr.rdbuf(err.rdbuf());
    const int rc = gRun(args);
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    return {rc, out.str(), err.str()};
}

class ToolDbfTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(gRun, nullptr);
        TableSpec t;
        t.fields = {{"NAME", 'C', 8}, {"N", 'N', 3}, {"OK", 'L', 1}, {"MEMO", 'M', 10}};
        t.records = {"*" + Pad("dead", 8) + "  1T0000000000",
                     " " + Pad("a\\b", 8) + " 12F         1"};
        t.version = 0x83;
        WriteFile(File(), BuildTable(t));
        WriteFile(dir_.File("t.dbt"), BuildMemo(512, 2, false, {{1, "x\ty\r\nz\x1A\x1A"}}));
    }
    std::string File() const { return dir_.File("t.dbf"); }
    TempDir dir_;
};

TEST_F(ToolDbfTest, FieldsDumpAndGet) {
    const TResult fields = Tool({"fields", File()});
    EXPECT_EQ(fields.rc, 0);
    EXPECT_EQ(fields.out, "NAME\tC\t8\t0\nN\tN\t3\t0\nOK\tL\t1\t0\nMEMO\tM\t10\t0\n");
    const TResult dump = Tool({"dump", File()});
    EXPECT_EQ(dump.out, "NAME=a\\\\b\tN=12\tOK=False\tMEMO=x\\ty\\r\\nz\n");
    EXPECT_EQ(Tool({"get", File(), "memo"}).out, "x\ty\r\nz\n");
    const std::string before = ReadFile(File());
    Tool({"dump", File()});
    EXPECT_EQ(ReadFile(File()), before) << "inspecting leaves the file as it was";
}

TEST_F(ToolDbfTest, SetTakesEachKind) {
    EXPECT_EQ(Tool({"set", File(), "ok", "true"}).rc, 0);
    EXPECT_EQ(Tool({"get", File(), "OK"}).out, "True\n");
    EXPECT_EQ(Tool({"set", File(), "OK", "f"}).rc, 0);
    EXPECT_EQ(Tool({"get", File(), "OK"}).out, "False\n");
    EXPECT_EQ(Tool({"set", File(), "N", "-7"}).rc, 0);
    EXPECT_EQ(Tool({"get", File(), "N"}).out, "-7\n");
    EXPECT_EQ(Tool({"set", File(), "MEMO", "one\r\ntwo"}).rc, 0);
    EXPECT_EQ(Tool({"get", File(), "MEMO"}).out, "one\r\ntwo\n");
    EXPECT_EQ(Tool({"set", File(), "NAME", "\xC0\xC1"}).rc, 0);
    EXPECT_EQ(Tool({"get", File(), "NAME"}).out, "\xC0\xC1\n");
}

struct TFailure {
    const char* name;
    ToolArgs args;
    int rc;
    const char* err;
};

class ToolDbfFailureTest : public ToolDbfTest, public testing::WithParamInterface<TFailure> {};

TEST_P(ToolDbfFailureTest, ReportsOnStandardError) {
    ToolArgs args = GetParam().args;
    for (auto& a : args) {
        if (a == "FILE") a = File();
    }
    const TResult r = Tool(args);
    EXPECT_EQ(r.rc, GetParam().rc);
    EXPECT_NE(r.err.find(GetParam().err), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolDbfFailureTest,
    testing::Values(
        TFailure{
            "NotABoolean", {"set", "FILE", "OK", "maybe"}, 1, "'maybe' is not a valid boolean"},
        TFailure{
            "NotAnInteger", {"set", "FILE", "N", "1x"}, 1, "'1x' is not a valid integer value"},
        TFailure{"UnknownField", {"get", "FILE", "NOPE"}, 1, "Field 'NOPE' not found"},
        TFailure{"MissingFile", {"get", "/nonexistent/x.dbf", "A"}, 1, "Open: file not found"},
        TFailure{"UnknownCommand", {"frob", "FILE"}, 2, "usage"},
        TFailure{"LongerThanTheField",
                 {"set", "FILE", "NAME", "123456789"},
                 1,
                 "the value is 9 characters long; field NAME holds 8"}),
    CaseName());

// A value that does not fit leaves the field as it was.
TEST_F(ToolDbfTest, SetNeverCutsAValue) {
    const TResult r = Tool({"set", File(), "NAME", "123456789"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find(File()), std::string::npos) << r.err;
    EXPECT_EQ(Tool({"get", File(), "NAME"}).out, "a\\b\n");
}

// A table whose last record was cut off is reported, naming the file, by every command that
// reads it, and left as it is.
TEST_F(ToolDbfTest, ACutTableIsReportedNotReadAsEmpty) {
    const std::string whole = ReadFile(File());
    WriteFile(File(), whole.substr(0, whole.size() - 10));
    const std::string cut = ReadFile(File());
    for (const ToolArgs& args :
         {ToolArgs{"dump", File()}, ToolArgs{"get", File(), "NAME"}, ToolArgs{"fields", File()},
          ToolArgs{"set", File(), "NAME", "x"}}) {
        const TResult r = Tool(args);
        EXPECT_EQ(r.rc, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_NE(r.err.find(File() + ": the table is cut short: its header counts 2 records, "
                                      "the file holds 1"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_EQ(ReadFile(File()), cut);
}

TEST_F(ToolDbfTest, SetAppendsWhenThereIsNoLiveRecord) {
    TableSpec t;
    t.fields = {{"NAME", 'C', 4}};
    t.records = {"*gone"};
    WriteFile(File(), BuildTable(t));
    EXPECT_EQ(Tool({"set", File(), "NAME", "new"}).rc, 0);
    EXPECT_EQ(Tool({"dump", File()}).out, "NAME=new\n");
}

}  // namespace
