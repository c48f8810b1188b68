#include "shell/CUpgradeView.h"

#include <QtGui/QBitmap>
#include <QtGui/QHelpEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPixmap>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QToolTip>
#include <QtWidgets/QTreeWidget>
#include <algorithm>

#include "engine/MessageBoxService.h"
#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "package/PackageGlobals.h"
#include "platform/TextEscape.h"
#include "platform/WindowMessages.h"
#include "platform/ui/DialogUnits.h"
#include "res/Artwork.h"
#include "res/Resource.h"
#include "res/StringTable.h"
#include "shell/CKestrupDocAdapter.h"
#include "shell/CMainFrame.h"

namespace {

struct Column {
    const char* title;
    Qt::Alignment alignment;
};

// Titles and alignments of the package table's columns, in column order.
constexpr Column kColumns[4] = {
    {"language", Qt::AlignLeft | Qt::AlignVCenter},
    {"version", Qt::AlignHCenter | Qt::AlignVCenter},
    {"version_date", Qt::AlignHCenter | Qt::AlignVCenter},
    {"Filename", Qt::AlignHCenter | Qt::AlignVCenter},
};

const char kWarningText[] =
    "Warning: To avoid corruption of the upgrade data ensure the instrument and PC are connected "
    "to the A.C. power sources. Also ensure the USB connection between the Instrument and the PC "
    "is firmly pushed home and not disturbed until upgrade is completed.";

// Row images are 16 pixels square, side by side in one strip.
constexpr int kImageSize = 16;

// A cell as it is, without control characters.
QString Cell(const char* text) {
    return text != nullptr ? QString::fromStdString(platform::TextEscape::WithoutControls(text))
                           : QString();
}

}  // namespace

CUpgradeView::CUpgradeView(CKestrupDocAdapter& document, platform::MessageWindow* mainWindow)
    : m_document(document), m_pMainWindow(mainWindow) {
    setObjectName(QStringLiteral("upgradeView"));
    CreateControls();
    m_document.AddView(this);
}

CUpgradeView::~CUpgradeView() {
    m_document.RemoveView(this);
}

void CUpgradeView::CreateControls() {
    // Form 146: 308 x 205 dialog units of the 8-point dialog font; the
    // controls at their places in the same units.
    setFont(CMainFrame::DialogFont());
    const platform::ui::DialogUnits units(font());
    m_formSize = QSize(units.X(308), units.Y(205));
    resize(m_formSize);

    // List control 1004: report view, single selection, the selection shown
    // even without focus, border, tab stop; whole rows are selected.
    m_ListCtrl = new QTreeWidget(this);
    m_ListCtrl->setObjectName(QStringLiteral("packageList"));
    m_ListCtrl->setGeometry(units.Map(7, 20, 280, 104));
    m_ListCtrl->setRootIsDecorated(false);
    m_ListCtrl->setItemsExpandable(false);
    m_ListCtrl->setUniformRowHeights(true);
    m_ListCtrl->setSelectionMode(QAbstractItemView::SingleSelection);
    m_ListCtrl->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_ListCtrl->setAllColumnsShowFocus(true);
    m_ListCtrl->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_ListCtrl->setFrameShape(QFrame::StyledPanel);
    m_ListCtrl->setFocusPolicy(Qt::StrongFocus);
    m_ListCtrl->header()->setStretchLastSection(false);
    m_ListCtrl->header()->setSectionsMovable(false);
    m_ListCtrl->setColumnCount(0);
    QPalette palette = m_ListCtrl->palette();
    for (const QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText}) {
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    }
    m_ListCtrl->setPalette(palette);
    m_ListCtrl->viewport()->installEventFilter(this);
    connect(m_ListCtrl->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { FollowSelection(); });

    m_pInformation = new QGroupBox(QStringLiteral("Information"), this);
    m_pInformation->setGeometry(units.Map(7, 135, 282, 63));

    // The icon control takes the size of its 32 x 32 icon.
    res::Artwork::Init();
    m_pWarningIcon = new QLabel(this);
    m_pWarningIcon->setObjectName(QStringLiteral("warningIcon"));
    m_pWarningIcon->setPixmap(QPixmap(QString::fromLatin1(res::Artwork::kWarning)));
    m_pWarningIcon->setGeometry(units.X(14), units.Y(146), 32, 32);

    m_pWarningText = new QLabel(QString::fromLatin1(kWarningText), this);
    m_pWarningText->setObjectName(QStringLiteral("warningText"));
    m_pWarningText->setTextFormat(Qt::PlainText);
    m_pWarningText->setWordWrap(true);
    m_pWarningText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pWarningText->setGeometry(units.Map(39, 148, 238, 43));
}

