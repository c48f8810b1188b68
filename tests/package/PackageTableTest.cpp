#include <gtest/gtest.h>

#include "package/CKestrupDoc.h"

namespace {

TEST(PackageTable, CellsAreReadRowMajorAndOwnedByTheTable) {
    CKestrupDoc doc;
    EXPECT_EQ(doc.m_pFirstItem, nullptr);
    EXPECT_EQ(doc.m_nPackageCount, 0);
    EXPECT_EQ(doc.m_nColumnCount, 4);
    EXPECT_EQ(doc.GetItem(0, 0), nullptr);

    std::string text = "en";
    doc.AddItem(text.c_str());
    text = "changed";
    for (const char* cell : {"1.0", "2026", "a.pcg", "de", "2.0", "2027", "b.pcg"}) {
        doc.AddItem(cell);
    }
    doc.AddItem(nullptr);
    doc.m_nPackageCount = 2;

    EXPECT_STREQ(doc.GetItem(0, 0), "en");
    EXPECT_STREQ(doc.GetItem(0, 3), "a.pcg");
    EXPECT_STREQ(doc.GetItem(1, 0), "de");
    EXPECT_STREQ(doc.GetItem(1, 3), "b.pcg");
    EXPECT_STREQ(doc.GetItem(2, 0), "");
    EXPECT_EQ(doc.GetItem(2, 1), nullptr);
    EXPECT_EQ(doc.GetItem(-1, 0), nullptr);
    EXPECT_EQ(doc.GetItem(0, -1), nullptr);
    EXPECT_EQ(doc.GetItem(0, 4), nullptr);

    doc.FreeItems();
    EXPECT_EQ(doc.m_pFirstItem, nullptr);
    EXPECT_EQ(doc.m_nPackageCount, 0);
    doc.FreeItems();
    doc.AddItem("again");
    EXPECT_STREQ(doc.GetItem(0, 0), "again");
}

}  // namespace
