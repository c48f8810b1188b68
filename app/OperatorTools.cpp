#include "app/OperatorTools.h"

#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/OutsideText.h"
#include "app/UpgradeHistory.h"
#include "package/CKestrupDoc.h"
#include "package/PackageTrust.h"
#include "package/PackageVerifier.h"
#include "platform/FileSystem.h"
#include "platform/TextEscape.h"
#include "platform/usbio/SimulatedDevice.h"
#include "platform/usbio/libusb/InstrumentSurvey.h"
#include "platform/usbio/libusb/UsbIdList.h"
#include "sim/Scenario.h"

namespace {

std::string Pair(std::uint16_t vendor, std::uint16_t product) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendor, product);
    return text;
}

// A cell of the package table as a terminal shows it.
std::string Cell(const char* text) {
    return platform::TextEscape::ForTerminal(text != nullptr ? text : "");
}

std::string Escaped(const std::string& text) {
    return platform::TextEscape::ForTerminal(text);
}

void TellProblemsOn(PackageTrust& trust, std::FILE* err) {
    trust.SetProblemSink([err](const std::string& problem) {
        std::fprintf(err, "kestrup: %s\n", Escaped(problem).c_str());
        std::fflush(err);
    });
}

}  // namespace

int OperatorTools::ChoosePackage(const CKestrupDoc& document, const std::string& name,
                                 std::string& refusal) {
    std::vector<int> rows;
    std::string names;
    for (int row = 0; row < document.m_nPackageCount; ++row) {
        const char* cell = document.GetItem(row, 3);
        const std::string file = cell != nullptr ? cell : "";
        if (file == name) {
            rows.push_back(row);
        }
        names += (names.empty() ? "" : ", ") + Escaped(file);
    }
    if (rows.size() == 1) {
        refusal.clear();
        return rows.front();
    }
    refusal = rows.empty()
                  ? "no package named " + Escaped(name) + " in the list; " +
                        (names.empty() ? "the list is empty" : "the list holds " + names)
                  : "more than one package is named " + Escaped(name) + "; the list holds " + names;
    std::string leftOut;
    for (const CKestrupDoc::LeftOut& left : document.LeftOutPackages()) {
        leftOut +=
            (leftOut.empty() ? "" : ", ") + Escaped(left.name) + " (" + Escaped(left.reason) + ")";
    }
    if (!leftOut.empty()) {
        refusal += "; left out: " + leftOut;
    }
    return -1;
}

void OperatorTools::SayLeftOut(const CKestrupDoc& document, std::FILE* err) {
    for (const CKestrupDoc::LeftOut& left : document.LeftOutPackages()) {
        std::fprintf(err, "kestrup: %s\n",
                     Escaped("left out of the list: " + left.name + ": " + left.reason).c_str());
    }
    std::fflush(err);
}

int OperatorTools::ListPackages(const std::string& executablePath, std::FILE* out, std::FILE* err) {
    CKestrupDoc document;
    TellProblemsOn(document.Trust(), err);
    if (executablePath.empty()) {
        document.ScanPackages();
    } else {
        document.ScanPackages(executablePath.c_str());
    }
    for (int row = 0; row < document.m_nPackageCount; ++row) {
        std::fprintf(out, "%s\t%s\t%s\t%s\t%s\n", Cell(document.GetItem(row, 0)).c_str(),
                     Cell(document.GetItem(row, 1)).c_str(), Cell(document.GetItem(row, 2)).c_str(),
                     Cell(document.GetItem(row, 3)).c_str(),
                     document.CheckPackage(row).ListWord().c_str());
    }
    std::fflush(out);
    SayLeftOut(document, err);
    return 0;
}

