// What a notification makes of two summaries: the new lines, each
// occurrence counted, as "sender: subject" in UTF-8, and its text.
#include "decode/charset.h"
#include "desktop/news.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using std::string;
using std::vector;

TEST(News, TheNewLines)
{
	const struct {
		const char *what;
		string before;
		int countBefore;
		string now;
		int countNow;
		int count;
		vector<string> lines;
	} cases[] = {
		{"one delivered", "A << a >>\n", 1, "A << a >>\nB << b >>\n", 2, 1, {"B: b"}},
		{"nothing before", "", 0, "A << a >>\nB << b >>\n", 2, 2, {"A: a", "B: b"}},
		{"one read elsewhere", "A << a >>\nB << b >>\n", 2, "B << b >>\n", 1, 0, {}},
		{"one gone, one come", "A << a >>\n", 1, "B << b >>\n", 1, 1, {"B: b"}},
		{"a second copy", "A << a >>\n", 1, "A << a >>\nA << a >>\n", 2, 1, {"A: a"}},
		{"moved, nothing new", "A << a >>\nB << b >>\n", 2, "B << b >>\nA << a >>\n", 2, 0, {}},
		{"the newest five", "", 0, "1 << a >>\n2 << b >>\n3 << c >>\n4 << d >>\n5 << e >>\n6 << f >>\n7 << g >>\n",
		 7, 7, {"3: c", "4: d", "5: e", "6: f", "7: g"}},
		// The summary is full: the count tells what its lines cannot.
		{"no room for them", "A << a >>\n", 1, "A << a >>\n", 4, 3, {}},
		{"room for one of three", "A << a >>\n", 1, "A << a >>\nB << b >>\n", 4, 3, {"B: b"}},
		{"before, a mailbox that could not be read", "", -1, "A << a >>\n", 1, 1, {"A: a"}},
		// With allMail a message read elsewhere gains a status word.
		{"read elsewhere, listed still", "A << a >>\nB << b >>\n", 2, "A (RO) << a >>\nB << b >>\n", 2, 0, {}},
		{"its status changed", "A (O) << a >>\n", 1, "A (RO) << a >>\n", 1, 0, {}},
		// Before, the newest were hidden: one that shows now is no news.
		{"the oldest gone, a hidden one shown", "A << a >>\n", 2, "B << b >>\n", 2, 0, {}},
		{"the oldest gone, one more come", "A << a >>\n", 2, "B << b >>\n", 3, 1, {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		const News news = findNews(c.before, c.countBefore, c.now, c.countNow, nullptr);
		EXPECT_EQ(news.count, c.count);
		EXPECT_EQ(news.lines, c.lines);
	}
}

// Sender and subject from the same fields as the list line, its status
// word left out; a comment kept with a full name stays.
TEST(News, SenderAndSubject)
{
	const struct {
		const char *line, *shown;
	} cases[] = {
		{"Ann << lunch? >>", "Ann: lunch?"},
		{"Ann (RO) << lunch? >>", "Ann: lunch?"},
		{"Ann (FS) << lunch? >>", "Ann: lunch?"},
		{"ann@x (Ann) << lunch? >>", "ann@x (Ann): lunch?"},
		{"Ann << a << b >> c >>", "Ann: a << b >> c"},
		{"Ann <<  >>", "Ann: "},
		{"Failed to open 12", "Failed to open 12"},
		{"Ann << >>", "Ann << >>"},
		{"(RO) << x >>", "(RO): x"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.line);
		const News news = findNews("", 0, string(c.line) + "\n", 1, nullptr);
		ASSERT_EQ(news.lines.size(), 1u);
		EXPECT_EQ(news.lines[0], c.shown);
	}
}

// The list's bytes in the font's charset, made UTF-8; what does not
// convert, and every control character, cannot reach the body as it is.
TEST(News, ConvertedToUtf8)
{
	const struct {
		const char *charset;
		string line, shown;
	} cases[] = {
		{"iso-8859-1", "Zo\xeb << Gr\xfc\xdf" "e >>", "Zoë: Grüße"},
		{"iso-8859-2", "\xa3ukasz << Za\xbf\xf3\xb3\xe6 >>", "Łukasz: Zażółć"},
		{"iso-8859-1", "A << \x85\x9b >>", "A: ??"},    // C1 controls
		{"iso-8859-3", "A << \xa5 >>", "A: \xEF\xBF\xBD"}, // no character there
		{nullptr, "A << \xff\xfe >>", "A: \xEF\xBF\xBD\xEF\xBF\xBD"},
		// Line and paragraph separators make no lines; bidirectional
		// overrides and isolates do not turn the text round.
		{nullptr, "A << x\u2028Boss: wire money\u2029y >>", "A: x Boss: wire money y"},
		{nullptr, "A << \u202Egnp.exe\u202C \u2066z\u2069 >>", "A: gnp.exe z"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.line);
		const Charset *charset = c.charset ? findCharset(c.charset) : nullptr;
		ASSERT_TRUE(charset || !c.charset);
		const News news = findNews("", 0, c.line + "\n", 1, charset);
		ASSERT_EQ(news.lines.size(), 1u);
		EXPECT_EQ(news.lines[0], c.shown);
	}
}

TEST(News, TheText)
{
	News one{1, {"Ann: <b>x</b> & y"}};
	EXPECT_EQ(newsHeadline(one), "1 new message");
	EXPECT_EQ(newsBody(one, true), "Ann: &lt;b&gt;x&lt;/b&gt; &amp; y");
	EXPECT_EQ(newsBody(one, false), "Ann: <b>x</b> & y");
	News eight{8, {"a: 4", "a: 5", "a: 6", "a: 7", "a: 8"}};
	EXPECT_EQ(newsHeadline(eight), "8 new messages");
	EXPECT_EQ(newsBody(eight, true), "a: 4\na: 5\na: 6\na: 7\na: 8\nand 3 more");
	News unseen{3, {}}; // no room in the summary for any
	EXPECT_EQ(newsHeadline(unseen), "3 new messages");
	EXPECT_EQ(newsBody(unseen, true), "");
}
