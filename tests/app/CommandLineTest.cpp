#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace {

bool Parse(const QStringList& args, CommandLine& line, QString& error) {
    return line.Parse(QStringList{"kestrup"} + args, error);
}

TEST(CommandLineTest, ReadsTheOptionsAndTheFile) {
    CommandLine line;
    QString error;
    ASSERT_TRUE(Parse(
        {"--scenario", "flaky.txt", "--capture", "out.pcap", "--upgrade", "TPro_English_7.0.5.pcg",
         "--usb-id", "1209:00a1", "--scenario", "b.txt", "--instrument", "1-2.3"},
        line, error))
        << error.toStdString();
    EXPECT_TRUE(line.simulate);  // a scenario implies the simulated instrument
    EXPECT_EQ(line.scenarios, (QStringList{"flaky.txt", "b.txt"}));
    EXPECT_EQ(line.instrument, "1-2.3");
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

    // The station's run is unattended; its status may come as JSON Lines.
    CommandLine station, status;
    ASSERT_TRUE(Parse({"--station", "1-4", "--json"}, station, error));
    EXPECT_TRUE(station.Unattended() && station.json);
    EXPECT_EQ(station.station, "1-4");
    ASSERT_TRUE(Parse({"--station-status", "--json"}, status, error));
    EXPECT_TRUE(status.stationStatus && !status.Unattended());
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
    // Values are taken exactly: nothing before or after them.
    CommandLine f;
    EXPECT_FALSE(Parse({"--usb-id", "1209:0001\n"}, f, error));
    EXPECT_TRUE(error.contains("VID:PID")) << error.toStdString();
    for (const QStringList& args :
         {QStringList{"--json"}, QStringList{"--list", "--json"}, QStringList{"--history", "0"},
          QStringList{"--history", "x"}, QStringList{"--history", "3", "4"},
          QStringList{"--history", "+5"}, QStringList{"--history", " 5"},
          QStringList{"--history", "5\n"}, QStringList{"--usb-id", " 1209:0001"},
          QStringList{"--capture", ""}, QStringList{"--scenario", ""},
          QStringList{"--list", "--upgrade", "a.pcg"},
          QStringList{"--list-instruments", "--history"}, QStringList{"--verify", ""},
          QStringList{"--verify", "a.pcg", "b.pcg"}, QStringList{"--verify", "a.pcg", "--list"},
          QStringList{"--verify", "a.pcg", "--upgrade", "a.pcg"},
          // An ID is 1 to 64 printable characters without spaces.
          QStringList{"--instrument", ""}, QStringList{"--instrument", "TP 1"},
          QStringList{"--instrument", QString(65, 'x')}, QStringList{"--station", "a\tb"},
          QStringList{"--station", "1-1", "--upgrade", "a.pcg"},
          QStringList{"--station", "1-1", "--instrument", "1-2"},
          QStringList{"--station", "1-1", "file.txt"}, QStringList{"--instrument", "1-1", "--list"},
          QStringList{"--station-status", "--history"}}) {
        CommandLine line;
        EXPECT_FALSE(Parse(args, line, error)) << args.join(' ').toStdString();
    }
}

// Arguments reach the program byte for byte, names that are no UTF-8 too.
TEST(CommandLineTest, ArgumentsKeepTheirBytes) {
    for (const char* bytes : {"TPro_English.pcg", "fw\xfe.pcg", "fw\xff.pcg", "Suomi \xc3\xa4",
                              "\xed\xa0\x80\xc0\xaf", "a\xe2\x82"}) {
        const QString argument = CommandLine::FromBytes(bytes);
        EXPECT_EQ(CommandLine::Bytes(argument), bytes);
        CommandLine line;
        QString error;
        ASSERT_TRUE(Parse({"--upgrade", argument}, line, error)) << error.toStdString();
        EXPECT_EQ(CommandLine::Bytes(line.upgrade), bytes);
    }
    EXPECT_NE(CommandLine::FromBytes("fw\xfe.pcg"), CommandLine::FromBytes("fw\xff.pcg"));
}

}  // namespace