int OperatorTools::VerifyPackage(const std::string& executablePath, const std::string& name,
                                 std::FILE* out, std::FILE* err) {
    const std::string shownName = SignatureCheck::Printable(name);
    char packageDir[260];
    const std::string executable =
        executablePath.empty() ? platform::FileSystem::ExecutablePath() : executablePath;
    platform::FileSystem::Kind kind = platform::FileSystem::Kind::Other;
    // Only a file directly in the packages directory, as the list holds them.
    if (!CKestrupDoc::PackageDirFromExecutable(executable.c_str(), packageDir, sizeof packageDir) ||
        name.find('/') != std::string::npos || name == "." || name == ".." ||
        !platform::FileSystem::KindOf(packageDir + name, kind) ||
        kind == platform::FileSystem::Kind::Directory) {
        std::fprintf(err, "kestrup: no package named %s in %s\n", shownName.c_str(),
                     SignatureCheck::Printable(packageDir).c_str());
        std::fflush(err);
        return 2;
    }
    PackageTrust trust;
    TellProblemsOn(trust, err);
    SignatureCheck check = PackageVerifier::Check(packageDir + name, trust.Keys(packageDir));
    check.signatureRequired = trust.Policy().requireSignature;
    std::fprintf(out, "%s: %s\n", shownName.c_str(), check.ListWord().c_str());
    if (!check.keyId.empty()) {
        std::fprintf(out, "key id: %s\n", check.keyId.c_str());
    }
    if (check.state == SignatureCheck::State::Verified) {
        std::fprintf(out, "trusted comment: %s\n",
                     SignatureCheck::Printable(check.trustedComment).c_str());
    } else {
        std::fprintf(out, "%s\n", check.Summary().c_str());
    }
    std::fflush(out);
    return check.state == SignatureCheck::State::Verified ? 0 : 1;
}

int OperatorTools::ListInstruments(bool simulate, const QStringList& extraIds, std::FILE* out,
                                   std::FILE* err, const QStringList& scenarios) {
    if (simulate) {
        const platform::usbio::SimulatedDevice::Identity identity;
        const qsizetype count = std::max<qsizetype>(scenarios.size(), 1);
        for (qsizetype i = 0; i < count; ++i) {
            sim::Scenario scenario;
            std::string error;
            if (i < scenarios.size() &&
                !sim::Scenario::Load(scenarios[i].toStdString(), scenario, error)) {
                std::fprintf(err, "kestrup: %s\n", OutsideText::Visible(error).c_str());
            }
            std::fprintf(
                out, "simulated\t%d-%lld\t%s\t%s\tcan be opened\n",
                platform::usbio::SimulatedDevice::kBus, static_cast<long long>(i + 1),
                Pair(identity.vendorId, identity.productId).c_str(),
                scenario.serial.empty() ? "-" : OutsideText::Visible(scenario.serial).c_str());
        }
        std::fflush(out);
        return 0;
    }
    platform::usbio::UsbIdList ids;
    std::vector<std::string> problems;
    for (const std::string& file : platform::usbio::UsbIdList::DefaultFiles()) {
        ids.AddFile(file, problems);
    }
    for (const QString& id : extraIds) {
        ids.Add(id.toStdString());
    }
    for (const std::string& problem : problems) {
        std::fprintf(err, "kestrup: %s\n", Escaped(problem).c_str());
    }
    if (ids.Empty()) {
        std::fprintf(out,
                     "no USB vendor:product pair is listed (the ids files or --usb-id): no "
                     "device counts as the instrument\n");
        std::fflush(out);
        return 1;
    }
    std::vector<platform::usbio::InstrumentSurvey::Instrument> found;
    std::string error;
    if (!platform::usbio::InstrumentSurvey::Take(ids, found, error)) {
        std::fprintf(out, "no access to USB devices: %s\n", Escaped(error).c_str());
        std::fflush(out);
        return 1;
    }
    bool anyUsable = false;
    for (const auto& i : found) {
        anyUsable = anyUsable || i.usable;
        std::fprintf(out, "%03d:%03d\t%s\t%s\t%s\t", i.bus, i.device,
                     i.port.empty() ? "-" : Escaped(i.port).c_str(),
                     Pair(i.vendor, i.product).c_str(),
                     i.serial.empty() ? "-" : Escaped(i.serial).c_str());
        if (i.usable) {
            std::fprintf(out, "can be opened\n");
        } else if (i.openError == LIBUSB_ERROR_ACCESS) {
            std::fprintf(out, "cannot be opened: this user has no permission for %s: %s\n",
                         Escaped(i.node).c_str(),
                         platform::usbio::InstrumentSurvey::AccessAdvice(i).c_str());
        } else {
            std::fprintf(out, "cannot be opened: %s\n", libusb_strerror(i.openError));
        }
    }
    if (found.empty()) {
        std::string pairs;
        for (const auto& id : ids.Ids()) {
            pairs += (pairs.empty() ? "" : ", ") + Pair(id.vendor, id.product);
        }
        std::fprintf(out, "no instrument found (listed pairs: %s)\n", pairs.c_str());
    }
    std::fflush(out);
    return anyUsable ? 0 : 1;
}

int OperatorTools::ShowHistory(const UpgradeHistory::Location& location, int count,
                               std::FILE* out) {
    UpgradeHistory history(location, nullptr);
    for (const std::string& line : history.Last(count)) {
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fflush(out);
    return 0;
}
