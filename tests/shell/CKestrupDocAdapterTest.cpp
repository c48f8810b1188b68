#include "shell/CKestrupDocAdapter.h"

#include <sys/stat.h>
#include <QtCore/QFile>

#include "engine/UpgradeWorker.h"

#include "res/Resource.h"
#include "shell/CUpgradeView.h"
#include "tests/shell/ViewFixture.h"

namespace {

class DocumentTest : public ViewFixture {
  protected:
    std::string WriteFile(const std::string& name, const std::string& contents) {
        const std::string path = sandbox.Root() + name;
        EXPECT_TRUE(testsupport::PackageSandbox::Write(path, contents));
        return path;
    }
};

TEST_F(DocumentTest, FindsItsUpgradeViewAmongItsViews) {
    Start();
    QWidget other;
    Doc().RemoveView(view);
    Doc().AddView(&other);
    EXPECT_EQ(Doc().FindUpgradeView(), nullptr);
    Doc().AddView(view);
    EXPECT_EQ(Doc().FindUpgradeView(), view);
    Doc().RemoveView(&other);
}

TEST_F(DocumentTest, NewDocumentRescansAndChoosesRowZeroAgain) {
    Pack("a.pcg", "English", "7.0.5", "2026-01-10");
    Start();
    ASSERT_EQ(List().topLevelItemCount(), 1);

    Pack("b.pcg", "Deutsch", "7.0.5", "2026-01-11");
    Pack("c.pcg", "Suomi", "7.0.4", "2025-12-01");
    view->OnClickPackageList(-1);
    Command(res::ID_FILE_NEW);
    EXPECT_EQ(Doc().m_nPackageCount, 3);
    EXPECT_EQ(List().columnCount(), 4);
    EXPECT_EQ(Shown(), Table());
    EXPECT_EQ(view->m_nSelectedItem, 0);
    EXPECT_EQ(Highlighted(), std::vector<int>{0});
}

TEST_F(DocumentTest, OpenTakesTheNameAndLeavesTheTable) {
    Pack("a.pcg", "English", "7.0.5", "2026-01-10");
    Pack("b.pcg", "Deutsch", "7.0.5", "2026-01-11");
    Start();
    const auto before = Table();
    view->OnClickPackageList(1);

    const std::string path = WriteFile("notes.txt", "not a package");
    ASSERT_TRUE(tmpl->OpenDocument(QString::fromStdString(path)));
    EXPECT_EQ(Doc().GetTitle().toStdString(), "notes.txt");
    EXPECT_EQ(Table(), before);
    EXPECT_EQ(Shown(), before);
    EXPECT_EQ(view->m_nSelectedItem, 0);

    // Only a regular file is opened; a FIFO is refused, never waited on.
    const std::string fifo = sandbox.Root() + "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& other : {sandbox.Root() + "missing", fifo, sandbox.Root()}) {
        EXPECT_FALSE(tmpl->OpenDocument(QString::fromStdString(other))) << other;
    }
    EXPECT_EQ(Doc().GetTitle().toStdString(), "notes.txt");
}

TEST_F(DocumentTest, StartWithAFileOpensItWithoutScanning) {
    Pack("a.pcg", "English", "7.0.5", "2026-01-10");
    const std::string path = WriteFile("chosen.doc", "x");
    Start({QString::fromStdString(path)});
    EXPECT_EQ(Doc().m_nPackageCount, 0);
    EXPECT_EQ(List().topLevelItemCount(), 0);
    EXPECT_EQ(List().columnCount(), 4);
    EXPECT_EQ(view->m_nSelectedItem, -1);
    EXPECT_EQ(Doc().GetTitle().toStdString(), "chosen.doc");
    ASSERT_NE(app.Settings(), nullptr);
    EXPECT_TRUE(app.Settings()->RecentFiles().contains(QString::fromStdString(path)));
}

TEST_F(DocumentTest, SaveWritesNothingAndEmptiesNothing) {
    Pack("a.pcg", "English", "7.0.5", "2026-01-10");
    const std::string path = WriteFile("opened.doc", "keep these bytes");
    Start();
    const std::string namesBefore = testsupport::PackageSandbox::Names(sandbox.Root());

    Command(res::ID_FILE_SAVE);  // a new document: no file, no dialog
    ASSERT_TRUE(tmpl->OpenDocument(QString::fromStdString(path)));
    Command(res::ID_FILE_SAVE);
    Pump();
    EXPECT_EQ(testsupport::PackageSandbox::Read(path), "keep these bytes");
    EXPECT_EQ(testsupport::PackageSandbox::Names(sandbox.Root()), namesBefore);
    EXPECT_FALSE(Doc().IsModified());
}

TEST_F(DocumentTest, UpgradeOpenAndNewAreDisabledWhileAnUpgradeIsBusy) {
    Pack("a.pcg", "English", "7.0.5", "2026-01-10");
    Start();
    auto enabled = [this](std::uint32_t id) { return frame->Router().Query(id).enabled; };
    EXPECT_TRUE(enabled(res::ID_UPGRADE_VIA_USB));
    EXPECT_TRUE(enabled(res::ID_FILE_OPEN));
    EXPECT_TRUE(enabled(res::ID_FILE_NEW));

    // A run handed to the worker: nothing may start another upgrade or
    // refill the list (which resets the chosen row) until it has ended.
    kestrup::g_bUpgradeRunPending.store(true);
    EXPECT_FALSE(enabled(res::ID_UPGRADE_VIA_USB));
    EXPECT_FALSE(enabled(res::ID_FILE_OPEN));
    EXPECT_FALSE(enabled(res::ID_FILE_NEW));
    Doc().OnUpgradeViaUsb();
    EXPECT_FALSE(platform::WindowMessages::HasPending());
    kestrup::g_bUpgradeRunPending.store(false);
    EXPECT_TRUE(enabled(res::ID_FILE_OPEN));

    // With no view there is nothing to post to, and nothing happens.
    Doc().RemoveView(view);
    Doc().OnUpgradeViaUsb();
    EXPECT_FALSE(platform::WindowMessages::HasPending());
    Doc().AddView(view);
}

}  // namespace
