// The control connection's line assembly and verb/argument split.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/CommandParser.h"

using osprel::Command;
using osprel::LineAssembler;
using osprel::splitCommand;

namespace {

// What one stream of bytes assembles to, fed in pieces of `piece` bytes:
// each line, or "<too long>".
std::vector<std::string> assemble(const std::string &bytes, size_t piece = 1 << 20) {
    LineAssembler assembler;
    std::vector<std::string> events;
    for (size_t start = 0; start < bytes.size(); start += piece) {
        std::string chunk = bytes.substr(start, piece);
        size_t used = 0;
        while (used < chunk.size()) {
            LineAssembler::Event event;
            size_t n = assembler.consume(chunk.data() + used, chunk.size() - used, &event);
            EXPECT_GT(n, 0u);
            used += n;
            if (event == LineAssembler::Event::kLine) events.push_back(assembler.line());
            if (event == LineAssembler::Event::kTooLong) events.push_back("<too long>");
        }
    }
    return events;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(LineAssembler, SplitsLinesOnLfAndDropsOneCr) {
    EXPECT_EQ(assemble("USER a\r\nPASS b\nNOOP\r\r\n"), (Lines{"USER a", "PASS b", "NOOP\r"}));
    EXPECT_EQ(assemble("\r\n\n"), (Lines{"", ""}));
    EXPECT_EQ(assemble("NOOP"), Lines{});  // no line end yet
}

TEST(LineAssembler, SameLinesWhateverTheChunking) {
    std::string bytes = "USER anonymous\r\nPASS x\r\nCWD a b\r\n" + std::string(5000, 'x') + "\r\nPWD\r\n";
    Lines expected{"USER anonymous", "PASS x", "CWD a b", "<too long>", "PWD"};
    for (size_t piece : {1, 2, 3, 7, 64, 4096, 4097, 100000}) EXPECT_EQ(assemble(bytes, piece), expected) << piece;
}

TEST(LineAssembler, LimitIs4096BytesWithoutTheLineEnd) {
    std::string exact(LineAssembler::kMaxLine, 'a');
    EXPECT_EQ(assemble(exact + "\r\n"), Lines{exact});
    EXPECT_EQ(assemble(exact + "\n"), Lines{exact});
    EXPECT_EQ(assemble(exact + "b\r\n"), Lines{"<too long>"});
    EXPECT_EQ(assemble(exact + "b\n"), Lines{"<too long>"});
    // A CR that turns out not to end the line is one byte too many.
    EXPECT_EQ(assemble(exact + "\rb\n"), Lines{"<too long>"});
    EXPECT_EQ(assemble(exact + "\r\r\n"), Lines{"<too long>"});
}

TEST(LineAssembler, OverlongLineIsNeverHeldWhole) {
    LineAssembler assembler;
    std::string block(1 << 16, 'z');
    LineAssembler::Event event;
    for (int i = 0; i < 256; ++i) {  // 16 MiB without a line end
        ASSERT_EQ(assembler.consume(block.data(), block.size(), &event), block.size());
        ASSERT_EQ(event, LineAssembler::Event::kNone);
        ASSERT_LE(assembler.line().capacity(), 2 * LineAssembler::kMaxLine);
    }
    std::string rest = "tail\r\nNOOP\r\n";
    size_t used = assembler.consume(rest.data(), rest.size(), &event);
    EXPECT_EQ(event, LineAssembler::Event::kTooLong);
    EXPECT_EQ(used, 6u);  // stops right after the too-long line
    assembler.consume(rest.data() + used, rest.size() - used, &event);
    EXPECT_EQ(event, LineAssembler::Event::kLine);
    EXPECT_EQ(assembler.line(), "NOOP");
}

TEST(LineAssembler, TelnetCommandsAreRemoved) {
    const std::string iac = "\xff";
    // Interrupt Process and Data Mark, as clients send them before ABOR.
    EXPECT_EQ(assemble(iac + "\xf4" + iac + "\xf2" + "ABOR\r\n"), Lines{"ABOR"});
    // WILL/WONT/DO/DONT carry one option byte, which may look like anything.
    EXPECT_EQ(assemble("NO" + iac + "\xfb\x0a" + "OP\r\n"), Lines{"NOOP"});
    EXPECT_EQ(assemble(iac + "\xfe" + "A" + "B\r\n"), Lines{"B"});
    // IAC IAC is one 0xFF byte of data.
    EXPECT_EQ(assemble("CWD a" + iac + iac + "b\r\n"), Lines{"CWD a\xff" "b"});
    // Split between reads.
    EXPECT_EQ(assemble(iac + "\xf4" + iac + "\xf2" + "ABOR\r\n", 1), Lines{"ABOR"});
    // A stray IAC keeps the line end that follows it.
    EXPECT_EQ(assemble("NOOP" + iac + "\nPWD\r\n"), (Lines{"NOOP", "PWD"}));
    EXPECT_EQ(assemble("NOOP" + iac + "\r\nPWD\r\n", 1), (Lines{"NOOP", "PWD"}));
}

TEST(LineAssembler, BytesAboveAsciiPassUnchanged) {
    std::string name = "STOR caf\xc3\xa9 \xe2\x82\xac.txt";
    EXPECT_EQ(assemble(name + "\r\n"), Lines{name});
}

TEST(SplitCommand, VerbIsUpperCasedAndArgumentKeptAsSent) {
    Command command;
    ASSERT_TRUE(splitCommand("retr  two  spaces.txt ", &command));
    EXPECT_EQ(command.verb, "RETR");
    EXPECT_TRUE(command.hasArgument);
    EXPECT_EQ(command.argument, " two  spaces.txt ");

    ASSERT_TRUE(splitCommand("Pwd", &command));
    EXPECT_EQ(command.verb, "PWD");
    EXPECT_FALSE(command.hasArgument);
    EXPECT_EQ(command.argument, "");

    ASSERT_TRUE(splitCommand("CWD ", &command));
    EXPECT_TRUE(command.hasArgument);
    EXPECT_EQ(command.argument, "");
}

TEST(SplitCommand, RefusesWhatIsNoCommand) {
    Command command;
    for (std::string line : {"", " NOOP", "NOOPS", "NO0P", "\x01\x02", "RETR\tx", "R\xc3\xa9TR x", "é"})
        EXPECT_FALSE(splitCommand(line, &command)) << line;
    EXPECT_FALSE(splitCommand(std::string("RETR a\0b", 8), &command));
    EXPECT_FALSE(splitCommand(std::string("\0", 1), &command));
}
