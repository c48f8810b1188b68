#include "sim/Scenario.h"

#include <charconv>
#include <sstream>

#include "platform/FileSystem.h"

namespace sim {
namespace {

// As long as a USB string descriptor can be.
constexpr std::size_t kMaxSerial = 126;

bool ParseNumber(const std::string& word, std::uint32_t& value) {
    int base = 10;
    const char* begin = word.data();
    const char* end = word.data() + word.size();
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        begin += 2;
    }
    auto [ptr, ec] = std::from_chars(begin, end, value, base);
    return ec == std::errc() && ptr == end && begin != end;
}

bool ParseFrame(const std::string& word, std::uint32_t& frame) {
    if (word == "header") {
        frame = 0;
        return true;
    }
    if (word == "flash") {
        frame = Scenario::Point::kFlash;
        return true;
    }
    return ParseNumber(word, frame);
}

}  // namespace

const Scenario::Fault* Scenario::FaultAt(const std::string& name, std::uint32_t frame) const {
    for (const Fault& f : faults) {
        if (f.at.Matches(name, frame)) {
            return &f;
        }
    }
    return nullptr;
}

Scenario::FlashOutcome Scenario::FlashOutcomeFor(const std::string& name) const {
    for (const FlashRule& r : flash) {
        if (r.file == "*" || r.file == name) {
            return r.outcome;
        }
    }
    return FlashOutcome::Ok;
}

bool Scenario::Parse(const std::string& text, Scenario& out, std::string& error) {
    Scenario s;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) {
            w.push_back(word);
        }
        if (w.empty()) {
            continue;
        }
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        std::uint32_t n = 0;
        const std::string& d = w[0];
        if (d == "attach-delay" || d == "flash-time" || d == "capacity") {
            if (w.size() != 2 || !ParseNumber(w[1], n)) {
                return fail(d + " needs one number");
            }
            (d == "attach-delay" ? s.attachDelayMs
             : d == "flash-time" ? s.flashTimeMs
                                 : s.capacity) = n;
        } else if (d == "packet-size") {
            if (w.size() != 2 || !ParseNumber(w[1], n) || (n != 64 && n != 512)) {
                return fail("packet-size needs 64 or 512");
            }
            s.packetSize = static_cast<std::uint16_t>(n);
        } else if (d == "start-answer") {
            if (w.size() != 2) {
                return fail("start-answer needs a byte or 'silent'");
            }
            if (w[1] == "silent") {
                s.startAnswer.reset();
            } else if (ParseNumber(w[1], n) && n <= 0xFF) {
                s.startAnswer = static_cast<std::uint8_t>(n);
            } else {
                return fail("start-answer needs a byte or 'silent'");
            }
        } else if (d == "answer" || d == "silent" || d == "delay" || d == "vanish" ||
                   d == "partial") {
            const std::size_t want = (d == "answer" || d == "delay" || d == "partial") ? 4 : 3;
            Fault f;
            if (w.size() != want || !ParseFrame(w[2], f.at.frame)) {
                return fail(d + ": expected '" + d + " FILE FRAME" +
                            (want == 4 ? (d == "answer" ? " BYTE'" : " MS'") : "'"));
            }
            f.at.file = w[1];
            if (d == "answer") {
                if (!ParseNumber(w[3], n) || n > 0xFF) {
                    return fail("answer: the byte must be 0..255");
                }
                f.action = Action::Answer;
                f.answer = static_cast<std::uint8_t>(n);
            } else if (d == "partial") {
                if (!ParseNumber(w[3], n) || f.at.frame == 0 || f.at.frame == Point::kFlash) {
                    return fail("partial: expected 'partial FILE DATAFRAME BYTES'");
                }
                f.action = Action::Partial;
                f.bytes = n;
            } else if (d == "delay") {
                if (!ParseNumber(w[3], n)) {
                    return fail("delay: the time must be a number of milliseconds");
                }
                f.action = Action::Delay;
                f.delayMs = n;
            } else {
                f.action = d == "silent" ? Action::Silent : Action::Vanish;
            }
            s.faults.push_back(f);
        } else if (d == "flash-result") {
            FlashRule r;
            if (w.size() != 3) {
                return fail("flash-result: expected 'flash-result FILE ok|erase-fail|write-fail'");
            }
            r.file = w[1];
            if (w[2] == "ok") {
                r.outcome = FlashOutcome::Ok;
            } else if (w[2] == "erase-fail") {
                r.outcome = FlashOutcome::EraseFails;
            } else if (w[2] == "write-fail") {
                r.outcome = FlashOutcome::WriteFails;
            } else {
                return fail("flash-result: expected ok, erase-fail or write-fail");
            }
            s.flash.push_back(r);
        } else if (d == "serial") {
            if (w.size() != 2 || w[1].size() > kMaxSerial) {
                return fail("serial: expected 'serial TEXT' (at most " +
                            std::to_string(kMaxSerial) + " characters, no spaces)");
            }
            s.serial = w[1];
        } else if (d == "flash-dir") {
            if (w.size() != 2 || w[1][0] != '/') {
                return fail("flash-dir: expected 'flash-dir DIRECTORY' (an absolute path)");
            }
            s.flashDir = w[1].back() == '/' ? w[1] : w[1] + "/";
        } else {
            return fail("unknown directive '" + d + "'");
        }
    }
    out = std::move(s);
    return true;
}

bool Scenario::Load(const std::string& path, Scenario& out, std::string& error) {
    std::string text;
    if (!platform::FileSystem::ReadAll(path, text)) {
        error = "cannot read " + path;
        return false;
    }
    if (!Parse(text, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace sim
