#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace {

bool Parse(const QStringList& args, CommandLine& line, QString& error) {
    return line.Parse(QStringList{"kestrup"} + args, error);
}

TEST(CommandLineTest, ReadsTheOptionsAndTheFile) {
    CommandLine line;
    QString error;
    ASSERT_TRUE(Parse({"--scenario", "flaky.txt", "--capture", "out.pcap", "--upgrade",
                       "TPro_English_7.0.5.pcg", "--usb-id", "1209:00a1"},
                      line, error))
        << error.toStdString();
    EXPECT_TRUE(line.simulate);  // a scenario implies the simulated instrument
    EXPECT_EQ(line.scenario, "flaky.txt");
    EXPECT_EQ(line.capture, "out.pcap");
    EXPECT_EQ(line.upgrade, "TPro_English_7.0.5.pcg");
    EXPECT_EQ(line.usbIds, QStringList{"1209:00a1"});
    EXPECT_TRUE(line.file.isEmpty());

    CommandLine open;
    ASSERT_TRUE(Parse({"notes.txt"}, open, error));
    EXPECT_EQ(open.file, "notes.txt");
    EXPECT_FALSE(open.simulate);

    CommandLine info;
    ASSERT_TRUE(Parse({"--help", "--version"}, info, error));
    EXPECT_TRUE(info.help);
    EXPECT_TRUE(info.version);
    EXPECT_TRUE(CommandLine::HelpText().contains("--upgrade"));
    // Where packages come from, and what a FILE does instead.
    EXPECT_TRUE(CommandLine::HelpText().contains("cfg/ beside the directory bin/"));
    EXPECT_TRUE(CommandLine::HelpText().contains("FILE argument opens that file"));

    CommandLine json, list, instruments, history, recent, verify;
    ASSERT_TRUE(Parse({"--verify", "a.pcg"}, verify, error));
    EXPECT_EQ(verify.verify, "a.pcg");
    ASSERT_TRUE(Parse({"--upgrade", "a.pcg", "--json"}, json, error));
    EXPECT_TRUE(json.json);
    ASSERT_TRUE(Parse({"--list"}, list, error));
    EXPECT_TRUE(list.list);
    ASSERT_TRUE(Parse({"--list-instruments", "--simulate"}, instruments, error));
    EXPECT_TRUE(instruments.listInstruments && instruments.simulate);
    ASSERT_TRUE(Parse({"--history", "5"}, history, error));
    EXPECT_EQ(history.history, 5);
    EXPECT_TRUE(history.file.isEmpty());
    ASSERT_TRUE(Parse({"--history"}, recent, error));
    EXPECT_EQ(recent.history, CommandLine::kDefaultHistory);
}

TEST(CommandLineTest, RefusesWhatMakesNoSense) {
    QString error;
    CommandLine a, b, c, d, e;
    EXPECT_FALSE(Parse({"--bogus"}, a, error));
    EXPECT_FALSE(Parse({"one", "two"}, b, error));
    EXPECT_FALSE(Parse({"--upgrade", "x.pcg", "file.txt"}, c, error));
    EXPECT_FALSE(Parse({"--usb-id", "12345:1"}, d, error));
    EXPECT_TRUE(error.contains("VID:PID"));
    EXPECT_FALSE(Parse({"--upgrade"}, e, error));
    for (const QStringList& args :
         {QStringList{"--json"}, QStringList{"--list", "--json"}, QStringList{"--history", "0"},
          QStringList{"--history", "x"}, QStringList{"--history", "3", "4"},
          QStringList{"--list", "--upgrade", "a.pcg"},
          QStringList{"--list-instruments", "--history"}, QStringList{"--verify", ""},
          QStringList{"--verify", "a.pcg", "b.pcg"}, QStringList{"--verify", "a.pcg", "--list"},
          QStringList{"--verify", "a.pcg", "--upgrade", "a.pcg"}}) {
        CommandLine line;
        EXPECT_FALSE(Parse(args, line, error)) << args.join(' ').toStdString();
    }
}

}  // namespace
