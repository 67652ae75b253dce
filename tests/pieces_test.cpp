#include "scanner/parsers.h"
#include "scanner/pieces.h"
#include "tests/fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

using std::string;
using std::string_literals::operator""s;

namespace {

// The pieces a 160-byte fgets() buffer would hold, told apart byte by
// byte so that NULs inside them are kept.
std::vector<string> piecesByHand(const string &path)
{
	std::vector<string> pieces;
	FILE *f = std::fopen(path.c_str(), "rb");
	string piece;
	for (int c; (c = std::getc(f)) != EOF;) {
		piece += static_cast<char>(c);
		if (c == '\n' || piece.size() == kPieceChars) {
			pieces.push_back(piece);
			piece.clear();
		}
	}
	if (!piece.empty())
		pieces.push_back(piece);
	std::fclose(f);
	return pieces;
}

std::vector<string> piecesRead(const string &path)
{
	std::vector<string> pieces;
	MailFile file(path.c_str());
	PieceReader reader(file.fd());
	for (auto piece = reader.next(); !piece.empty(); piece = reader.next())
		pieces.emplace_back(piece.data(), piece.size());
	return pieces;
}

} // namespace

TEST(PieceReader, CutsLikeFgets)
{
	std::mt19937 random(7);
	TempDir dir;
	for (int round = 0; round < 40; ++round) {
		string bytes;
		// Lines of every length around the piece size and the read
		// block, with NULs and no newline at the end half the time.
		while (bytes.size() < 300000) {
			std::size_t length = random() % 4 == 0 ? random() % 140000 : random() % 400;
			for (std::size_t i = 0; i < length; ++i)
				bytes += random() % 50 == 0 ? '\0' : static_cast<char>('a' + random() % 26);
			bytes += '\n';
		}
		if (round % 2)
			bytes.pop_back();
		string path = dir.write("f", bytes);
		ASSERT_EQ(piecesRead(path), piecesByHand(path)) << round;
	}
}

TEST(PieceReader, EmptyFile)
{
	TempDir dir;
	EXPECT_TRUE(piecesRead(dir.write("f", "")).empty());
}

TEST(BodySkip, StopsAtPiecesThatMatter)
{
	const struct {
		string buf;
		BodySkip expected;
	} cases[] = {
		{"", {0, false}},
		{"\n", {0, true}},
		{"\x01x\n", {0, true}},
		{"ab\ncd\n\nx", {6, true}},
		{"ab\ncd\n\x01x", {6, true}},
		{"ab\ncd", {3, false}},                          // the last line may grow
		{"ab\n" + string(158, 'x'), {3, false}},
		{"ab\n" + string(159, 'x'), {162, false}},       // a whole piece is passed
		{"ab\n" + string(160, 'x'), {162, false}},
		{"ab\n" + string(159, 'x') + "\x01", {162, true}},
		{"ab\n" + string(159, 'x') + "\nz", {162, true}}, // the lone newline piece
		{"ab\n" + string(160, 'x') + "\nz", {164, false}},
		{string(318, 'x') + "\nz", {318, true}},
		{string(316, 'x') + "\x01\nz", {318, false}},
		{string(50, 'x') + "\x01\nz", {52, false}},      // Ctrl-A inside a piece
		{"\0\n\0\nq"s, {4, false}},                     // NUL pieces are plain body
	};
	for (const auto &c : cases) {
		BodySkip skip = skipBodyPieces(c.buf);
		EXPECT_EQ(skip.skipped, c.expected.skipped) << c.buf;
		EXPECT_EQ(skip.stopped, c.expected.stopped) << c.buf;
	}
}