QSize CUpgradeView::sizeHint() const {
    return m_formSize;
}

void CUpgradeView::OnInitialUpdate() {
    const CKestrupDocAdapter& doc = m_document;
    const int columns = std::clamp(doc.m_nColumnCount, 0, 4);

    // 1. Nothing of an earlier fill stays.
    m_ListCtrl->clear();
    m_rowToolTips.assign(static_cast<std::size_t>(std::max(doc.m_nPackageCount, 0)), QString());
    m_ListCtrl->setColumnCount(0);

    // 2. The row images, made once: image 3 of the strip, white transparent.
    //    Without the strip the rows show no icon.
    if (!m_bImageListMade) {
        m_bImageListMade = true;
        res::Artwork::Init();
        const QPixmap strip(QString::fromLatin1(res::Artwork::kRowImages));
        if (strip.width() >= (kRowImage + 1) * kImageSize) {
            QPixmap image = strip.copy(kRowImage * kImageSize, 0, kImageSize, kImageSize);
            image.setMask(image.createMaskFromColor(Qt::white));
            m_rowIcon = QIcon(image);
            m_ListCtrl->setIconSize(QSize(kImageSize, kImageSize));
        }
    }

    // 3. and 4. The columns with their titles, alignments and first widths.
    m_ListCtrl->setColumnCount(columns);
    QTreeWidgetItem* header = m_ListCtrl->headerItem();
    for (int i = 0; i < columns; ++i) {
        header->setText(i, QString::fromLatin1(kColumns[i].title));
        header->setTextAlignment(i, kColumns[i].alignment);
        m_ListCtrl->setColumnWidth(i, kInitialWidths[i]);
    }

    // 5. One row per package, its first cell and its image.
    QList<QTreeWidgetItem*> rows;
    for (int r = 0; r < doc.m_nPackageCount; ++r) {
        auto* item = new QTreeWidgetItem;
        if (columns > 0) {
            item->setText(0, Cell(doc.GetItem(r, 0)));
            item->setTextAlignment(0, kColumns[0].alignment);
            item->setIcon(0, m_rowIcon);
        }
        rows.append(item);
    }
    m_ListCtrl->addTopLevelItems(rows);

    // 6. Row 0 is chosen and highlighted (selected, not made current).
    if (m_ListCtrl->topLevelItemCount() > 0) {
        m_nSelectedItem = 0;
        const QModelIndex first = m_ListCtrl->model()->index(0, 0);
        m_ListCtrl->selectionModel()->select(
            first, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else {
        m_nSelectedItem = -1;
    }

    // 7. The other cells.
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        for (int c = 1; c < columns; ++c) {
            rows[r]->setText(c, Cell(doc.GetItem(r, c)));
            rows[r]->setTextAlignment(c, kColumns[c].alignment);
        }
    }

    // 8. Columns fitted.
    AutoSizeColumns();

    // 9. The frame's layout recalculated and the frame fitted to the form.
    if (auto* frame = dynamic_cast<CMainFrame*>(window());
        frame != nullptr && frame->centralWidget() == this) {
        frame->ResizeParentToFit();
    }
}

void CUpgradeView::AutoSizeColumns() {
    setUpdatesEnabled(false);
    const int columns = m_ListCtrl->columnCount();
    auto* itemView = static_cast<QAbstractItemView*>(m_ListCtrl);

    // What the list can show side by side: its inside, less a vertical scroll
    // bar when the rows need one.
    int available = m_ListCtrl->contentsRect().width();
    const int rowCount = m_ListCtrl->topLevelItemCount();
    if (rowCount > 0) {
        const int rowsHeight = rowCount * std::max(1, itemView->sizeHintForRow(0));
        const int viewportHeight =
            m_ListCtrl->contentsRect().height() - m_ListCtrl->header()->sizeHint().height();
        if (rowsHeight > viewportHeight) {
            available -= m_ListCtrl->verticalScrollBar()->sizeHint().width();
        }
    }

    int used = 0;
    for (int i = 0; i < columns; ++i) {
        // Fit to the contents.
        const int contents = std::max(0, itemView->sizeHintForColumn(i));
        // Fit to contents and title; the last column reaches the right edge.
        int withTitle = std::max(contents, m_ListCtrl->header()->sectionSizeHint(i));
        if (i == columns - 1) {
            withTitle = std::max(withTitle, available - used);
        }
        const int width = std::max({contents, withTitle, kMinColumnWidth});
        m_ListCtrl->setColumnWidth(i, width);
        used += width;
    }
    setUpdatesEnabled(true);
}

void CUpgradeView::FollowSelection() {
    const QModelIndexList selected = m_ListCtrl->selectionModel()->selectedIndexes();
    m_nSelectedItem = selected.isEmpty() ? -1 : selected.first().row();
}

int CUpgradeView::RowAt(const QPoint& viewportPos) const {
    const QModelIndex index = m_ListCtrl->indexAt(viewportPos);
    return index.isValid() ? index.row() : -1;
}

void CUpgradeView::OnClickPackageList(int item) {
    m_nSelectedItem = item;
    // The highlight shows the chosen row, and nothing when none is chosen.
    if (item < 0) {
        m_ListCtrl->selectionModel()->clearSelection();
    } else {
        m_ListCtrl->selectionModel()->select(
            m_ListCtrl->model()->index(item, 0),
            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
}

void CUpgradeView::OnDblclkPackageList(int item) {
    OnClickPackageList(item);
    if (item != -1) {
        StartUpgrade();
    }
}

void CUpgradeView::StartUpgrade() {
    const int row = m_nSelectedItem.load();
    if (row < 0) {
        return;
    }
    // Device detection starts here.
    if (m_detectionStarter) {
        m_detectionStarter(row);
        return;
    }
    if (m_pMainWindow != nullptr) {
        platform::WindowMessages::Send(m_pMainWindow, kestrup::WM_UPGRADE_PROGRESS,
                                       kestrup::ProgressWParam(kestrup::PROGRESS_STATUS),
                                       kestrup::STATUS_DETECTING);
    }
}

kestrup::HandOffResult CUpgradeView::BeginTransfer(int row) {
    // The detection thread ends the attempt by the result; the operator is
    // told here why nothing was sent.
    std::vector<std::string> images;
    const kestrup::HandOffResult result = kestrup::HandOffToWorker(m_document, row, &images);
    const char* package = m_document.GetItem(row, 3);
    switch (result) {
        case kestrup::HandOffResult::Posted:
            return result;
        case kestrup::HandOffResult::PackageDamaged:
            kestrup::ShowMessageBox(DamagedPackageText(package));
            break;
        case kestrup::HandOffResult::NoSpace:
            kestrup::ShowMessageBox(NoSpaceText(package));
            break;
        case kestrup::HandOffResult::TwoApplicationImages:
        case kestrup::HandOffResult::TwoBootImages:
            kestrup::ShowMessageBox(
                TwoImagesText(result == kestrup::HandOffResult::TwoBootImages, package, images));
            break;
        case kestrup::HandOffResult::StagingUnusable:
            kestrup::ShowMessageBox(Formatted(res::IDP_STAGING_UNUSABLE, {g_szStagingDir}));
            break;
        case kestrup::HandOffResult::PackageRefused:
            kestrup::ShowMessageBox(
                RefusedPackageText(package, m_document.LastCheck().RefusalPhrase()));
            break;
        case kestrup::HandOffResult::NoPackage:
        case kestrup::HandOffResult::NoWorker:
            kestrup::ShowMessageBox(kestrup::HandOffFailureText());
            break;
    }
    // The box said what happened; the status bar no longer tells of a
    // detection under way.
    if (m_pMainWindow != nullptr) {
        platform::WindowMessages::Send(m_pMainWindow, kestrup::WM_UPGRADE_PROGRESS,
                                       kestrup::ProgressWParam(kestrup::PROGRESS_END), 0);
    }
    return result;
}

std::string CUpgradeView::Formatted(std::uint32_t id, const std::vector<std::string>& names) {
    std::string text = res::StringTable::Load(id);
    std::size_t from = 0;
    for (const std::string& name : names) {
        const std::size_t at = text.find("%s", from);
        if (at == std::string::npos) {
            break;
        }
        const std::string shown = platform::TextEscape::WithoutControls(name);
        text.replace(at, 2, shown);
        from = at + shown.size();
    }
    return text;
}

std::string CUpgradeView::DamagedPackageText(const char* packageName) {
    return Formatted(res::IDP_PACKAGE_DAMAGED, {packageName != nullptr ? packageName : ""});
}

std::string CUpgradeView::NoSpaceText(const char* packageName) {
    return Formatted(res::IDP_NO_SPACE, {packageName != nullptr ? packageName : ""});
}

std::string CUpgradeView::TwoImagesText(bool boot, const char* packageName,
                                        const std::vector<std::string>& images) {
    std::vector<std::string> names{packageName != nullptr ? packageName : ""};
    names.insert(names.end(), images.begin(), images.end());
    names.resize(3);
    return Formatted(boot ? res::IDP_TWO_BOOT_IMAGES : res::IDP_TWO_APPLICATION_IMAGES, names);
}

std::string CUpgradeView::RefusedPackageText(const char* packageName, const char* why) {
    return Formatted(res::IDP_PACKAGE_REFUSED,
                     {packageName != nullptr ? packageName : "", why != nullptr ? why : ""});
}

QString CUpgradeView::RowToolTip(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= m_rowToolTips.size()) {
        return {};
    }
    QString& tip = m_rowToolTips[static_cast<std::size_t>(row)];
    if (tip.isEmpty()) {
        // Rich text made of escaped plain text, so that no markup in a
        // trusted comment can change what the operator reads: the state on
        // one line, the trusted comment wrapped under it.
        const SignatureCheck check = m_document.CheckPackage(row);
        const auto escaped = [](const std::string& text) {
            return QString::fromUtf8(text.c_str()).toHtmlEscaped();
        };
        tip = QStringLiteral("<qt><p style='white-space:pre'>") + escaped(check.Sentence()) +
              QStringLiteral("</p>");
        if (check.state == SignatureCheck::State::Verified) {
            tip += QStringLiteral("<p>Trusted comment: ") +
                   escaped(SignatureCheck::Printable(check.trustedComment)) +
                   QStringLiteral("</p>");
        }
        tip += QStringLiteral("</qt>");
    }
    return tip;
}

bool CUpgradeView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_ListCtrl->viewport()) {
        if (event->type() == QEvent::ToolTip) {
            const auto* help = static_cast<QHelpEvent*>(event);
            const QString tip = RowToolTip(RowAt(help->pos()));
            if (tip.isEmpty()) {
                QToolTip::hideText();
                event->ignore();
            } else {
                QToolTip::showText(help->globalPos(), tip, m_ListCtrl->viewport());
            }
            return true;
        }
        if (event->type() == QEvent::MouseButtonPress ||
            event->type() == QEvent::MouseButtonDblClick) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) {
                const int row = RowAt(mouse->position().toPoint());
                if (event->type() == QEvent::MouseButtonPress) {
                    OnClickPackageList(row);
                } else {
                    OnDblclkPackageList(row);
                }
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

platform::LRESULT CUpgradeView::WindowProc(std::uint32_t message, platform::WPARAM wParam,
                                           platform::LPARAM) {
    if (message == platform::WM_COMMAND) {
        const auto id = static_cast<std::uint32_t>(wParam & 0xFFFFu);
        if (id == res::ID_START_UPGRADE || id == res::ID_POSTED_UPGRADE) {
            StartUpgrade();
        }
    }
    return 0;
}

bool CUpgradeView::OnCommand(std::uint32_t) {
    return false;
}

bool CUpgradeView::OnUpdateCommand(std::uint32_t, platform::ui::CommandState&) {
    return false;
}
