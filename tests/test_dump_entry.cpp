// The debug dump of an Entry with its Attributes and runs.
#include <gtest/gtest.h>

#include <vector>

#include "diskio/diskio.h"
#include "text/vx_dump.h"
#include "support/capture.h"

namespace {

TEST(DumpEntry, AttributesWithTheirRuns) {
    std::vector<::Run> runs = {{0x5634, 0x18}, {kSparseLcn, 0x10}};
    std::vector<Attribute> attrs(3);
    attrs[0].dwType = 0x10;
    attrs[0].bResident = 1;
    attrs[0].ullSize = 0x48;
    attrs[1].dwType = 0x80;
    attrs[1].bResident = 0;
    attrs[1].ullSize = 0x28000;
    attrs[1].pRunlist = runs.data();
    attrs[1].ullRunCount = 2;
    attrs[1].ullNextVcn = 0x28;
    attrs[2].dwType = 0x80;
    attrs[2].bResident = 1;
    attrs[2].wNameLength = 3;
    attrs[2].wszName[0] = 'a';
    attrs[2].wszName[1] = '|';
    attrs[2].wszName[2] = 'b';
    attrs[2].wFlags = 0x0001;
    attrs[2].wCompressionUnit = 4;
    attrs[2].ullSize = 13;
    Entry e{};
    e.ullBaseRecord = 70;
    e.wLinkCount = 2;
    e.wAttrCount = 3;
    e.pAttrList = attrs.data();
    CapturedStream out;
    DumpEntry(out.pFile, &e);
    EXPECT_EQ("Base record number : 70\n"
              " Number of hard links : 2\n"
              " Number of attributes : 3\n"
              "  Attribute #0\n"
              "   Type : 0x10\n"
              "   Resident\n"
              "   Stream size : 0x48\n"
              "  Attribute #1\n"
              "   Type : 0x80\n"
              "   Non-resident\n"
              "   Stream size : 0x28000\n"
              "   # of runs : 2\n"
              "   # of clusters : 0x28\n"
              "   Run #0\n"
              "    Lcn 0x5634, length 0x18\n"
              "   Run #1\n"
              "    Lcn 0xffffffffffffffff, length 0x10\n"
              "  Attribute #2\n"
              "   Type : 0x80\n"
              "   Resident\n"
              "   Name: a|b\n"
              "   Stream size : 0xd\n"
              "   Compressed stream (Engine : 0x4)\n"
              "\n",
              out.Text());
}

TEST(DumpEntry, NoAttributes) {
    Entry e{};
    e.ullBaseRecord = 5;
    e.wLinkCount = 1;
    CapturedStream out;
    DumpEntry(out.pFile, &e);
    EXPECT_EQ("Base record number : 5\n Number of hard links : 1\n Number of attributes : 0\n\n",
              out.Text());
}

}  // namespace
