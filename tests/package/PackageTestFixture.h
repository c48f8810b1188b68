#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "package/CKestrupDoc.h"
#include "package/PackageGlobals.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/PackageSandbox.h"

// A document over a private package directory and temporary directory.
class PackageTestFixture : public ::testing::Test {
  protected:
    PackageTestFixture() {
        g_szPackageDir[0] = '\0';
        g_szStagingDir[0] = '\0';
        g_szPackagePath[0] = '\0';
    }

    // Writes an archive into the package directory holding a descriptor
    // (unless descriptor is null) and one more member.
    void Pack(const std::string& name, const char* descriptor,
              const std::string& image = "image bytes") {
        testsupport::ArchiveWriter zip(sandbox_.PackageDir() + name);
        zip.File("boot.bin", image);
        if (descriptor != nullptr) {
            zip.File("package.inf", descriptor);
        }
        ASSERT_TRUE(zip.Close()) << name;
    }

    static std::string Accepted(const std::string& language, const std::string& version,
                                const std::string& date) {
        return "[PACKAGE]\r\nDescription=Talvenmark Pro software,upgrade\r\nlanguage=" + language +
               "\r\nVersion=" + version + "\r\nversion_date=" + date + "\r\n";
    }

    bool Scan() { return doc_.ScanPackages(sandbox_.Executable().c_str()); }

    // The table as rows of cells, read back through GetItem.
    std::vector<std::vector<std::string>> Rows() const {
        std::vector<std::vector<std::string>> rows;
        for (int r = 0; r < doc_.m_nPackageCount; ++r) {
            std::vector<std::string> row;
            for (int c = 0; c < doc_.m_nColumnCount; ++c) {
                const char* text = doc_.GetItem(r, c);
                row.push_back(text != nullptr ? text : "<null>");
            }
            rows.push_back(row);
        }
        EXPECT_EQ(doc_.GetItem(doc_.m_nPackageCount, 0), nullptr);
        return rows;
    }

    testsupport::PackageSandbox sandbox_;
    CKestrupDoc doc_;
};
